#include "lumeth/tokenizers/bpe_training.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumeth/tokenizers/bpe_run_counts.hpp"

#include "lumeth/tokenizers/internal/bpe_internal.hpp"
#include "lumeth/tokenizers/internal/bpe_reference.hpp"
#include "tests/tokenizers/bpe_corpora.hpp"
#include "tests/tokenizers/tokenizer_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Merges = std::vector<BpeMerge>;
using Ids = std::vector<std::uint32_t>;

constexpr std::string_view kConformanceCorpus = " ahoj světe ahoj světe český chatbot ahoj světe";

BpeTrainingLimits limitsWith(std::uint32_t vocabularySize, std::uint32_t minPairFrequency,
                             std::uint32_t maxTokenBytes) {
  BpeTrainingLimits limits;
  limits.vocabularySize = vocabularySize;
  limits.minPairFrequency = minPairFrequency;
  limits.maxTokenBytes = maxTokenBytes;
  return limits;
}

Merges mergesOf(const SubwordTokenizer& tokenizer) {
  return {tokenizer.merges().begin(), tokenizer.merges().end()};
}

TEST(BpeTrainingLimits, DefaultsAreTheDocumentedValues) {
  const BpeTrainingLimits limits;
  EXPECT_EQ(limits.vocabularySize, 16384u);
  EXPECT_EQ(limits.minPairFrequency, 2u);
  EXPECT_EQ(limits.maxTokenBytes, 16u);
  EXPECT_EQ(limits.maxCorpusBytes, 67108864u);
}

TEST(TrainBpe, LearnsTheWorkedExampleInOrder) {
  const SubwordTokenizer tokenizer = trainBpe(kConformanceCorpus, limitsWith(300, 2, 12));
  // Every merge had count 3; each time the smallest pair key won the tie.
  EXPECT_EQ(mergesOf(tokenizer), workedExampleMerges());
  const TokenizerDescriptor d = tokenizer.descriptor();
  EXPECT_EQ(d.vocabularySize, 266u);
  EXPECT_EQ(d.bosId, 264u);
  EXPECT_EQ(d.eosId, 265u);
  EXPECT_EQ(tokenizer.encode("ahoj světe", {}).ids, (Ids{262, ' ', 263}));
}

TEST(TrainBpe, StopsAtTheVocabularySize) {
  EXPECT_TRUE(trainBpe(kConformanceCorpus, limitsWith(258, 2, 12)).merges().empty());
  const Merges firstTwo = mergesOf(trainBpe(kConformanceCorpus, limitsWith(260, 2, 12)));
  EXPECT_EQ(firstTwo, (Merges{{97, 104, "ah"}, {111, 106, "oj"}}));
  const TokenizerDescriptor d = trainBpe(kConformanceCorpus, limitsWith(258, 2, 12)).descriptor();
  EXPECT_EQ(d.vocabularySize, 258u);
  EXPECT_EQ(d.bosId, 256u);
  EXPECT_EQ(d.eosId, 257u);
}

TEST(TrainBpe, LearnsNothingWithoutRepeatedPairs) {
  for (const std::string_view corpus : {std::string_view{}, std::string_view{"a b\tc d\n"}}) {
    EXPECT_TRUE(trainBpe(corpus, limitsWith(300, 1, 16)).merges().empty()) << corpus;
  }
}

TEST(TrainBpe, NeverMergesAPairRarerThanTheMinimumFrequency) {
  // (c, d) occurs twice, (a, b) once.
  EXPECT_EQ(mergesOf(trainBpe("ab cd cd", limitsWith(300, 2, 16))), (Merges{{'c', 'd', "cd"}}));
  EXPECT_EQ(mergesOf(trainBpe("ab cd cd", limitsWith(300, 1, 16))),
            (Merges{{'c', 'd', "cd"}, {'a', 'b', "ab"}}));
}

TEST(TrainBpe, SkipsAPairWhoseTokenWouldBeTooLong) {
  // After "ab", the pair (ab, ab) is the most frequent (3) but makes 4 bytes;
  // with a 2-byte ceiling the less frequent (c, d) is learned instead.
  const std::string corpus = "abab abab abab cd cd";
  EXPECT_EQ(mergesOf(trainBpe(corpus, limitsWith(300, 2, 2))),
            (Merges{{'a', 'b', "ab"}, {'c', 'd', "cd"}}));
  EXPECT_EQ(mergesOf(trainBpe(corpus, limitsWith(300, 2, 4))),
            (Merges{{'a', 'b', "ab"}, {256, 256, "abab"}, {'c', 'd', "cd"}}));
}

