#pragma once

// The library's 64-bit FNV-1a hash and its hexadecimal form.
//
// Every stored checksum (tokenizer artifacts, decoder states, model artifacts,
// session files) and every tokenizer identity hash uses this function. Its
// offset basis is the library's own, 0x14650fb0739d0383, not the published
// FNV basis: stored files depend on this exact value, so it never changes.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace Orvane::Core::Lumeth {

inline constexpr std::uint64_t kFnv1a64OffsetBasis = 0x14650fb0739d0383ULL;
inline constexpr std::uint64_t kFnv1a64Prime = 0x100000001b3ULL;

// FNV-1a over `bytes`, continuing from `state` (the offset basis for a fresh
// hash). Hashing a range in pieces, passing each result on as the next state,
// gives the hash of the whole range.
std::uint64_t fnv1a64(std::span<const std::uint8_t> bytes,
                      std::uint64_t state = kFnv1a64OffsetBasis) noexcept;
std::uint64_t fnv1a64(std::string_view bytes, std::uint64_t state = kFnv1a64OffsetBasis) noexcept;

// Several independent hashes in one call: on entry states[i] is the state to
// continue from for ranges[i] (kFnv1a64OffsetBasis for a fresh hash), on
// return it is fnv1a64(ranges[i], states[i]). Ranges may overlap, repeat or be
// empty. Throws std::invalid_argument when the two spans differ in length.
//
// One hash is a chain of dependent multiplications and runs at the latency of
// the multiplier, not at its throughput; up to four chains advance side by
// side in one loop at about the speed of one. Ranges are taken in order, each
// by the next free lane, so the call takes about as long as hashing the
// longest range alone, or a quarter of all the bytes, whichever is more.
void fnv1a64_each(std::span<const std::span<const std::uint8_t>> ranges,
                  std::span<std::uint64_t> states);

// Exactly 16 lowercase hexadecimal digits, zero-padded on the left.
std::string toHex16(std::uint64_t value);

}  // namespace Orvane::Core::Lumeth
