#pragma once

// Encoding on several threads: many texts at once (encodeBatch), and one
// large text cut into pieces that are encoded side by side and joined
// (encodeParallel). Both give exactly the ids of encoding each text in one
// call on the calling thread, whatever the pool and its size.
//
// Where a text may be cut: before a non-whitespace byte that follows a
// whitespace byte (whitespace as for BPE runs: 0x09..0x0D and 0x20). The
// library's tokenizers encode the two sides of such a cut independently:
// BPE merges never cross a run boundary, a chat marker holds no whitespace,
// and since the byte before the cut is ASCII no UTF-8 sequence, complete or
// not, spans it, so every invalid-UTF-8 policy treats each side as it treats
// it within the whole text. (A cut after a non-whitespace byte would not do:
// under Replace, an unfinished sequence at the end of a piece becomes one
// U+FFFD, while inside the whole text, followed by a space, each of its
// bytes becomes one.)

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// Whether encoding may be cut before position i of `text`: 0 < i <
// text.size(), text[i - 1] whitespace and text[i] not.
[[nodiscard]] constexpr bool isEncodingCut(std::string_view text, std::size_t i) noexcept {
  return i > 0 && i < text.size() && isBpeWhitespace(static_cast<std::uint8_t>(text[i - 1])) &&
         !isBpeWhitespace(static_cast<std::uint8_t>(text[i]));
}

// The last cut of `text` at or after position `from`, or 0 when there is
// none (0 is never a cut). A stream that appends to a buffer and looks for
// cuts passes the buffer's previous size: the cuts before it were seen
// already, so a long run read block by block costs linear time.
[[nodiscard]] std::size_t lastEncodingCut(std::string_view text, std::size_t from) noexcept;

// The first cut of `text` at or after position `from`, or text.size() when
// there is none.
[[nodiscard]] std::size_t nextEncodingCut(std::string_view text, std::size_t from) noexcept;

// tokenizer.encode(text, options), computed in pieces cut as described
// above: pieces of a few hundred KiB or more, a few per thread of the pool,
// encoded on its threads (BOS with the first piece, EOS with the last) and
// joined in order. A text too small to cut, or no pool, is encoded in one
// call. The result is exactly that one call's for the library's byte,
// subword and chat tokenizers (a chat tokenizer as ITransformerTokenizer
// parses markers); a tokenizer of your own must likewise encode the two
// sides of every cut independently. Throws what tokenizer.encode(text,
// options) throws: the error of the first piece that fails, which for
// these tokenizers is the error the one call raises (their option checks
// come first in every piece, and a text error is the same in whichever
// piece it lies).
[[nodiscard]] EncodedText encodeParallel(const ITransformerTokenizer& tokenizer,
                                         std::string_view text, const EncodeOptions& options,
                                         ThreadPool* pool);

// One result per text, in order: encodeParallel(tokenizer, texts[k],
// options, pool) for every k. Texts are handed to the pool's threads one at
// a time, and a large text is itself cut into pieces. Throws the error of
// the first text that fails, as a plain loop over the texts would; nothing
// is returned then.
[[nodiscard]] std::vector<EncodedText> encodeBatch(const ITransformerTokenizer& tokenizer,
                                                   std::span<const std::string_view> texts,
                                                   const EncodeOptions& options, ThreadPool* pool);

}  // namespace Orvane::Core::Lumeth