TEST(TrainBpe, CountsOverlappingPairsAndRewritesWithoutOverlap) {
  // "aaa" holds (a, a) twice, enough for a minimum of 2; afterwards the word
  // is (aa, a), whose one remaining pair is too rare.
  EXPECT_EQ(mergesOf(trainBpe("aaa", limitsWith(300, 2, 16))), (Merges{{'a', 'a', "aa"}}));
}

TEST(TrainBpe, WeighsPairsByHowOftenTheirRunOccurs) {
  // (x, y) appears in one distinct run that occurs three times; (p, q) twice
  // within a single run that occurs once. Higher weighted count wins.
  EXPECT_EQ(mergesOf(trainBpe("xy xy xy pqpq", limitsWith(259, 1, 16))),
            (Merges{{'x', 'y', "xy"}}));
}

TEST(TrainBpe, MergesInsideWhitespaceRunsButNeverAcrossTheirBorder) {
  // The pairs (a, space) and (space, b) never exist: whitespace is its own run.
  const Merges merges = mergesOf(trainBpe("a  b a  b", limitsWith(300, 2, 16)));
  EXPECT_EQ(merges, (Merges{{' ', ' ', "  "}}));
}

TEST(TrainBpe, SplitsMultiByteCharactersWhenThatIsWhatRepeats) {
  // "č" is C4 8D, "ě" is C4 9B: the repeated pair (8D, e) crosses the end of
  // a character, so the learned token is not valid UTF-8 on its own.
  const Merges merges = mergesOf(trainBpe("če če ěe", limitsWith(259, 2, 16)));
  EXPECT_EQ(merges, (Merges{{0x8D, 'e',
                             "\x8D"
                             "e"}}));
}

TEST(TrainBpe, IsDeterministic) {
  const std::string corpus =
      "the cat sat on the mat with the other cat and the hat; that hat sat flat. "
      "ahoj světe ahoj světe český chatbot ahoj světe";
  const BpeTrainingLimits limits = limitsWith(400, 1, 16);
  const SubwordTokenizer first = trainBpe(corpus, limits);
  const SubwordTokenizer second = trainBpe(corpus, limits);
  EXPECT_GT(first.merges().size(), 30u);
  EXPECT_EQ(first.artifact(), second.artifact());
  EXPECT_EQ(first.descriptor(), second.descriptor());
}

struct LimitsCase {
  const char* name;
  BpeTrainingLimits limits;
  std::size_t corpusBytes;
  const char* message;  // nullptr: accepted
};

TEST(TrainBpe, RefusesInvalidLimitsInOrder) {
  constexpr const char* kVocabulary = "BPE vocabulary must be in [258, 1048576]";
  constexpr const char* kLimits = "invalid BPE training limits";
  constexpr const char* kCorpus = "BPE training corpus exceeds configured size limit";
  const std::vector<LimitsCase> cases = {
      {"vocabulary 257", limitsWith(257, 2, 16), 4, kVocabulary},
      {"vocabulary 0", limitsWith(0, 2, 16), 4, kVocabulary},
      {"vocabulary 1048577", limitsWith(1048577, 2, 16), 4, kVocabulary},
      {"vocabulary above 2^31", limitsWith(0x80000000u, 2, 16), 4, kVocabulary},
      {"vocabulary 258", limitsWith(258, 2, 16), 4, nullptr},
      {"vocabulary 1048576", limitsWith(1048576, 2, 16), 4, nullptr},
      {"token bytes 1", limitsWith(300, 2, 1), 4, kLimits},
      {"token bytes 257", limitsWith(300, 2, 257), 4, kLimits},
      {"token bytes 2", limitsWith(300, 2, 2), 4, nullptr},
      {"token bytes 256", limitsWith(300, 2, 256), 4, nullptr},
      {"frequency 0", limitsWith(300, 0, 16), 4, kLimits},
      {"frequency 1", limitsWith(300, 1, 16), 4, nullptr},
      {"bad vocabulary wins over bad limits", limitsWith(257, 0, 1), 4, kVocabulary},
      {"corpus over the limit", {.maxCorpusBytes = 3}, 4, kCorpus},
      {"corpus at the limit", {.maxCorpusBytes = 4}, 4, nullptr},
      {"empty corpus, zero limit", {.maxCorpusBytes = 0}, 0, nullptr},
      {"bad limits win over a large corpus",
       {.vocabularySize = 300, .maxTokenBytes = 0, .maxCorpusBytes = 1},
       4,
       kLimits},
      {"bad vocabulary wins over a large corpus",
       {.vocabularySize = 2, .maxCorpusBytes = 1},
       4,
       kVocabulary},
  };
  for (const LimitsCase& test : cases) {
    const std::string corpus(test.corpusBytes, 'a');
    if (test.message == nullptr) {
      EXPECT_NO_THROW((void)trainBpe(corpus, test.limits)) << test.name;
      continue;
    }
    try {
      (void)trainBpe(corpus, test.limits);
      ADD_FAILURE() << test.name << ": expected \"" << test.message << "\"";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), test.message) << test.name;
    }
  }
}

