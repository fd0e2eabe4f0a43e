#include "fuzz/reference.hpp"

#include <array>
#include <map>
#include <utility>

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

bool isContinuationByte(unsigned char byte) { return byte >= 0x80 && byte <= 0xBF; }

// Length announced by a lead byte, 0 for a byte that cannot lead.
std::size_t announcedLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Whether the n bytes at `at` (all present) form one well-formed character,
// judged by the second-byte ranges of the Unicode well-formedness table.
bool isWellFormedAt(std::string_view bytes, std::size_t at, std::size_t n) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
  const unsigned char lead = byte(0);
  if (n == 1) return true;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (byte(1) < low || byte(1) > high) return false;
  for (std::size_t i = 2; i < n; ++i) {
    if (!isContinuationByte(byte(i))) return false;
  }
  return true;
}

}  // namespace

bool isWellFormedUtf8(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t n = announcedLength(static_cast<unsigned char>(bytes[at]));
    if (n == 0 || bytes.size() - at < n || !isWellFormedAt(bytes, at, n)) return false;
    at += n;
  }
  return true;
}

DrainResult referenceDrain(std::string_view bytes, std::uint8_t policy, bool final) {
  constexpr std::uint8_t kReject = 1;
  constexpr std::uint8_t kReplace = 2;
  DrainResult result;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t n = announcedLength(static_cast<unsigned char>(bytes[at]));
    const std::size_t left = bytes.size() - at;
    bool unfinished = false;
    if (n != 0 && left < n) {
      unfinished = true;
      for (std::size_t i = 1; i < left; ++i) {
        unfinished = unfinished && isContinuationByte(static_cast<unsigned char>(bytes[at + i]));
      }
    }
    if (n != 0 && !unfinished && left >= n && isWellFormedAt(bytes, at, n)) {
      result.text.append(bytes.substr(at, n));
      at += n;
      continue;
    }
    if (unfinished && !final) {
      result.rest = std::string(bytes.substr(at));
      return result;
    }
    if (policy == kReject) {
      return DrainResult{TokenizerErrorCode::InvalidUtf8, {}, {}};
    }
    if (policy == kReplace) {
      result.text.append("\xEF\xBF\xBD");
      at = unfinished ? bytes.size() : at + 1;
    } else if (unfinished) {
      result.text.append(bytes.substr(at));
      at = bytes.size();
    } else {
      result.text.push_back(bytes[at]);
      ++at;
    }
  }
  return result;
}

DrainResult referenceDecodeChunk(std::string_view pending, std::span<const std::uint32_t> ids,
                                 bool skipSpecialTokens, std::uint8_t policy, bool final) {
  std::string bytes(pending);
  for (const std::uint32_t id : ids) {
    if (id >= 258) return DrainResult{TokenizerErrorCode::TokenIdOutOfRange, {}, {}};
    if (id >= 256) {
      if (!skipSpecialTokens)
        return DrainResult{TokenizerErrorCode::SpecialTokenNotAllowed, {}, {}};
      continue;
    }
    bytes.push_back(static_cast<char>(static_cast<unsigned char>(id)));
  }
  return referenceDrain(bytes, policy, final);
}

std::vector<std::string> referenceRuns(std::string_view bytes) {
  const auto isSpace = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == 0x20 || (byte >= 0x09 && byte <= 0x0D);
  };
  std::vector<std::string> runs;
  for (const char c : bytes) {
    if (runs.empty() || isSpace(runs.back().back()) != isSpace(c)) runs.emplace_back();
    runs.back().push_back(c);
  }
  return runs;
}

