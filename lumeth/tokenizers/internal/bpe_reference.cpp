#include "lumeth/tokenizers/internal/bpe_reference.hpp"

#include <algorithm>
#include <utility>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/internal/bpe_internal.hpp"

namespace Orvane::Core::Lumeth {

void replaceEveryPair(std::vector<std::uint32_t>& symbols, std::uint32_t left, std::uint32_t right,
                      std::uint32_t merged) {
  // Written in place: the write position never passes the read position.
  std::size_t write = 0;
  std::size_t read = 0;
  while (read < symbols.size()) {
    if (read + 1 < symbols.size() && symbols[read] == left && symbols[read + 1] == right) {
      symbols[write++] = merged;
      read += 2;
    } else {
      symbols[write++] = symbols[read++];
    }
  }
  symbols.resize(write);
}

BpeRankTable buildBpeRankTable(std::span<const BpeMerge> merges) {
  BpeRankTable ranks;
  ranks.max_load_factor(1.0F);
  ranks.reserve(merges.size());
  for (std::size_t i = 0; i < merges.size(); ++i) {
    // emplace never overwrites: the first (lowest) id of a repeated pair stays.
    ranks.emplace(pairKey(merges[i].left, merges[i].right),
                  static_cast<std::uint32_t>(kFirstBpeMergeId + i));
  }
  return ranks;
}

void mergeRunReference(std::vector<std::uint32_t>& symbols, const BpeRankTable& ranks) {
  if (ranks.empty()) {
    return;
  }
  while (symbols.size() >= 2) {
    bool found = false;
    std::uint32_t bestId = 0;
    std::size_t bestPosition = 0;
    for (std::size_t i = 1; i < symbols.size(); ++i) {
      const auto rank = ranks.find(pairKey(symbols[i - 1], symbols[i]));
      if (rank != ranks.end() && (!found || rank->second < bestId)) {
        found = true;
        bestId = rank->second;
        bestPosition = i - 1;
      }
    }
    if (!found) {
      return;
    }
    replaceEveryPair(symbols, symbols[bestPosition], symbols[bestPosition + 1], bestId);
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
  tokenBytes.reserve(kFirstBpeMergeId);
  for (std::uint32_t value = 0; value < kFirstBpeMergeId; ++value) {
    tokenBytes.emplace_back(1, static_cast<char>(static_cast<unsigned char>(value)));
  }

  const std::size_t maxMerges = limits.vocabularySize - kMinBpeVocabulary;
  std::vector<BpeMerge> merges;
  // Every merge shortens at least one word by a symbol, so a corpus of n bytes
  // can never yield more than n merges; reserving beyond that would only hold
  // memory a small corpus never uses.
  merges.reserve(std::min<std::size_t>(maxMerges, corpus.size()));
  while (merges.size() < maxMerges) {
    const BpePairCounts counts = countBpePairs(words);
    const std::optional<BpePairChoice> best =
        selectBestBpePair(counts, tokenBytes, limits.maxTokenBytes);
    if (!best || best->count < limits.minPairFrequency) {
      break;
    }
    const auto left = static_cast<std::uint32_t>(best->key >> 32);
    const auto right = static_cast<std::uint32_t>(best->key);
    const auto merged = static_cast<std::uint32_t>(kFirstBpeMergeId + merges.size());
    std::string bytes = tokenBytes[left] + tokenBytes[right];
    tokenBytes.push_back(bytes);
    merges.push_back(BpeMerge{.left = left, .right = right, .bytes = std::move(bytes)});
    applyBpeMerge(words, left, right, merged);
  }
  return SubwordTokenizer(std::move(merges));
}

}  // namespace Orvane::Core::Lumeth
