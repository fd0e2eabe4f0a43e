// parseDecoderState over any record, then, when it loads, decodeChunk with
// fuzzer-chosen ids and final flags.
//
// Input: one byte L, then L bytes of record (fewer if the input ends), then
// the chunks: per chunk one byte (low 4 bits: id count, bit 7: final) and two
// bytes per id. The record is tried as it is and with its checksum made
// consistent, so mutations reach the policy and pending-byte checks.
//
// Properties: a refused record is InvalidFormat and leaves the target state
// untouched; a loaded record serializes back to exactly its bytes; every
// chunk gives what the reference streaming decoder gives (text, pending bytes
// or error code); a failed chunk leaves the state untouched; after every
// chunk the state keeps its invariant and survives a serialize/parse round
// trip.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/decoder_state.hpp"
#include "lumeth/tokenizers/utf8.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

bool sameState(const DecoderState& a, const DecoderState& b) {
  return a.skipSpecialTokens == b.skipSpecialTokens && a.policy == b.policy &&
         a.pending == b.pending;
}

// A valid state that differs from what most records hold, so that an update
// by a failed parse would show.
DecoderState startingState() {
  DecoderState state(
      DecodeOptions{.skipSpecialTokens = true, .invalidUtf8 = InvalidUtf8Policy::Replace});
  state.pending = {0xF0, 0x9F};
  return state;
}

void checkInvariant(const DecoderState& state, bool final) {
  LUMETH_FUZZ_CHECK(state.pending.size() <= 3);
  if (final) LUMETH_FUZZ_CHECK(state.pending.empty());
  if (!state.pending.empty()) {
    LUMETH_FUZZ_CHECK(classifyUtf8(state.pending, 0).status == Utf8Status::Incomplete);
  }
  // The record of any state decodeChunk leaves parses back to that state.
  const ByteBuffer record = serializeDecoderState(state);
  DecoderState restored;
  parseDecoderState(restored, record);
  LUMETH_FUZZ_CHECK(sameState(restored, state));
}

void runChunks(DecoderState& state, std::span<const std::uint8_t> program) {
  std::size_t at = 0;
  while (at < program.size()) {
    const std::uint8_t head = program[at++];
    const bool final = (head & 0x80) != 0;
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < (head & 0x0Fu) && program.size() - at >= 2; ++i) {
      const std::uint16_t raw = readU16(program, at);
      at += 2;
      // Mostly bytes; the top sixteenth: the specials and ids beyond.
      ids.push_back(raw < 0xF000    ? raw & 0xFFu
                    : raw == 0xFFFF ? 0xFFFFFFFFu
                                    : 256u + (raw & 0xFFu));
    }
    const DecoderState before = state;
    const DrainResult expected =
        referenceDecodeChunk(asText(before.pending), ids, before.skipSpecialTokens,
                             static_cast<std::uint8_t>(before.policy), final);
    std::string text;
    const auto error = tokenizerOutcome([&] { text = decodeChunk(state, ids, final); });
    LUMETH_FUZZ_CHECK(error == expected.error);
    if (error) {
      LUMETH_FUZZ_CHECK(sameState(state, before));
      continue;
    }
    LUMETH_FUZZ_CHECK(text == expected.text);
    LUMETH_FUZZ_CHECK(asText(state.pending) == expected.rest);
    LUMETH_FUZZ_CHECK(state.policy == before.policy &&
                      state.skipSpecialTokens == before.skipSpecialTokens);
    checkInvariant(state, final);
  }
}

void parseAndRun(std::span<const std::uint8_t> record, std::span<const std::uint8_t> program) {
  DecoderState state = startingState();
  const DecoderState before = state;
  const auto error = tokenizerOutcome([&] { parseDecoderState(state, record); });
  if (error) {
    LUMETH_FUZZ_CHECK(*error == TokenizerErrorCode::InvalidFormat);
    LUMETH_FUZZ_CHECK(sameState(state, before));
    return;
  }
  // The record format is canonical: what loaded serializes to the same bytes.
  const ByteBuffer again = serializeDecoderState(state);
  LUMETH_FUZZ_CHECK(std::equal(record.begin(), record.end(), again.begin(), again.end()));
  runChunks(state, program);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  const std::span<const std::uint8_t> bytes = bytesOf(data, size);
  if (bytes.empty()) return 0;
  const std::size_t recordSize = std::min<std::size_t>(bytes[0], bytes.size() - 1);
  const auto record = bytes.subspan(1, recordSize);
  const auto program = bytes.subspan(1 + recordSize);
  parseAndRun(record, program);

  if (record.size() >= 16) {
    ByteBuffer repaired(record.begin(), record.end());
    const std::size_t checksumOffset = repaired.size() - 8;
    ByteBuffer checksum;
    appendU64(checksum, fnv1a64(std::span<const std::uint8_t>(repaired).first(checksumOffset)));
    std::copy(checksum.begin(), checksum.end(),
              repaired.begin() + static_cast<std::ptrdiff_t>(checksumOffset));
    parseAndRun(repaired, program);
  }
  return 0;
}
