// loadBpeRunCounts over any bytes, and training from what it loads.
//
// Properties: the outcome (the counts, or the message of the first failed
// check) equals that of a plain restatement of the file's checks written
// here; only std::invalid_argument escapes a load; an accepted file is
// canonical (serializing the loaded counts gives the input back) and the
// size limit is inclusive. Loaded counts merged with the counts of the
// input's own bytes equal the sums of a plain map, or are refused as a whole
// exactly when a sum passes 2^64 - 1; trainBpeFromCounts over them either
// learns merges whose tokens are at most the limit long, or refuses with
// "BPE pair count overflow" exactly when a byte pair's weighted sum passes
// 2^64 - 1. Each input is also tried with its payload length and checksum
// made consistent, so that mutations reach the records.

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "fuzz/fuzz_support.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/bpe_run_counts.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

constexpr std::uint64_t kLimit = 0x1000000;
constexpr std::size_t kHeaderSize = 36;
using Plain = std::map<std::string, std::uint64_t>;

bool whitespace(char byte) {
  const auto value = static_cast<unsigned char>(byte);
  return value == ' ' || (value >= 0x09 && value <= 0x0D);
}

std::uint64_t le(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i > 0; --i) value = (value << 8) | bytes[at + i - 1];
  return value;
}

// The checks of the run-count file as its contract lists them, one by one.
// Returns the runs, or the message of the first failed check.
std::pair<std::optional<Plain>, std::string> plainLoad(std::span<const std::uint8_t> bytes,
                                                       std::uint64_t limit) {
  if (bytes.size() > limit || bytes.size() < kHeaderSize || asText(bytes.first(8)) != "LUMERUN1") {
    return {std::nullopt, "invalid BPE run-count file"};
  }
  if (le(bytes, 8, 2) != 1 || le(bytes, 10, 2) != 0x4C45) {
    return {std::nullopt, "unsupported BPE run-count format"};
  }
  const std::uint64_t runs = le(bytes, 12, 8);
  const std::size_t payload = bytes.size() - kHeaderSize;
  if (runs > payload / 13 || le(bytes, 20, 8) != payload ||
      le(bytes, 28, 8) != fnv1a64(bytes.subspan(kHeaderSize))) {
    return {std::nullopt, "BPE run-count length or checksum mismatch"};
  }
  Plain plain;
  std::string previous;
  std::size_t at = kHeaderSize;
  for (std::uint64_t i = 0; i < runs; ++i) {
    if (at + 12 > bytes.size()) return {std::nullopt, "truncated BPE run record"};
    const std::uint64_t count = le(bytes, at, 8);
    const std::uint64_t length = le(bytes, at + 8, 4);
    at += 12;
    if (count == 0 || length == 0 || at + length > bytes.size()) {
      return {std::nullopt, "invalid BPE run record"};
    }
    const std::string run(asText(bytes.subspan(at, length)));
    at += length;
    for (const char byte : run) {
      if (whitespace(byte) != whitespace(run[0])) return {std::nullopt, "invalid BPE run record"};
    }
    if (i > 0 && !(previous < run)) return {std::nullopt, "non-canonical BPE run-count file"};
    previous = run;
    plain[run] = count;
  }
  if (at != bytes.size()) return {std::nullopt, "trailing BPE run-count data"};
  return {std::move(plain), ""};
}

Plain plainOf(const BpeRunCounts& counts) {
  Plain plain;
  for (const BpeRunCount& entry : counts.sortedRuns()) plain[std::string(entry.run)] = entry.count;
  return plain;
}

// Whether some adjacent byte pair's weighted count passes 2^64 - 1.
bool bytePairsOverflow(const Plain& runs) {
  std::map<std::pair<unsigned char, unsigned char>, unsigned __int128> sums;
  for (const auto& [run, count] : runs) {
    for (std::size_t i = 1; i < run.size(); ++i) {
      sums[{static_cast<unsigned char>(run[i - 1]), static_cast<unsigned char>(run[i])}] += count;
    }
  }
  return std::any_of(sums.begin(), sums.end(),
                     [](const auto& entry) { return entry.second > UINT64_MAX; });
}

