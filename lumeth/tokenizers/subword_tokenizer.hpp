#pragma once

// The subword (byte-pair-encoding) tokenizer, its stored artifact
// ("LUMESUB2"), and the helpers it shares with BPE training: one learned
// merge, the id layout constants, the key of an id pair and the
// whitespace-run splitter.
//
// Token ids of a tokenizer with M merges:
//   0 .. 255          the single byte of that value
//   256 .. 255 + M    merge number id - 256; the id is its rank (lower ids
//                     were learned earlier and apply first)
//   256 + M           begin of sequence
//   257 + M           end of sequence

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// One learned merge: token `left` followed by token `right` becomes a new
// token whose bytes are `bytes` (the left token's bytes, then the right's).
struct BpeMerge {
  std::uint32_t left = 0;
  std::uint32_t right = 0;
  std::string bytes;

  friend bool operator==(const BpeMerge&, const BpeMerge&) = default;
};

// The id of the first merged token: ids below it are the byte values.
inline constexpr std::uint32_t kFirstBpeMergeId = 256;

// The smallest vocabulary: the 256 bytes, BOS and EOS, no merges.
inline constexpr std::uint32_t kMinBpeVocabulary = 258;

// The most merges a tokenizer may hold: a vocabulary of at most 1048576 ids,
// of which 258 are the bytes and the two specials.
inline constexpr std::uint32_t kMaxBpeMerges = 1048576 - kMinBpeVocabulary;

// The key of the ordered pair (left, right): left in the high 32 bits, right in
// the low 32 bits, so comparing keys orders pairs by left id, then right id.
[[nodiscard]] constexpr std::uint64_t pairKey(std::uint32_t left, std::uint32_t right) noexcept {
  return (std::uint64_t{left} << 32) | right;
}

// Whitespace for run splitting: exactly 0x09..0x0D and 0x20. Every byte from
// 0x80 up is non-whitespace, so a multi-byte UTF-8 character stays in one run.
[[nodiscard]] constexpr bool isBpeWhitespace(std::uint8_t byte) noexcept {
  return byte == 0x20 || (byte >= 0x09 && byte <= 0x0D);
}

// Cuts `bytes` into maximal runs that are all whitespace or all
// non-whitespace, in input order; the runs concatenated give `bytes` back and
// empty input gives no runs. The views point into `bytes`.
[[nodiscard]] std::vector<std::string_view> splitWhitespaceRuns(std::string_view bytes);

// Calls visit(run) for each run of splitWhitespaceRuns(bytes), in the same
// order, without collecting them first.
template <typename Visit>
void forEachWhitespaceRun(std::string_view bytes, Visit&& visit) {
  const std::size_t size = bytes.size();
  std::size_t start = 0;
  while (start < size) {
    const bool whitespace = isBpeWhitespace(static_cast<std::uint8_t>(bytes[start]));
    std::size_t end = start + 1;
    while (end < size && isBpeWhitespace(static_cast<std::uint8_t>(bytes[end])) == whitespace) {
      ++end;
    }
    visit(bytes.substr(start, end - start));
    start = end;
  }
}

// Immutable once built. Copies share the merge list, the artifact and the
// encoding tables, so copying costs two short strings and a reference count.
// There are no move operations: a move copies, so the moved-from tokenizer
// stays complete and keeps encoding and decoding as before.
class SubwordTokenizer : public ITransformerTokenizer {
 public:
  // Takes the merge list as it is, without validation: training and the
  // artifact loader give lists whose merges name only byte ids and ids of
  // earlier merges, with bytes that concatenate their parts. Any list gives
  // the ranked encoding described below; one that names later ids is
  // merged the plain, quadratic way (it cannot come from training or a
  // stored artifact). Decode expands each merge into its stored bytes.
  // Builds the canonical artifact; the descriptor's hash is
  // toHex16(fnv1a64) of that whole artifact.
  explicit SubwordTokenizer(std::vector<BpeMerge> merges);

  SubwordTokenizer(const SubwordTokenizer&) = default;
  SubwordTokenizer& operator=(const SubwordTokenizer&) = default;
  ~SubwordTokenizer() override = default;

  // Splits the text into whitespace runs and merges each run on its own in
  // rank order: while some adjacent pair has a merge, the pair with the
  // smallest merged id (the leftmost among equals) is replaced everywhere in
  // the run, left to right and without overlap. Bytes no merge covers stay
  // byte ids. Each run costs O(n log n) in its length, and a run met again in
  // the same call is not merged again. BOS and EOS, when asked
  // for, come first and last. Under Replace each bad sequence becomes U+FFFD
  // first. Throws TokenizerError, checking in this order and before anything
  // is encoded, even for empty text: UnsupportedOption
  // "BPE tokenizer supports only normalization=none" for a normalization
  // other than None, then UnsupportedOption "unknown invalid UTF-8 policy"
  // for a policy value above Replace; then InvalidUtf8 under Reject.
  [[nodiscard]] EncodedText encode(std::string_view text,
                                   const EncodeOptions& options) const override;

  // Expands every id into its bytes and decodes the bytes as a whole through
  // a byte tokenizer with the same options, so a character split across
  // tokens is reassembled. Throws TokenizerError, for the first offending id:
  // SpecialTokenNotAllowed for BOS or EOS without skipSpecialTokens,
  // TokenIdOutOfRange for an id at or above the vocabulary size; only after
  // every id was accepted, UnsupportedOption for an unknown policy and
  // InvalidUtf8 under Reject.
  [[nodiscard]] std::string decode(std::span<const std::uint32_t> ids,
                                   const DecodeOptions& options) const override;

  // kind "bpe", version 2, vocabulary M + 258, BOS M + 256, EOS M + 257, no
  // role ids.
  [[nodiscard]] TokenizerDescriptor descriptor() const override;

  // The canonical artifact of the merge list (28-byte header, then records).
  [[nodiscard]] const ByteBuffer& artifact() const noexcept;

  [[nodiscard]] std::span<const BpeMerge> merges() const noexcept;

 private:
  struct State;

  TokenizerDescriptor descriptor_;
  // The merge list, the artifact and the tables encode reads; never null.
  std::shared_ptr<const State> state_;
};

// Checks `bytes` as a BPE tokenizer artifact and returns the tokenizer it
// stores; its artifact equals `bytes`. `maxBytes` is the caller's ceiling on
// the input size (an input of exactly that size is accepted). Throws
// TokenizerError(InvalidFormat, ...) naming the first failed check: size,
// header length or magic; version or byte order; merge count, payload length
// or checksum; then, record by record, a truncated record header, an
// undefined id, a length below 2 or bytes past the end, bytes that are not
// the concatenation of the two parts; then trailing data; then any
// difference from the canonical form. Repeated pairs and long tokens are
// accepted.
[[nodiscard]] SubwordTokenizer loadSubwordTokenizerArtifact(std::span<const std::uint8_t> bytes,
                                                            std::uint64_t maxBytes);

}  // namespace Orvane::Core::Lumeth
