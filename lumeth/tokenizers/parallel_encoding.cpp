#include "lumeth/tokenizers/parallel_encoding.hpp"

#include <algorithm>
#include <cstdint>

namespace Orvane::Core::Lumeth {
namespace {

// No piece is cut smaller than this: each piece starts its own encode call
// (a fresh cache of the runs it has merged), which natural text repays only
// over a few hundred KiB.
constexpr std::size_t kLeastPieceBytes = std::size_t{256} << 10;
// Pieces per thread: enough that a thread that falls behind (a piece of
// longer words, a core busy with other work) is helped by the others.
constexpr std::size_t kPiecesPerThread = 4;

}  // namespace

std::size_t lastEncodingCut(std::string_view text, std::size_t from) noexcept {
  const std::size_t lowest = std::max<std::size_t>(from, 1);
  for (std::size_t i = text.size(); i-- > lowest;) {
    if (isEncodingCut(text, i)) {
      return i;
    }
  }
  return 0;
}

std::size_t nextEncodingCut(std::string_view text, std::size_t from) noexcept {
  for (std::size_t i = std::max<std::size_t>(from, 1); i < text.size(); ++i) {
    if (isEncodingCut(text, i)) {
      return i;
    }
  }
  return text.size();
}

EncodedText encodeParallel(const ITransformerTokenizer& tokenizer, std::string_view text,
                           const EncodeOptions& options, ThreadPool* pool) {
  const std::size_t wanted =
      std::min(thread_count(pool) * kPiecesPerThread, text.size() / kLeastPieceBytes);
  if (pool == nullptr || wanted < 2) {
    return tokenizer.encode(text, options);
  }
  // Piece k ends at the first cut at or after k / wanted of the text; a
  // stretch without cuts (one long run) stays in one piece.
  std::vector<std::size_t> ends;
  std::size_t begin = 0;
  for (std::size_t k = 1; k < wanted && begin < text.size(); ++k) {
    const std::size_t target = text.size() / wanted * k;
    const std::size_t cut = nextEncodingCut(text, std::max(target, begin + 1));
    if (cut >= text.size()) {
      break;
    }
    ends.push_back(cut);
    begin = cut;
  }
  ends.push_back(text.size());

  const std::size_t pieces = ends.size();
  std::vector<EncodedText> encoded(pieces);
  pool->run(pieces, [&](std::size_t k) {
    const std::size_t first = k == 0 ? 0 : ends[k - 1];
    EncodeOptions piece = options;
    piece.addBos = options.addBos && k == 0;
    piece.addEos = options.addEos && k + 1 == pieces;
    encoded[k] = tokenizer.encode(text.substr(first, ends[k] - first), piece);
  });

  // Joined in order, each piece copied into place on the pool as well.
  std::vector<std::size_t> offsets(pieces + 1, 0);
  for (std::size_t k = 0; k < pieces; ++k) offsets[k + 1] = offsets[k] + encoded[k].ids.size();
  EncodedText result;
  result.tokenizerHash = std::move(encoded[0].tokenizerHash);
  result.ids.resize(offsets[pieces]);
  pool->run(pieces, [&](std::size_t k) {
    std::copy(encoded[k].ids.begin(), encoded[k].ids.end(),
              result.ids.begin() + static_cast<std::ptrdiff_t>(offsets[k]));
    std::vector<std::uint32_t>().swap(encoded[k].ids);
  });
  return result;
}

std::vector<EncodedText> encodeBatch(const ITransformerTokenizer& tokenizer,
                                     std::span<const std::string_view> texts,
                                     const EncodeOptions& options, ThreadPool* pool) {
  std::vector<EncodedText> results(texts.size());
  parallel_for(pool, texts.size(), [&](std::size_t k) {
    results[k] = encodeParallel(tokenizer, texts[k], options, pool);
  });
  return results;
}

}  // namespace Orvane::Core::Lumeth