void checkMergeAndTraining(const BpeRunCounts& loaded, const Plain& plain,
                           std::span<const std::uint8_t> input) {
  // Merged with the counts of the input's own bytes.
  BpeRunCounts text;
  text.countDocument(asText(input));
  Plain expected = plain;
  bool overflows = false;
  for (const auto& [run, count] : plainOf(text)) {
    std::uint64_t& sum = expected[run];
    overflows = overflows || sum > UINT64_MAX - count;
    sum += count;
  }
  BpeRunCounts merged = loaded;
  const auto error = invalidArgumentOutcome([&] {
    try {
      merged.merge(text);
    } catch (const std::overflow_error& refused) {
      LUMETH_FUZZ_CHECK(std::string(refused.what()) == "BPE run count overflow");
      LUMETH_FUZZ_CHECK(overflows);
      LUMETH_FUZZ_CHECK(merged == loaded);
      return;
    }
    LUMETH_FUZZ_CHECK(!overflows);
    LUMETH_FUZZ_CHECK(plainOf(merged) == expected);
  });
  LUMETH_FUZZ_CHECK(!error);

  // Training from the loaded counts.
  const BpeTrainingLimits limits{.vocabularySize = 300, .minPairFrequency = 1, .maxTokenBytes = 6};
  const auto trained = invalidArgumentOutcome([&] {
    try {
      const SubwordTokenizer tokenizer = trainBpeFromCounts(loaded, limits);
      LUMETH_FUZZ_CHECK(!bytePairsOverflow(plain));
      LUMETH_FUZZ_CHECK(tokenizer.merges().size() <= 300 - 258);
      for (const BpeMerge& merge : tokenizer.merges()) {
        LUMETH_FUZZ_CHECK(merge.bytes.size() <= 6);
      }
    } catch (const std::overflow_error& refused) {
      LUMETH_FUZZ_CHECK(std::string(refused.what()) == "BPE pair count overflow");
      LUMETH_FUZZ_CHECK(bytePairsOverflow(plain));
    }
  });
  LUMETH_FUZZ_CHECK(!trained);
}

void loadAndCheck(std::span<const std::uint8_t> bytes) {
  std::optional<BpeRunCounts> loaded;
  const auto error =
      invalidArgumentOutcome([&] { loaded.emplace(loadBpeRunCounts(bytes, kLimit)); });
  const auto [plain, message] = plainLoad(bytes, kLimit);
  if (error) {
    LUMETH_FUZZ_CHECK(!plain && *error == message);
    return;
  }
  LUMETH_FUZZ_CHECK(plain.has_value());
  LUMETH_FUZZ_CHECK(plainOf(*loaded) == *plain);
  const ByteBuffer again = serializeBpeRunCounts(*loaded);
  LUMETH_FUZZ_CHECK(std::equal(again.begin(), again.end(), bytes.begin(), bytes.end()));
  LUMETH_FUZZ_CHECK(invalidArgumentOutcome([&] {
                      (void)loadBpeRunCounts(bytes, bytes.size() - 1);
                    }) == std::optional<std::string>("invalid BPE run-count file"));
  checkMergeAndTraining(*loaded, *plain, bytes);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  const std::span<const std::uint8_t> bytes = bytesOf(data, size);
  loadAndCheck(bytes);

  if (bytes.size() >= kHeaderSize) {
    ByteBuffer repaired(bytes.begin(), bytes.end());
    const auto payload = std::span<const std::uint8_t>(repaired).subspan(kHeaderSize);
    ByteBuffer fields;
    appendU64(fields, payload.size());
    appendU64(fields, fnv1a64(payload));
    std::copy(fields.begin(), fields.end(), repaired.begin() + 20);
    loadAndCheck(repaired);
  }
  return 0;
}