// ---- The fast trainer against the reference ----

struct TrainerCase {
  std::uint32_t minPairFrequency;
  std::uint32_t maxTokenBytes;
};

// trainBpe must learn exactly the merges of trainBpeReference. Training with a
// smaller vocabulary is a prefix of the same passes, so the reference runs
// once at the largest size and every smaller size is compared with its
// prefix; the reference is also run directly at a few sizes.
TEST(TrainBpe, LearnsExactlyTheMergesOfTheReferenceAtEveryVocabularySize) {
  constexpr std::uint32_t kLargest = 420;
  const std::vector<TrainerCase> cases = {{2, 16}, {1, 16}, {3, 4}, {1, 2}, {2, 3}};
  std::uint64_t seed = 1;
  for (const TestCorpora::NamedKind& kind : TestCorpora::kAllKinds) {
    for (const TrainerCase& test : cases) {
      const std::string corpus = TestCorpora::generate(kind.kind, 3000, seed++);
      const Merges reference = mergesOf(trainBpeReference(
          corpus, limitsWith(kLargest, test.minPairFrequency, test.maxTokenBytes)));
      for (std::uint32_t vocabulary = 258; vocabulary <= kLargest; ++vocabulary) {
        const Merges fast = mergesOf(
            trainBpe(corpus, limitsWith(vocabulary, test.minPairFrequency, test.maxTokenBytes)));
        const std::size_t expected = std::min<std::size_t>(vocabulary - 258, reference.size());
        ASSERT_EQ(fast, Merges(reference.begin(),
                               reference.begin() + static_cast<std::ptrdiff_t>(expected)))
            << kind.name << ", vocabulary " << vocabulary << ", min frequency "
            << test.minPairFrequency << ", max token bytes " << test.maxTokenBytes;
      }
      for (const std::uint32_t vocabulary : {259u, 300u, 333u}) {
        const BpeTrainingLimits limits =
            limitsWith(vocabulary, test.minPairFrequency, test.maxTokenBytes);
        EXPECT_EQ(trainBpe(corpus, limits).artifact(), trainBpeReference(corpus, limits).artifact())
            << kind.name << ", vocabulary " << vocabulary;
      }
    }
  }
}

TEST(TrainBpe, AgreesWithTheReferenceOnTheEdgeCasesOfTheRules) {
  // Ties broken by key, a too-long favourite, overlapping (a, a), weighted
  // counts, a pair whose count falls below the minimum after another merge.
  const std::vector<std::string> corpora = {"abab abab abab cd cd",
                                            "aaa",
                                            "aaaa aaaa aaaaa",
                                            "xy xy xy pqpq",
                                            "a  b a  b",
                                            "če če ěe",
                                            std::string(kConformanceCorpus),
                                            "abcabc bcab cabc abc",
                                            ""};
  for (const std::string& corpus : corpora) {
    for (const std::uint32_t maxTokenBytes : {2u, 3u, 16u}) {
      for (const std::uint32_t minPairFrequency : {1u, 2u}) {
        const BpeTrainingLimits limits = limitsWith(400, minPairFrequency, maxTokenBytes);
        EXPECT_EQ(mergesOf(trainBpe(corpus, limits)), mergesOf(trainBpeReference(corpus, limits)))
            << '"' << corpus << "\", max token bytes " << maxTokenBytes << ", min frequency "
            << minPairFrequency;
      }
    }
  }
}

