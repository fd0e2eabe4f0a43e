#include "lumeth/tokenizers/bpe_run_counts.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "tests/tokenizers/bpe_corpora.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Runs = std::vector<BpeRunCount>;

constexpr std::uint64_t kMax = UINT64_MAX;
constexpr std::uint64_t kNoLimit = UINT64_MAX;

BpeRunCounts countsOf(std::string_view document) {
  BpeRunCounts counts;
  counts.countDocument(document);
  return counts;
}

// Runs `action`, which must throw `Error` with `message`.
template <typename Error>
void expectThrow(const std::function<void()>& action, const std::string& message) {
  try {
    action();
    ADD_FAILURE() << "expected \"" << message << "\"";
  } catch (const Error& error) {
    EXPECT_EQ(error.what(), message);
  }
}

TEST(BpeRunCounts, CountsEachDistinctRunAndListsThemInByteOrder) {
  const BpeRunCounts counts = countsOf(" ahoj  světe\n ahoj ahoj");
  EXPECT_EQ(counts.sortedRuns(),
            (Runs{{"\n ", 1}, {" ", 2}, {"  ", 1}, {"ahoj", 3}, {"světe", 1}}));
  EXPECT_EQ(counts.size(), 5u);
  EXPECT_EQ(counts.distinctBytes(), std::string_view("\n    ahojsvěte").size());
  EXPECT_EQ(counts.maxCount(), 3u);
  EXPECT_EQ(counts.count("ahoj"), 3u);
  EXPECT_EQ(counts.count("aho"), 0u);
  EXPECT_EQ(counts.count(""), 0u);
  // Unsigned byte order: a prefix first, bytes from 0x80 after ASCII.
  EXPECT_EQ(countsOf("ab a \xC3\xA1 b").sortedRuns(),
            (Runs{{" ", 3}, {"a", 1}, {"ab", 1}, {"b", 1}, {"\xC3\xA1", 1}}));
  EXPECT_TRUE(countsOf("").empty());
}

TEST(BpeRunCounts, EachCallIsADocumentOfItsOwn) {
  BpeRunCounts counts;
  counts.countDocument("a");
  counts.countDocument("a");
  EXPECT_EQ(counts.sortedRuns(), (Runs{{"a", 2}}));
  EXPECT_EQ(counts.count("aa"), 0u);
}

TEST(BpeRunCounts, EqualityIgnoresTheOrderOfAddition) {
  BpeRunCounts forward;
  forward.countDocument("x y z");
  BpeRunCounts backward;
  backward.countDocument("z y x");
  EXPECT_EQ(forward, backward);
  backward.countDocument("x");
  EXPECT_NE(forward, backward);
  forward.add("x", 1);
  EXPECT_EQ(forward, backward);
}

TEST(BpeRunCounts, AddTakesOnlyWholeRuns) {
  BpeRunCounts counts;
  counts.add("ahoj", 5);
  counts.add("\t\n", 2);
  counts.add("ahoj", 0);  // nothing
  counts.add("nic", 0);
  EXPECT_EQ(counts.sortedRuns(), (Runs{{"\t\n", 2}, {"ahoj", 5}}));
  for (const std::string_view bad : {std::string_view(""), std::string_view("a b"),
                                     std::string_view(" a"), std::string_view("a\n")}) {
    expectThrow<std::invalid_argument>([&] { counts.add(bad, 1); }, "invalid BPE run");
  }
  EXPECT_EQ(counts.sortedRuns(), (Runs{{"\t\n", 2}, {"ahoj", 5}}));
}

TEST(BpeRunCounts, OverflowIsRefusedAndChangesNothing) {
  BpeRunCounts high;
  high.add("a", kMax - 1);
  high.add("b", 7);
  const BpeRunCounts before = high;

  // One more "a" fits; two do not, even though "c" alone would.
  BpeRunCounts two;
  two.countDocument("a c a");
  expectThrow<std::overflow_error>([&] { high.merge(two); }, "BPE run count overflow");
  expectThrow<std::overflow_error>([&] { high.countDocument("c a a"); }, "BPE run count overflow");
  expectThrow<std::overflow_error>([&] { high.add("a", 2); }, "BPE run count overflow");
  expectThrow<std::overflow_error>([&] { high.merge(high); }, "BPE run count overflow");
  EXPECT_EQ(high, before);
  EXPECT_EQ(high.count("c"), 0u);

  high.countDocument("a");
  EXPECT_EQ(high.count("a"), kMax);
  EXPECT_EQ(high.maxCount(), kMax);

  // Doubling by merging with itself.
  BpeRunCounts small = countsOf("x y x");
  small.merge(small);
  EXPECT_EQ(small.sortedRuns(), (Runs{{" ", 4}, {"x", 4}, {"y", 2}}));
}

