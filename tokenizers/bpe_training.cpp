#include "tokenizers/bpe_training.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::uint32_t kMinVocabulary = 258;  // 256 bytes + BOS + EOS
constexpr std::uint32_t kMinTokenBytes = 2;
constexpr std::uint32_t kMaxTokenBytes = 256;
constexpr std::uint32_t kFirstMergeId = 256;

}  // namespace

void validateBpeTrainingLimits(std::string_view corpus, const BpeTrainingLimits& limits) {
  // One unsigned comparison covers both ends: below 258 wraps to a huge value.
  if (limits.vocabularySize - kMinVocabulary > kMaxBpeMerges) {
    throw std::invalid_argument("BPE vocabulary must be in [258, 1048576]");
  }
  if (limits.maxTokenBytes < kMinTokenBytes || limits.maxTokenBytes > kMaxTokenBytes ||
      limits.minPairFrequency == 0) {
    throw std::invalid_argument("invalid BPE training limits");
  }
  if (corpus.size() > limits.maxCorpusBytes) {
    throw std::invalid_argument("BPE training corpus exceeds configured size limit");
  }
}

std::vector<BpeWord> buildBpeWordTable(std::string_view corpus) {
  std::vector<BpeWord> words;
  // Distinct run -> its index in `words`; the views point into the corpus.
  std::unordered_map<std::string_view, std::size_t> index;
  for (const std::string_view run : splitWhitespaceRuns(corpus)) {
    const auto [entry, inserted] = index.try_emplace(run, words.size());
    if (inserted) {
      const auto bytes = asBytes(run);
      words.push_back(BpeWord{.symbols = {bytes.begin(), bytes.end()}, .count = 0});
    }
    ++words[entry->second].count;
  }
  return words;
}

BpePairCounts countBpePairs(const std::vector<BpeWord>& words) {
  BpePairCounts counts;
  for (const BpeWord& word : words) {
    for (std::size_t i = 1; i < word.symbols.size(); ++i) {
      counts[pairKey(word.symbols[i - 1], word.symbols[i])] += word.count;
    }
  }
  return counts;
}

std::optional<BpePairChoice> selectBestBpePair(const BpePairCounts& counts,
                                               const std::vector<std::string>& tokenBytes,
                                               std::uint32_t maxTokenBytes) {
  std::optional<BpePairChoice> best;
  for (const auto& [key, count] : counts) {
    const auto left = static_cast<std::uint32_t>(key >> 32);
    const auto right = static_cast<std::uint32_t>(key);
    if (tokenBytes[left].size() + tokenBytes[right].size() > maxTokenBytes) {
      continue;
    }
    // A total order on (count descending, key ascending): the result does not
    // depend on the order in which the map is visited.
    if (!best || count > best->count || (count == best->count && key < best->key)) {
      best = BpePairChoice{.key = key, .count = count};
    }
  }
  return best;
}

void applyBpeMerge(std::vector<BpeWord>& words, std::uint32_t left, std::uint32_t right,
                   std::uint32_t merged) {
  for (BpeWord& word : words) {
    replaceEveryPair(word.symbols, left, right, merged);
  }
}

SubwordTokenizer trainBpeReference(std::string_view corpus, const BpeTrainingLimits& limits) {
  validateBpeTrainingLimits(corpus, limits);

  std::vector<BpeWord> words = buildBpeWordTable(corpus);
  std::vector<std::string> tokenBytes;
  tokenBytes.reserve(kFirstMergeId);
  for (std::uint32_t value = 0; value < kFirstMergeId; ++value) {
    tokenBytes.emplace_back(1, static_cast<char>(static_cast<unsigned char>(value)));
  }

  const std::size_t maxMerges = limits.vocabularySize - kMinVocabulary;
  std::vector<BpeMerge> merges;
  // Every merge shortens at least one word by a symbol, so a corpus of n bytes
  // can never yield more than n merges; reserving beyond that would only hold
  // memory a small corpus never uses.
  merges.reserve(std::min(maxMerges, corpus.size()));
  while (merges.size() < maxMerges) {
    const BpePairCounts counts = countBpePairs(words);
    const std::optional<BpePairChoice> best =
        selectBestBpePair(counts, tokenBytes, limits.maxTokenBytes);
    if (!best || best->count < limits.minPairFrequency) {
      break;
    }
    const auto left = static_cast<std::uint32_t>(best->key >> 32);
    const auto right = static_cast<std::uint32_t>(best->key);
    const auto merged = static_cast<std::uint32_t>(kFirstMergeId + merges.size());
    std::string bytes = tokenBytes[left] + tokenBytes[right];
    tokenBytes.push_back(bytes);
    merges.push_back(BpeMerge{.left = left, .right = right, .bytes = std::move(bytes)});
    applyBpeMerge(words, left, right, merged);
  }
  return SubwordTokenizer(std::move(merges));
}

}  // namespace Orvane::Core::Lumeth