TEST(TrainBpe, AgreesWithTheReferenceWhenTheRunTableGrows) {
  // 40000 distinct four-letter words, each once: more distinct runs than the
  // trainer's table of runs holds before it grows.
  std::string corpus;
  corpus.reserve(40000 * 5);
  for (std::uint32_t word = 0; word < 40000; ++word) {
    // A bijection on 0..65535 scatters the words; each nibble is a letter.
    const std::uint32_t scattered = (word * 40503u + 12345u) & 0xFFFFu;
    for (int nibble = 0; nibble < 4; ++nibble) {
      corpus.push_back(static_cast<char>('a' + ((scattered >> (4 * nibble)) & 0xF)));
    }
    corpus.push_back(' ');
  }
  const BpeTrainingLimits limits = limitsWith(278, 2, 16);
  const SubwordTokenizer fast = trainBpe(corpus, limits);
  EXPECT_EQ(fast.merges().size(), 20u);
  EXPECT_EQ(mergesOf(fast), mergesOf(trainBpeReference(corpus, limits)));
}

TEST(TrainBpe, WideIndicesLearnTheSameMerges) {
  // Corpora of about 2 GiB and more are trained with 64-bit word and pair
  // numbers; the same trainer runs here on small corpora.
  std::uint64_t seed = 500;
  for (const TestCorpora::NamedKind& kind : TestCorpora::kAllKinds) {
    const std::string corpus = TestCorpora::generate(kind.kind, 3000, seed++);
    for (const TrainerCase& test : std::vector<TrainerCase>{{2, 16}, {1, 3}}) {
      const BpeTrainingLimits limits = limitsWith(400, test.minPairFrequency, test.maxTokenBytes);
      EXPECT_EQ(trainBpeWithWideIndices(corpus, limits).artifact(),
                trainBpeReference(corpus, limits).artifact())
          << kind.name << ", min frequency " << test.minPairFrequency;
    }
  }
  try {
    (void)trainBpeWithWideIndices("ab", limitsWith(257, 2, 16));
    ADD_FAILURE() << "expected the vocabulary message";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "BPE vocabulary must be in [258, 1048576]");
  }
}

// Cuts `corpus` at run boundaries only (between a whitespace and a
// non-whitespace byte), at positions chosen by `seed`.
std::vector<std::string_view> cutAtRunBoundaries(std::string_view corpus, std::uint64_t seed) {
  std::vector<std::string_view> documents;
  std::size_t start = 0;
  for (std::size_t i = 1; i < corpus.size(); ++i) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    const bool boundary = isBpeWhitespace(static_cast<std::uint8_t>(corpus[i - 1])) !=
                          isBpeWhitespace(static_cast<std::uint8_t>(corpus[i]));
    if (boundary && (seed >> 60) == 0) {
      documents.push_back(corpus.substr(start, i - start));
      start = i;
    }
  }
  documents.push_back(corpus.substr(start));
  return documents;
}

TEST(TrainBpeDocuments, CutsAtRunBoundariesChangeNothing) {
  std::uint64_t seed = 900;
  for (const TestCorpora::NamedKind& kind : TestCorpora::kAllKinds) {
    const std::string corpus = TestCorpora::generate(kind.kind, 4000, seed++);
    const std::vector<std::string_view> documents = cutAtRunBoundaries(corpus, seed++);
    ASSERT_GT(documents.size(), 10u) << kind.name;
    const BpeTrainingLimits limits = limitsWith(400, 2, 16);
    EXPECT_EQ(trainBpe(documents, limits).artifact(), trainBpe(corpus, limits).artifact())
        << kind.name;
  }
}

TEST(TrainBpeDocuments, NoRunSpansTwoDocuments) {
  // Joined, "a" and "a" make the run "aa" and its pair; apart they make none.
  const BpeTrainingLimits limits = limitsWith(300, 1, 16);
  const std::vector<std::string_view> apart = {"a", "a"};
  EXPECT_EQ(mergesOf(trainBpe("aa", limits)), (Merges{{'a', 'a', "aa"}}));
  EXPECT_TRUE(trainBpe(apart, limits).merges().empty());
  EXPECT_TRUE(trainBpe(std::span<const std::string_view>(), limits).merges().empty());
}

TEST(TrainBpeDocuments, SizeLimitAppliesToTheTotal) {
  BpeTrainingLimits limits = limitsWith(300, 2, 16);
  limits.maxCorpusBytes = 5;
  const std::vector<std::string_view> fits = {"ab", "cde"};
  const std::vector<std::string_view> over = {"ab", "cd", "ef"};
  EXPECT_NO_THROW((void)trainBpe(fits, limits));
  try {
    (void)trainBpe(over, limits);
    ADD_FAILURE() << "expected the size-limit message";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "BPE training corpus exceeds configured size limit");
  }
}

