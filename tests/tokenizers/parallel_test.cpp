// Encoding on a ThreadPool (encodeParallel, encodeBatch) and BPE training
// with parallel counting: the same ids, the same merges and the same errors
// as on the calling thread alone, for pools of 1, 2, 3 and 8 threads.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/parallel_encoding.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "tests/tokenizers/bpe_corpora.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using TestCorpora::Kind;

std::vector<std::unique_ptr<ThreadPool>> makePools() {
  std::vector<std::unique_ptr<ThreadPool>> pools;
  for (const std::size_t threads : {1U, 2U, 3U, 8U}) {
    pools.push_back(std::make_unique<ThreadPool>(threads));
  }
  return pools;
}

// "<code>: <message>" of the TokenizerError `run` throws, or the ids'
// count and hash when it returns.
template <class Run>
std::string outcomeOf(Run&& run) {
  try {
    const EncodedText encoded = run();
    return "ids " + std::to_string(encoded.ids.size()) + " " + encoded.tokenizerHash;
  } catch (const TokenizerError& error) {
    return std::to_string(static_cast<int>(error.code())) + ": " + error.what();
  }
}

// Text with everything a cut could disturb: words of a trained vocabulary,
// multi-byte characters, chat markers, runs of mixed whitespace, and bytes
// that are not UTF-8 (an unfinished sequence right before whitespace, a
// stray continuation byte right after it).
std::string trickyText(std::size_t bytes, std::uint64_t seed) {
  static constexpr std::string_view kPieces[] = {
      "ahoj",     "světe",    "te",      " ",        "  ",   "\n",         "\t ", "中文",
      "🧠",     "<|user|>", "<|end|>", "\xE2\x82", "\x82", "\xF0\x9F",   "x",   "<|assistant|>",
      "\xC3\xA9", "ab",       "\xFF",    " \r\n",    "tot",  "světe světe"};
  std::mt19937_64 random(seed);
  std::string text;
  while (text.size() < bytes) text.append(kPieces[random() % std::size(kPieces)]);
  return text;
}

struct Subject {
  const char* name;
  std::shared_ptr<const ITransformerTokenizer> tokenizer;
};

std::vector<Subject> subjects() {
  BpeTrainingLimits limits;
  limits.vocabularySize = 700;
  const auto subword = std::make_shared<const SubwordTokenizer>(
      trainBpe(trickyText(40000, 1) + TestCorpora::generate(Kind::Utf8Words, 40000, 2), limits));
  return {{"byte", std::make_shared<const ByteTokenizer>()},
          {"subword", subword},
          {"chat over subword", std::make_shared<const ChatTokenizer>(subword)}};
}

constexpr InvalidUtf8Policy kPolicies[] = {InvalidUtf8Policy::PreserveBytes,
                                           InvalidUtf8Policy::Reject, InvalidUtf8Policy::Replace};

TEST(EncodingCut, FallsBeforeANonWhitespaceByteThatFollowsWhitespace) {
  const std::string_view text = "ab  c\td\xE2\x82 e";
  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i <= text.size() + 1; ++i) {
    if (isEncodingCut(text, i)) cuts.push_back(i);
  }
  EXPECT_EQ(cuts, (std::vector<std::size_t>{4, 6, 10}));
  EXPECT_EQ(nextEncodingCut(text, 0), 4U);
  EXPECT_EQ(nextEncodingCut(text, 5), 6U);
  EXPECT_EQ(nextEncodingCut(text, 11), text.size());
  EXPECT_EQ(lastEncodingCut(text, 0), 10U);
  EXPECT_EQ(lastEncodingCut(text, 10), 10U);
  EXPECT_EQ(lastEncodingCut(text, 11), 0U);
  EXPECT_EQ(lastEncodingCut(text, 7), 10U);
  EXPECT_EQ(lastEncodingCut(text.substr(0, 10), 0), 6U);
  EXPECT_EQ(lastEncodingCut(text.substr(0, 10), 7), 0U);
  EXPECT_EQ(lastEncodingCut("", 0), 0U);
  EXPECT_EQ(nextEncodingCut("   ", 0), 3U);
}