TEST(BpeRunCounts, RunBoundaries) {
  struct Case {
    std::string_view text;
    std::size_t position;
    std::size_t boundary;
  };
  const Case cases[] = {
      {"", 0, 0},      {"", 5, 0},        {"ab cd", 0, 0}, {"ab cd", 1, 2},
      {"ab cd", 2, 2}, {"ab cd", 3, 3},   {"ab cd", 4, 5}, {"ab cd", 5, 5},
      {"ab cd", 9, 5}, {"a  \t b", 2, 5}, {"aaaa", 1, 4},  {"\xC4\x9B\xC4\x9B x", 1, 4},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(nextBpeRunBoundary(test.text, test.position), test.boundary)
        << '"' << test.text << "\" at " << test.position;
  }
}

TEST(BpeRunCounter, PiecesCutAnywhereCountLikeTheWholeDocument) {
  const std::string text = " ahoj  světe\n\n x\tčau 🧠🧠 end ";
  const BpeRunCounts whole = countsOf(text);
  // Every single cut, and every pair of cuts.
  for (std::size_t first = 0; first <= text.size(); ++first) {
    for (std::size_t second = first; second <= text.size(); ++second) {
      BpeRunCounts counts;
      BpeRunCounter counter(counts);
      counter.feed(std::string_view(text).substr(0, first));
      counter.feed(std::string_view(text).substr(first, second - first));
      counter.feed(std::string_view(text).substr(second));
      counter.finish();
      ASSERT_EQ(counts, whole) << "cut at " << first << " and " << second;
      EXPECT_EQ(counter.pendingBytes(), 0u);
    }
  }
  // Byte by byte, and documents one after another.
  BpeRunCounts counts;
  BpeRunCounter counter(counts);
  for (int document = 0; document < 2; ++document) {
    for (const char byte : text) {
      counter.feed(std::string_view(&byte, 1));
    }
    EXPECT_EQ(counter.pendingBytes(), 1u);  // the final space may go on
    counter.finish();
  }
  BpeRunCounts twice = whole;
  twice.merge(whole);
  EXPECT_EQ(counts, twice);
}

TEST(BpeRunCounts, MergingShardsInAnyOrderGivesTheCountsOfTheWhole) {
  std::mt19937_64 random(41);
  for (const TestCorpora::NamedKind& kind : TestCorpora::kAllKinds) {
    const std::string corpus = TestCorpora::generate(kind.kind, 6000, random());
    const BpeRunCounts whole = countsOf(corpus);
    // Five shards cut between runs; merged left to right, right to left and
    // as a tree.
    std::vector<BpeRunCounts> shards;
    std::size_t start = 0;
    for (std::size_t k = 1; k <= 5; ++k) {
      const std::size_t end = nextBpeRunBoundary(corpus, corpus.size() * k / 5);
      shards.push_back(countsOf(std::string_view(corpus).substr(start, end - start)));
      start = end;
    }
    BpeRunCounts left;
    for (const BpeRunCounts& shard : shards) left.merge(shard);
    BpeRunCounts right;
    for (auto shard = shards.rbegin(); shard != shards.rend(); ++shard) right.merge(*shard);
    BpeRunCounts a = shards[0];
    a.merge(shards[1]);
    BpeRunCounts b = shards[2];
    b.merge(shards[3]);
    b.merge(shards[4]);
    b.merge(a);
    EXPECT_EQ(left, whole) << kind.name;
    EXPECT_EQ(right, whole) << kind.name;
    EXPECT_EQ(b, whole) << kind.name;
    EXPECT_EQ(serializeBpeRunCounts(b), serializeBpeRunCounts(whole)) << kind.name;
  }
}

// ---- The run-count file ----