TEST(TrainBpeProgress, ReportsEachStageInOrderWithoutChangingTheResult) {
  const std::string corpus = TestCorpora::generate(TestCorpora::Kind::Utf8Words, 20000, 77);
  const BpeTrainingLimits limits = limitsWith(3000, 2, 16);
  std::vector<BpeTrainingProgress> seen;
  BpeTrainingOptions options;
  options.progress = [&seen](const BpeTrainingProgress& progress) { seen.push_back(progress); };
  const SubwordTokenizer watched = trainBpe(corpus, limits, options);
  EXPECT_EQ(watched.artifact(), trainBpe(corpus, limits).artifact());

  using Stage = BpeTrainingProgress::Stage;
  const std::uint64_t maxMerges = 3000 - 258;
  const std::uint64_t learned = watched.merges().size();
  ASSERT_GT(learned, 100u);
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(seen.front().stage, Stage::counting);
  EXPECT_EQ(seen.front().done, 0u);
  EXPECT_EQ(seen.back().stage, Stage::merging);
  EXPECT_EQ(seen.back().done, learned);
  // Stages never go back, `done` never falls within a stage, every report
  // carries its stage's total, and merging reports at most every 1/1024.
  std::size_t mergingReports = 0;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const BpeTrainingProgress& p = seen[i];
    EXPECT_EQ(p.total, p.stage == Stage::counting ? corpus.size() : maxMerges) << i;
    EXPECT_LE(p.done, p.total) << i;
    if (i > 0 && seen[i - 1].stage == p.stage) {
      EXPECT_GE(p.done, seen[i - 1].done) << i;
    }
    if (i > 0) {
      EXPECT_GE(p.stage, seen[i - 1].stage) << i;
    }
    mergingReports += p.stage == Stage::merging ? 1 : 0;
  }
  EXPECT_LE(mergingReports, 1024u + 2u);
  EXPECT_GT(mergingReports, learned / 3);  // every merge of 2742 / 1024 = 2
}

TEST(TrainBpeProgress, AnExceptionFromTheCallbackEndsTraining) {
  BpeTrainingOptions options;
  options.progress = [](const BpeTrainingProgress& progress) {
    if (progress.stage == BpeTrainingProgress::Stage::merging && progress.done > 0) {
      throw std::runtime_error("stopped");
    }
  };
  const std::string corpus = TestCorpora::generate(TestCorpora::Kind::SkewedAlphabet, 4000, 3);
  EXPECT_THROW((void)trainBpe(corpus, limitsWith(2000, 1, 16), options), std::runtime_error);
}

// ---- Training from run counts ----

// The counts of one shard as another machine would send them: counted whole
// or fed in pieces of random sizes, then stored and loaded back.
BpeRunCounts shardCounts(std::string_view shard, std::mt19937_64& random) {
  BpeRunCounts counts;
  if (random() % 2 == 0) {
    counts.countDocument(shard);
  } else {
    BpeRunCounter counter(counts);
    while (!shard.empty()) {
      const std::size_t piece = std::min<std::size_t>(shard.size(), 1 + random() % 97);
      counter.feed(shard.substr(0, piece));
      shard.remove_prefix(piece);
    }
    counter.finish();
  }
  const ByteBuffer file = serializeBpeRunCounts(counts);
  return loadBpeRunCounts(file, file.size());
}