// The property every parallel encoding rests on: at every cut, encoding the
// two sides and joining them gives the ids of the whole, for every
// tokenizer and policy. (Cutting after the unfinished sequence instead, at
// the whitespace that follows it, would not: under Replace its two bytes
// are two U+FFFD inside the text and one at the end of a piece.)
TEST(EncodingCut, EncodingBothSidesGivesTheWholeText) {
  const std::string text = trickyText(400, 3);
  for (const Subject& subject : subjects()) {
    for (const InvalidUtf8Policy policy : kPolicies) {
      if (policy == InvalidUtf8Policy::Reject) continue;  // the text is not UTF-8
      const EncodeOptions options{.addBos = false,
                                  .addEos = false,
                                  .normalization = Normalization::None,
                                  .invalidUtf8 = policy};
      const std::vector<std::uint32_t> whole = subject.tokenizer->encode(text, options).ids;
      for (std::size_t i = 1; i < text.size(); ++i) {
        if (!isEncodingCut(text, i)) continue;
        std::vector<std::uint32_t> joined =
            subject.tokenizer->encode(std::string_view(text).substr(0, i), options).ids;
        const std::vector<std::uint32_t> right =
            subject.tokenizer->encode(std::string_view(text).substr(i), options).ids;
        joined.insert(joined.end(), right.begin(), right.end());
        ASSERT_EQ(joined, whole) << subject.name << ", policy " << static_cast<int>(policy)
                                 << ", cut at " << i;
      }
    }
  }
  const ByteTokenizer bytes;
  const EncodeOptions replace{.addBos = false,
                              .addEos = false,
                              .normalization = Normalization::None,
                              .invalidUtf8 = InvalidUtf8Policy::Replace};
  EXPECT_EQ(bytes.encode("\xE2\x82 ", replace).ids.size(), 7U);
  EXPECT_EQ(bytes.encode("\xE2\x82", replace).ids.size() + bytes.encode(" ", replace).ids.size(),
            4U);
}

TEST(EncodeParallel, GivesTheIdsOfOneCallOnEveryPool) {
  const std::vector<std::unique_ptr<ThreadPool>> pools = makePools();
  // Large enough to be cut into a few pieces; one text has no cut at all.
  // Every policy on the text with bad bytes, Reject on valid UTF-8.
  const std::string tricky = trickyText(800000, 4);
  const std::string words = TestCorpora::generate(Kind::Utf8Words, 800000, 5);
  const std::string oneRun(600000, 'a');
  const struct {
    const std::string* text;
    InvalidUtf8Policy policy;
  } cases[] = {{&tricky, InvalidUtf8Policy::PreserveBytes},
               {&tricky, InvalidUtf8Policy::Replace},
               {&words, InvalidUtf8Policy::Reject},
               {&oneRun, InvalidUtf8Policy::PreserveBytes}};
  for (const Subject& subject : subjects()) {
    for (const auto& c : cases) {
      const EncodeOptions options{.addBos = c.text != &words,
                                  .addEos = c.text != &oneRun,
                                  .normalization = Normalization::None,
                                  .invalidUtf8 = c.policy};
      const EncodedText alone = subject.tokenizer->encode(*c.text, options);
      for (const auto& pool : pools) {
        const EncodedText threaded =
            encodeParallel(*subject.tokenizer, *c.text, options, pool.get());
        EXPECT_EQ(threaded.ids, alone.ids) << subject.name << ", " << pool->size()
                                           << " threads, policy " << static_cast<int>(c.policy);
        EXPECT_EQ(threaded.tokenizerHash, alone.tokenizerHash);
      }
    }
  }
}

TEST(EncodeParallel, FailsAsOneCallFails) {
  const std::vector<std::unique_ptr<ThreadPool>> pools = makePools();
  // Valid UTF-8 up to one bad byte near the end, in a late piece.
  std::string late = TestCorpora::generate(Kind::Utf8Words, 800000, 6);
  late[late.size() - 100] = '\xFF';
  const EncodeOptions reject{.addBos = true,
                             .addEos = false,
                             .normalization = Normalization::None,
                             .invalidUtf8 = InvalidUtf8Policy::Reject};
  EncodeOptions unknownPolicy = reject;
  unknownPolicy.invalidUtf8 = static_cast<InvalidUtf8Policy>(7);
  EncodeOptions normalized = reject;
  normalized.normalization = static_cast<Normalization>(1);
  for (const Subject& subject : subjects()) {
    for (const EncodeOptions& options : {reject, unknownPolicy, normalized}) {
      const std::string expected =
          outcomeOf([&] { return subject.tokenizer->encode(late, options); });
      EXPECT_NE(expected.substr(0, 4), "ids ") << subject.name;
      for (const auto& pool : pools) {
        EXPECT_EQ(outcomeOf([&] {
                    return encodeParallel(*subject.tokenizer, late, options, pool.get());
                  }),
                  expected)
            << subject.name << ", " << pool->size() << " threads";
      }
    }
  }
}