std::vector<std::uint32_t> referenceBpeEncode(std::span<const BpeMerge> merges,
                                              std::string_view bytes) {
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> rank;
  for (std::size_t i = 0; i < merges.size(); ++i) {
    rank.emplace(std::make_pair(merges[i].left, merges[i].right),
                 static_cast<std::uint32_t>(256 + i));
  }
  std::vector<std::uint32_t> ids;
  for (const std::string& run : referenceRuns(bytes)) {
    std::vector<std::uint32_t> symbols;
    for (const char c : run) symbols.push_back(static_cast<unsigned char>(c));
    for (;;) {
      std::optional<std::pair<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>>> best;
      for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
        const auto pair = std::make_pair(symbols[i], symbols[i + 1]);
        const auto found = rank.find(pair);
        if (found != rank.end() && (!best || found->second < best->first)) {
          best = std::make_pair(found->second, pair);
        }
      }
      if (!best) break;
      std::vector<std::uint32_t> next;
      for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (i + 1 < symbols.size() && std::make_pair(symbols[i], symbols[i + 1]) == best->second) {
          next.push_back(best->first);
          ++i;
        } else {
          next.push_back(symbols[i]);
        }
      }
      symbols = std::move(next);
    }
    ids.insert(ids.end(), symbols.begin(), symbols.end());
  }
  return ids;
}

std::string referenceBpeExpand(std::span<const BpeMerge> merges,
                               std::span<const std::uint32_t> ids) {
  std::string bytes;
  for (const std::uint32_t id : ids) {
    if (id < 256) {
      bytes.push_back(static_cast<char>(static_cast<unsigned char>(id)));
    } else {
      bytes += merges[id - 256].bytes;
    }
  }
  return bytes;
}

std::vector<BpeMerge> referenceTrainBpe(std::string_view corpus, std::uint32_t vocabularySize,
                                        std::uint32_t minPairFrequency,
                                        std::uint32_t maxTokenBytes) {
  std::map<std::string, std::uint64_t> runCounts;
  for (const std::string& run : referenceRuns(corpus)) ++runCounts[run];
  std::vector<std::pair<std::vector<std::uint32_t>, std::uint64_t>> words;
  for (const auto& [run, count] : runCounts) {
    std::vector<std::uint32_t> symbols;
    for (const char c : run) symbols.push_back(static_cast<unsigned char>(c));
    words.emplace_back(std::move(symbols), count);
  }
  std::vector<std::string> tokens;
  for (int value = 0; value < 256; ++value) tokens.emplace_back(1, static_cast<char>(value));

  std::vector<BpeMerge> merges;
  while (merges.size() < std::size_t{vocabularySize} - 258) {
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t> pairCounts;
    for (const auto& [symbols, count] : words) {
      for (std::size_t i = 1; i < symbols.size(); ++i) {
        pairCounts[{symbols[i - 1], symbols[i]}] += count;
      }
    }
    // The map is ordered by (left, right): the first pair reaching the
    // greatest count is the one with the smallest key.
    std::optional<std::pair<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t>> best;
    for (const auto& [pair, count] : pairCounts) {
      if (tokens[pair.first].size() + tokens[pair.second].size() > maxTokenBytes) continue;
      if (!best || count > best->second) best = std::make_pair(pair, count);
    }
    if (!best || best->second < minPairFrequency) break;
    const auto [left, right] = best->first;
    const auto merged = static_cast<std::uint32_t>(256 + merges.size());
    tokens.push_back(tokens[left] + tokens[right]);
    merges.push_back(BpeMerge{left, right, tokens.back()});
    for (auto& [symbols, count] : words) {
      std::vector<std::uint32_t> next;
      for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (i + 1 < symbols.size() && symbols[i] == left && symbols[i + 1] == right) {
          next.push_back(merged);
          ++i;
        } else {
          next.push_back(symbols[i]);
        }
      }
      symbols = std::move(next);
    }
  }
  return merges;
}

std::vector<ChatPiece> referenceChatPieces(std::string_view text) {
  static constexpr std::array<std::string_view, 3> kMarkers = {"<|user|>", "<|assistant|>",
                                                               "<|end|>"};
  std::vector<ChatPiece> pieces;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t earliest = text.size();
    int which = -1;
    for (int k = 0; k < 3; ++k) {
      const std::size_t found = text.find(kMarkers[static_cast<std::size_t>(k)], at);
      if (found < earliest) {
        earliest = found;
        which = k;
      }
    }
    if (earliest > at)
      pieces.push_back(ChatPiece{std::nullopt, std::string(text.substr(at, earliest - at))});
    if (which < 0) break;
    pieces.push_back(ChatPiece{which, {}});
    at = earliest + kMarkers[static_cast<std::size_t>(which)].size();
  }
  return pieces;
}

}  // namespace Orvane::Core::Lumeth::Fuzz
