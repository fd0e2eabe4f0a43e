#pragma once

// The library's one UTF-8 classifier and the three policies for input that is
// not valid UTF-8 (InvalidUtf8Policy): applied before encoding
// (textForEncoding, sanitizeForEncoding) and when decoded bytes become text
// (drainPending).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

enum class Utf8Status : std::uint8_t {
  Valid = 0,       // length: bytes of the well-formed sequence (1 to 4)
  Incomplete = 1,  // length: bytes the lead announces (2 to 4); fewer remain
  Invalid = 2,     // length: always 1
};

struct Utf8Classification {
  Utf8Status status = Utf8Status::Invalid;
  std::uint64_t length = 1;

  friend bool operator==(const Utf8Classification&, const Utf8Classification&) = default;
};

// Classifies the sequence that starts at `position`; a position that is not
// inside `bytes` throws std::out_of_range("UTF-8 position is outside the
// buffer"), so nothing is read past the end. Overlong forms, surrogates
// (U+D800..U+DFFF), code points above U+10FFFF, stray continuation bytes and
// leads C0, C1, F5..FF are Invalid. A sequence cut short by the end of
// `bytes` is Incomplete only when every byte present after the lead is a
// continuation byte; a tail such as E2 28 is Invalid at once, so that the
// valid byte after the lead is never swallowed.
[[nodiscard]] Utf8Classification classifyUtf8(std::span<const std::uint8_t> bytes,
                                              std::size_t position);

// The length of the longest prefix of `bytes` made only of complete, valid
// sequences: bytes.size() when all of `bytes` is valid UTF-8, otherwise the
// position where classifyUtf8 gives Invalid or Incomplete. Checks sixteen
// bytes at a time while the text is ASCII.
[[nodiscard]] std::size_t validUtf8Prefix(std::span<const std::uint8_t> bytes) noexcept;

// Consumes complete sequences from the front of `pending` and returns them as
// text. Without `final`, an unfinished sequence at the end stays in `pending`;
// with `final`, it is handled by the policy like an invalid one. Bad sequences
// under Replace become one U+FFFD each (an unfinished tail becomes a single
// U+FFFD); under PreserveBytes (and any value that is not Reject or Replace)
// they are kept byte for byte. Under Reject a bad sequence throws
// TokenizerError(InvalidUtf8, "invalid or incomplete UTF-8 sequence") and
// `pending` is left as it was.
[[nodiscard]] std::string drainPending(std::vector<std::uint8_t>& pending, InvalidUtf8Policy policy,
                                       bool final);

// The bytes a tokenizer encodes for `text` under `policy`, without a copy
// where nothing changes: `text` itself under PreserveBytes and any value
// other than Reject and Replace (nothing is classified), and for valid input;
// otherwise, under Replace, a view of `repaired`, which then holds the input
// with each bad sequence replaced by U+FFFD (an unfinished tail by one).
// Under Reject invalid input throws as drainPending does. The input is
// scanned once: the valid prefix is copied as it stands and the repair
// starts at the first bad byte. The result stays valid while `text` and
// `repaired` do.
[[nodiscard]] std::string_view textForEncoding(std::string_view text, InvalidUtf8Policy policy,
                                               std::string& repaired);

// textForEncoding returned as a new byte vector.
[[nodiscard]] std::vector<std::uint8_t> sanitizeForEncoding(std::string_view text,
                                                            InvalidUtf8Policy policy);

}  // namespace Orvane::Core::Lumeth