TEST(EncodeBatch, GivesOneResultPerTextAsOneCallEachWould) {
  const std::vector<std::unique_ptr<ThreadPool>> pools = makePools();
  std::vector<std::string> texts;
  std::mt19937_64 random(7);
  for (std::size_t k = 0; k < 200; ++k) texts.push_back(trickyText(random() % 3000, k));
  texts[17].clear();
  texts[150] = trickyText(700000, 8);  // cut into pieces inside its task
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  for (const Subject& subject : subjects()) {
    const EncodeOptions options{.addBos = true,
                                .addEos = true,
                                .normalization = Normalization::None,
                                .invalidUtf8 = InvalidUtf8Policy::Replace};
    std::vector<std::vector<std::uint32_t>> alone;
    for (const std::string& text : texts)
      alone.push_back(subject.tokenizer->encode(text, options).ids);
    for (ThreadPool* pool : {static_cast<ThreadPool*>(nullptr), pools[0].get(), pools[1].get(),
                             pools[2].get(), pools[3].get()}) {
      const std::vector<EncodedText> batch = encodeBatch(*subject.tokenizer, views, options, pool);
      ASSERT_EQ(batch.size(), texts.size());
      for (std::size_t k = 0; k < texts.size(); ++k) {
        EXPECT_EQ(batch[k].ids, alone[k]) << subject.name << ", text " << k;
      }
    }
    // Under Reject the first text that is not UTF-8 decides the error, as
    // in a loop over the texts.
    const EncodeOptions reject{.addBos = false,
                               .addEos = false,
                               .normalization = Normalization::None,
                               .invalidUtf8 = InvalidUtf8Policy::Reject};
    const std::string expected = outcomeOf([&] {
      EncodedText last;
      for (const std::string& text : texts) last = subject.tokenizer->encode(text, reject);
      return last;
    });
    EXPECT_EQ(expected, "0: invalid or incomplete UTF-8 sequence");
    for (const auto& pool : pools) {
      EXPECT_EQ(outcomeOf([&] {
                  return encodeBatch(*subject.tokenizer, views, reject, pool.get()).back();
                }),
                expected);
    }
  }
}

// Corpora above the size where counting goes to the pool, of every kind, as
// one text and as documents (runs never span two): the same artifact on
// every pool, and the progress calls still come from the calling thread in
// order.
TEST(TrainBpeOnAPool, LearnsTheMergesOfTheCallingThreadAlone) {
  const std::vector<std::unique_ptr<ThreadPool>> pools = makePools();
  BpeTrainingLimits limits;
  limits.vocabularySize = 600;
  std::uint64_t seed = 11;
  for (const TestCorpora::NamedKind& kind : TestCorpora::kAllKinds) {
    const std::string corpus = TestCorpora::generate(kind.kind, 600000, ++seed);
    const std::string_view whole = corpus;
    const std::vector<std::string_view> documents = {whole.substr(0, 250001),
                                                     whole.substr(250001, 7), whole.substr(250008)};
    const ByteBuffer alone = trainBpe(corpus, limits).artifact();
    const ByteBuffer aloneDocuments = trainBpe(documents, limits).artifact();
    for (const auto& pool : pools) {
      const std::thread::id caller = std::this_thread::get_id();
      bool progressOnCaller = true;
      std::uint64_t lastCounted = 0;
      bool counterMonotone = true;
      BpeTrainingOptions options;
      options.pool = pool.get();
      options.progress = [&](const BpeTrainingProgress& progress) {
        progressOnCaller = progressOnCaller && std::this_thread::get_id() == caller;
        if (progress.stage == BpeTrainingProgress::Stage::counting) {
          // Each call starts its count at 0 and only goes up from there.
          counterMonotone = counterMonotone && (progress.done == 0 || progress.done >= lastCounted);
          lastCounted = progress.done;
        }
      };
      EXPECT_EQ(trainBpe(corpus, limits, options).artifact(), alone)
          << kind.name << ", " << pool->size() << " threads";
      EXPECT_EQ(trainBpe(documents, limits, options).artifact(), aloneDocuments)
          << kind.name << " as documents, " << pool->size() << " threads";
      EXPECT_TRUE(progressOnCaller);
      EXPECT_TRUE(counterMonotone);
    }
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