// The three runs " " x3, "ahoj" x2 and "světe" x1, as the format lays them out.
ByteBuffer handWrittenFile() {
  ByteBuffer payload;
  const auto record = [&payload](std::uint64_t count, std::string_view run) {
    appendU64(payload, count);
    appendU32(payload, static_cast<std::uint32_t>(run.size()));
    appendBytes(payload, run);
  };
  record(3, " ");
  record(2, "ahoj");
  record(1, "světe");
  ByteBuffer file;
  appendBytes(file, std::string_view("LUMERUN1"));
  appendU16(file, 1);
  appendU16(file, 0x4C45);
  appendU64(file, 3);
  appendU64(file, payload.size());
  appendU64(file, fnv1a64(payload));
  appendBytes(file, payload);
  return file;
}

// Makes the header's payload length and checksum agree with the bytes after
// it, so that an edit reaches the record checks.
ByteBuffer repaired(ByteBuffer file) {
  const std::span<const std::uint8_t> payload = std::span<const std::uint8_t>(file).subspan(36);
  ByteBuffer fields;
  appendU64(fields, payload.size());
  appendU64(fields, fnv1a64(payload));
  std::copy(fields.begin(), fields.end(), file.begin() + 20);
  return file;
}

void expectRefused(const ByteBuffer& file, const std::string& message,
                   std::uint64_t maxBytes = kNoLimit) {
  expectThrow<std::invalid_argument>([&] { (void)loadBpeRunCounts(file, maxBytes); }, message);
}

TEST(BpeRunCountFile, LaysOutRunsInByteOrderBehindTheHeader) {
  BpeRunCounts counts;
  counts.countDocument("světe ahoj ahoj ");
  EXPECT_EQ(serializeBpeRunCounts(counts), handWrittenFile());
  EXPECT_EQ(loadBpeRunCounts(handWrittenFile(), kNoLimit), counts);

  // The empty table: the header alone, with the checksum of nothing.
  const ByteBuffer empty = serializeBpeRunCounts(BpeRunCounts());
  ASSERT_EQ(empty.size(), 36u);
  EXPECT_EQ(asText(std::span(empty).first(12)), std::string_view("LUMERUN1\x01\x00\x45\x4C", 12));
  EXPECT_EQ(readU64(empty, 12), 0u);
  EXPECT_EQ(readU64(empty, 20), 0u);
  EXPECT_EQ(readU64(empty, 28), 0x14650fb0739d0383u);
  EXPECT_TRUE(loadBpeRunCounts(empty, 36).empty());
}

TEST(BpeRunCountFile, RoundTripsCountsOfAnySizeExactly) {
  BpeRunCounts counts = countsOf(TestCorpora::generate(TestCorpora::Kind::RandomBytes, 20000, 5));
  counts.add("\xFF\xFF", kMax - counts.count("\xFF\xFF"));
  const ByteBuffer file = serializeBpeRunCounts(counts);
  const BpeRunCounts loaded = loadBpeRunCounts(file, file.size());
  EXPECT_EQ(loaded, counts);
  EXPECT_EQ(loaded.count("\xFF\xFF"), kMax);
  EXPECT_EQ(serializeBpeRunCounts(loaded), file);
}