TEST(TrainBpeFromCounts, ShardsCountedApartAndMergedInAnyOrderTrainLikeTheWholeCorpus) {
  struct Limits {
    std::uint32_t vocabularySize, minPairFrequency, maxTokenBytes;
  };
  const Limits limitChoices[] = {{420, 2, 16}, {300, 1, 3}, {1000, 3, 8}};
  std::mt19937_64 random(2024);
  for (const TestCorpora::NamedKind& kind : TestCorpora::kAllKinds) {
    for (int trial = 0; trial < 4; ++trial) {
      const std::string corpus = TestCorpora::generate(kind.kind, 1000 + random() % 5000, random());
      // k shards, cut at random run boundaries (some shards may be empty).
      const std::size_t k = 1 + random() % 6;
      std::vector<std::size_t> cuts = {0, corpus.size()};
      for (std::size_t i = 1; i < k; ++i) {
        cuts.push_back(nextBpeRunBoundary(corpus, random() % (corpus.size() + 1)));
      }
      std::sort(cuts.begin(), cuts.end());
      std::vector<BpeRunCounts> shards;
      for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        shards.push_back(
            shardCounts(std::string_view(corpus).substr(cuts[i], cuts[i + 1] - cuts[i]), random));
      }
      // Merged in a random order, as a chain or pairwise as a tree.
      std::shuffle(shards.begin(), shards.end(), random);
      const bool tree = random() % 2 == 0;
      while (shards.size() > 1) {
        const std::size_t into = tree ? shards.size() - 2 : 0;
        shards[into].merge(shards.back());
        shards.pop_back();
      }
      const Limits& chosen = limitChoices[random() % std::size(limitChoices)];
      const BpeTrainingLimits limits =
          limitsWith(chosen.vocabularySize, chosen.minPairFrequency, chosen.maxTokenBytes);
      EXPECT_EQ(trainBpeFromCounts(shards.front(), limits).artifact(),
                trainBpe(corpus, limits).artifact())
          << kind.name << ", trial " << trial << ", " << k << " shards";
    }
  }
}

TEST(TrainBpeFromCounts, ChecksTheMergeLimitsButHasNoCorpusLimit) {
  BpeRunCounts counts;
  counts.countDocument(kConformanceCorpus);
  BpeTrainingLimits limits = limitsWith(300, 2, 12);
  limits.maxCorpusBytes = 1;
  std::vector<BpeTrainingProgress::Stage> stages;
  BpeTrainingOptions options;
  options.progress = [&stages](const BpeTrainingProgress& progress) {
    stages.push_back(progress.stage);
  };
  EXPECT_EQ(mergesOf(trainBpeFromCounts(counts, limits, options)), workedExampleMerges());
  EXPECT_GE(stages.size(), 2u);
  EXPECT_TRUE(std::all_of(stages.begin(), stages.end(), [](BpeTrainingProgress::Stage stage) {
    return stage == BpeTrainingProgress::Stage::merging;
  }));

  struct Case {
    BpeTrainingLimits limits;
    const char* message;
  };
  const Case cases[] = {
      {limitsWith(257, 2, 12), "BPE vocabulary must be in [258, 1048576]"},
      {limitsWith(1048577, 0, 1), "BPE vocabulary must be in [258, 1048576]"},
      {limitsWith(300, 0, 12), "invalid BPE training limits"},
      {limitsWith(300, 2, 257), "invalid BPE training limits"},
  };
  for (const Case& test : cases) {
    try {
      (void)trainBpeFromCounts(counts, test.limits);
      ADD_FAILURE() << test.message;
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), test.message);
    }
  }
}

TEST(TrainBpeFromCounts, RefusesCountsWhoseBytePairSumsOverflow) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
  struct Case {
    const char* what;
    std::vector<std::pair<std::string_view, std::uint64_t>> runs;
    bool overflows;
  };
  const Case cases[] = {
      {"a pair twice in one run", {{"aaa", kHalf}}, true},
      {"one pair over two runs", {{"aa", kHalf}, {"aaa", kHalf / 2}}, true},
      {"one more than the largest count", {{"ab", kMax}, {"abc", 1}}, true},
      {"a pair at exactly 2^64 - 1", {{"aa", kMax}}, false},
      {"pairs that fit each, though not all together", {{"ab", kMax}, {"cd", kMax}}, false},
  };
  for (const Case& test : cases) {
    BpeRunCounts counts;
    for (const auto& [run, count] : test.runs) {
      counts.add(run, count);
    }
    const BpeTrainingLimits limits = limitsWith(300, 2, 16);
    if (test.overflows) {
      try {
        (void)trainBpeFromCounts(counts, limits);
        ADD_FAILURE() << test.what;
      } catch (const std::overflow_error& error) {
        EXPECT_STREQ(error.what(), "BPE pair count overflow") << test.what;
      }
    } else {
      EXPECT_FALSE(trainBpeFromCounts(counts, limits).merges().empty()) << test.what;
    }
  }
  BpeRunCounts twoPairs;
  twoPairs.add("ab", kMax);
  twoPairs.add("cd", kMax);
  EXPECT_EQ(mergesOf(trainBpeFromCounts(twoPairs, limitsWith(300, 2, 16))),
            (Merges{{'a', 'b', "ab"}, {'c', 'd', "cd"}}));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