TEST(BpeRunCountFile, CorruptionTable) {
  const ByteBuffer valid = handWrittenFile();
  // Records start at 36 (" "), 49 ("ahoj") and 65 ("světe"); each is count,
  // length, bytes.
  struct Row {
    const char* what;
    std::function<ByteBuffer()> edit;
    std::string message;
  };
  const auto edited = [&valid](std::size_t offset, std::uint8_t value) {
    ByteBuffer file = valid;
    file[offset] = value;
    return file;
  };
  const auto withU64 = [&valid](std::size_t offset, std::uint64_t value) {
    ByteBuffer file = valid;
    ByteBuffer field;
    appendU64(field, value);
    std::copy(field.begin(), field.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    return file;
  };
  const auto withU32 = [&valid](std::size_t offset, std::uint32_t value) {
    ByteBuffer file = valid;
    ByteBuffer field;
    appendU32(field, value);
    std::copy(field.begin(), field.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    return file;
  };
  const auto record = [](std::uint64_t count, std::string_view run) {
    ByteBuffer bytes;
    appendU64(bytes, count);
    appendU32(bytes, static_cast<std::uint32_t>(run.size()));
    appendBytes(bytes, run);
    return bytes;
  };
  const auto fileOf = [&](std::uint64_t runs, const std::vector<ByteBuffer>& records) {
    ByteBuffer file(valid.begin(), valid.begin() + 36);
    for (const ByteBuffer& bytes : records) appendBytes(file, bytes);
    ByteBuffer count;
    appendU64(count, runs);
    std::copy(count.begin(), count.end(), file.begin() + 12);
    return repaired(file);
  };
  const std::vector<Row> rows = {
      {"shorter than the header", [&] { return ByteBuffer(valid.begin(), valid.begin() + 35); },
       "invalid BPE run-count file"},
      {"another magic", [&] { return edited(7, '2'); }, "invalid BPE run-count file"},
      {"a byte tokenizer magic", [&] { return edited(4, 'B'); }, "invalid BPE run-count file"},
      {"version 2", [&] { return edited(8, 2); }, "unsupported BPE run-count format"},
      {"big-endian marker", [&] { return edited(10, 0x4C); }, "unsupported BPE run-count format"},
      {"more runs than the payload holds", [&] { return withU64(12, 5); },
       "BPE run-count length or checksum mismatch"},
      {"a run count near 2^64", [&] { return withU64(12, kMax); },
       "BPE run-count length or checksum mismatch"},
      {"payload length one short", [&] { return withU64(20, valid.size() - 37); },
       "BPE run-count length or checksum mismatch"},
      {"payload length that wraps", [&] { return withU64(20, kMax); },
       "BPE run-count length or checksum mismatch"},
      {"a checksum bit", [&] { return edited(28, valid[28] ^ 1); },
       "BPE run-count length or checksum mismatch"},
      {"a count bit, checksum kept", [&] { return edited(36, 2); },
       "BPE run-count length or checksum mismatch"},
      {"the last byte, checksum kept", [&] { return edited(valid.size() - 1, 0x66); },
       "BPE run-count length or checksum mismatch"},
      {"one run more than stored, with room for it",
       [&] { return fileOf(2, {record(1, std::string(20, 'a'))}); }, "truncated BPE run record"},
      {"one run fewer than stored", [&] { return withU64(12, 2); }, "trailing BPE run-count data"},
      {"a byte after the last record",
       [&] {
         return fileOf(3, {ByteBuffer(valid.begin() + 36, valid.end()), ByteBuffer{0}});
       },
       "trailing BPE run-count data"},
      {"count 0", [&] { return repaired(withU64(49, 0)); }, "invalid BPE run record"},
      {"length 0", [&] { return repaired(withU32(57, 0)); }, "invalid BPE run record"},
      {"length past the end", [&] { return repaired(withU32(73, 8)); }, "invalid BPE run record"},
      {"length near 2^32", [&] { return repaired(withU32(44, 0xFFFFFFFFu)); },
       "invalid BPE run record"},
      {"a run of two kinds", [&] { return repaired(edited(63, ' ')); }, "invalid BPE run record"},
      {"two runs out of order",
       [&] {
         return fileOf(2, {record(1, "b"), record(1, "a")});
       },
       "non-canonical BPE run-count file"},
      {"a run twice",
       [&] {
         return fileOf(2, {record(1, "a"), record(4, "a")});
       },
       "non-canonical BPE run-count file"},
      {"a longer run before its prefix",
       [&] {
         return fileOf(2, {record(1, "ab"), record(1, "a")});
       },
       "non-canonical BPE run-count file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    expectRefused(row.edit(), row.message);
  }
  // The size limit is inclusive.
  expectRefused(valid, "invalid BPE run-count file", valid.size() - 1);
  EXPECT_EQ(loadBpeRunCounts(valid, valid.size()).size(), 3u);
}

TEST(BpeRunCountFile, EveryTruncatedPrefixIsRefused) {
  const ByteBuffer valid = handWrittenFile();
  for (std::size_t length = 0; length < valid.size(); ++length) {
    const ByteBuffer prefix(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_THROW((void)loadBpeRunCounts(prefix, kNoLimit), std::invalid_argument) << length;
    if (length >= 36) {
      // With the header made to agree, the cut is found in the records.
      try {
        (void)loadBpeRunCounts(repaired(prefix), kNoLimit);
        ADD_FAILURE() << length;
      } catch (const std::invalid_argument& error) {
        const std::string message = error.what();
        EXPECT_TRUE(message == "truncated BPE run record" || message == "invalid BPE run record" ||
                    message == "BPE run-count length or checksum mismatch")
            << length << ": " << message;
      }
    }
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
