// generate: greedy equals the argmax of forward over the growing sequence; a
// generation saved after any token and restored elsewhere continues exactly;
// text streams as the tokenizer decodes; every stop reason; refusals and
// failing steps change nothing.

#include "lumeth/generation/generate.hpp"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "conformance/fixture.hpp"
#include "lumeth/artifact/model.hpp"
#include "lumeth/directory/model_directory.hpp"
#include "lumeth/foundation/files.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/internal/kernels/cpu_level.hpp"
#include "lumeth/session/inference_session.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "lumeth/tokenizers/text_stream.hpp"
#include "tests/generation/generation_test_support.hpp"
#include "tests/session/session_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using kernels::CpuLevel;
using Testing::chain_successors;
using Testing::Ids;
using Testing::ModelPtr;
using Testing::random_model;
using Testing::Recording;
using Testing::run_on;
using Testing::same_bits;
using Testing::SessionFile;
using Testing::sessionFile;
using Testing::Snapshot;
using Testing::successor_model;
using TokenizerPtr = std::shared_ptr<const ITransformerTokenizer>;
namespace fs = std::filesystem;

Ids idsOf(std::string_view text) {
  const auto bytes = asBytes(text);
  return {bytes.begin(), bytes.end()};
}

Ids operator+(Ids a, const Ids& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Merges whose tokens split characters: 256 = E2 82, 257 = F0 9F, 258 = A7
// A0, 259 = a C3.
TokenizerPtr splittingBpe() {
  return std::make_shared<const SubwordTokenizer>(std::vector<BpeMerge>{
      {0xE2, 0x82, "\xE2\x82"},
      {0xF0, 0x9F, "\xF0\x9F"},
      {0xA7, 0xA0, "\xA7\xA0"},
      {'a', 0xC3, "a\xC3"},
  });
}

SamplerOptions seeded(double temperature, std::optional<std::uint32_t> top_k = std::nullopt,
                      double top_p = 1.0) {
  return {.method = SamplingMethod::temperature,
          .temperature = temperature,
          .top_k = top_k,
          .top_p = top_p};
}

// The last row of forward over `sequence` into `row`, and its argmax (the
// first of equal maxima), worked out here.
std::uint32_t argmaxOfForward(const TransformerModel& model, const Ids& sequence,
                              bool full_precision, std::vector<double>& row) {
  TokenBatch batch;
  batch.batch_size = 1;
  batch.width = sequence.size();
  batch.tokens = sequence;
  ForwardOptions options;
  options.full_precision = full_precision;
  const Tensor logits = forward(model.spec(), model.weights(), batch, options);
  const std::size_t vocabulary = model.spec().vocabulary;
  row.assign(logits.data.end() - static_cast<std::ptrdiff_t>(vocabulary), logits.data.end());
  std::uint32_t best = 0;
  for (std::uint32_t t = 1; t < vocabulary; ++t) {
    if (row[t] > row[best]) best = t;
  }
  return best;
}

// ---------------------------------------------------------------------------
// At every kernel level

class GenerateLevel : public ::testing::TestWithParam<CpuLevel> {
 protected:
  void SetUp() override {
    if (!kernels::cpu_supports(GetParam())) {
      GTEST_SKIP() << "this processor lacks " << kernels::level_name(GetParam());
    }
    std::string pattern = (fs::temp_directory_path() / "lumeth-generation-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  fs::path root_;
};

std::string level_label(const ::testing::TestParamInfo<CpuLevel>& level) {
  return std::string(kernels::level_name(level.param));
}

INSTANTIATE_TEST_SUITE_P(AllLevels, GenerateLevel, ::testing::ValuesIn(kernels::compiled_levels()),
                         level_label);

TEST_P(GenerateLevel, GreedyIsTheArgmaxOfForwardOverTheGrowingSequence) {
  struct Case {
    std::string name;
    ModelPtr model;
    TokenizerPtr tokenizer;  // null: ids only
    Ids prompt;
  };
  const auto byte = std::make_shared<const ByteTokenizer>();
  std::vector<Case> cases = {
      {"conformance fixture", Conformance::make_bound_test_model(*byte), byte, idsOf("Ahoj")}};
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    const auto vocabulary = static_cast<std::uint32_t>(3 + 5 * seed);
    Ids prompt(1 + seed % 4);
    for (std::size_t i = 0; i < prompt.size(); ++i) {
      prompt[i] = static_cast<std::uint32_t>((seed * 7 + i * 3) % vocabulary);
    }
    cases.push_back({"random model " + std::to_string(seed), random_model(vocabulary, 20, seed),
                     nullptr, prompt});
  }
  for (const Case& c : cases) {
    for (const bool fp : {true, false}) {
      SCOPED_TRACE(c.name + (fp ? ", full precision" : ", single precision"));
      InferenceSession session(c.model, 1);
      GenerationOptions options;
      options.full_precision = fp;
      options.max_new_tokens = 16;
      options.stop_at_end_of_sequence = false;
      Recording heard;
      const GenerationResult result =
          run_on(GetParam(), session, c.tokenizer.get(), {.ids = c.prompt, .text = {}}, options,
                 heard.callback());
      ASSERT_EQ(result.ids.size(),
                std::min<std::size_t>(16, c.model->spec().context - c.prompt.size()));
      EXPECT_EQ(result.ids, heard.ids);
      Ids sequence = c.prompt;
      std::vector<double> row;
      for (std::size_t j = 0; j < result.ids.size(); ++j) {
        const std::uint32_t best = argmaxOfForward(*c.model, sequence, fp, row);
        ASSERT_TRUE(same_bits(heard.logits[j], row)) << "logits of new id " << j;
        ASSERT_EQ(result.ids[j], best) << "new id " << j;
        sequence.push_back(result.ids[j]);
      }
      EXPECT_EQ(session.input_tokens(), sequence);
      EXPECT_EQ(session.counter(), 0u);  // greedy draws nothing
    }
  }
}

struct ResumeCase {
  std::string name;
  ModelPtr model;
  TokenizerPtr tokenizer;     // null: ids only
  DirectoryTokenizer stored;  // how a model directory holds the tokenizer
  std::string prompt;
  SamplerOptions sampler;
  bool full_precision;
  bool splits;  // the run must leave a split character pending at some cut
};

std::vector<ResumeCase> resumeCases() {
  const auto byte = std::make_shared<const ByteTokenizer>();
  const auto bpe = splittingBpe();
  const auto chat = std::make_shared<const ChatTokenizer>(bpe);
  const TokenizerDescriptor c = chat->descriptor();
  // Bytes of "Ahoj€🧠ču\n", all distinct, in a cycle.
  Ids cycle = idsOf("Ahoj\xE2\x82\xAC\xF0\x9F\xA7\xA0\xC4\x8Du\n");
  cycle.push_back(cycle.front());
  const auto bytes = chain_successors(258, cycle);
  // Chat over BPE: split characters across merged ids and role ids.
  const Ids chatCycle = {'A', 256, 0xAC, c.userId, 257, 258, 259, 0xA9, c.assistantId, 'A'};
  const auto chatSuccessors = chain_successors(c.vocabularySize, chatCycle);
  const auto hashOf = [](const TokenizerPtr& t) { return t->descriptor().hash; };
  std::vector<ResumeCase> cases;
  // One at a time: a braced list of these trips GCC 12's maybe-uninitialized
  // warning on the shared pointers.
  cases.push_back({"byte, greedy", successor_model(258, bytes, 9.0, 0.005, 64, hashOf(byte)), byte,
                   DirectoryTokenizer{byte, false}, "A", SamplerOptions{}, true, true});
  cases.push_back({"byte, seeded", successor_model(258, bytes, 7.0, 0.005, 64, hashOf(byte)), byte,
                   DirectoryTokenizer{byte, false}, "A", seeded(1.0), false, true});
  cases.push_back({"chat over bpe, seeded top-p",
                   successor_model(c.vocabularySize, chatSuccessors, 6.0, 0.005, 64, c.hash), chat,
                   DirectoryTokenizer{bpe, true}, "A", seeded(0.8, std::nullopt, 0.9), true, true});
  cases.push_back({"bpe, random model, seeded top-k",
                   random_model(bpe->descriptor().vocabularySize, 64, 3, hashOf(bpe)), bpe,
                   DirectoryTokenizer{bpe, false}, "ahoj", seeded(1.0, 40u), true, false});
  cases.push_back({"unbound random model, seeded", random_model(23, 64, 4), nullptr,
                   DirectoryTokenizer{}, "", seeded(1.3), false, false});
  return cases;
}

// The uninterrupted run of a case: N new ids with everything the callback
// heard, and the session file at the end.
struct Run {
  GenerationResult result;
  Recording heard;
  ByteBuffer final_file;
};

GenerationResult startRun(CpuLevel level, InferenceSession& session, const ResumeCase& c,
                          std::uint64_t max_new, const GenerationCallback& callback) {
  GenerationOptions options;
  options.sampler = c.sampler;
  options.full_precision = c.full_precision;
  options.max_new_tokens = max_new;
  options.stop_at_end_of_sequence = false;
  const Ids prompt = {3, 1, 4};
  GenerationPrompt p{.ids = prompt, .text = {}};
  if (c.tokenizer) p.text = c.prompt;
  return run_on(level, session, c.tokenizer.get(), p, options, callback);
}

TEST_P(GenerateLevel, AGenerationSavedAfterAnyTokenContinuesExactlyElsewhere) {
  constexpr std::uint64_t kNew = 14;
  constexpr std::uint64_t kSeed = 20240611;
  for (const ResumeCase& c : resumeCases()) {
    SCOPED_TRACE(c.name);
    const fs::path directory = root_ / "model";
    save_model_directory(directory, *c.model, c.stored);
    InferenceSession whole = make_generation_session(c.model, kSeed);
    Recording heard;
    const GenerationResult result = startRun(GetParam(), whole, c, kNew, heard.callback());
    ASSERT_EQ(result.ids.size(), kNew);
    EXPECT_EQ(whole.counter(), sampler_draws(c.sampler) ? kNew : 0u);
    const ByteBuffer finalFile = whole.save();
    if (c.tokenizer) {
      // The chunks and what is still pending make up the one-shot decode.
      TextStream rest(*c.tokenizer, GenerationOptions{}.decode);
      rest.parseState(whole.tokenizer_state());
      EXPECT_EQ(result.text + rest.finish(),
                c.tokenizer->decode(result.ids, GenerationOptions{}.decode));
    }

    std::size_t pendingCuts = 0;
    for (std::uint64_t k = 0; k <= kNew; ++k) {
      SCOPED_TRACE("saved after " + std::to_string(k) + " new ids");
      InferenceSession first = make_generation_session(c.model, kSeed);
      (void)startRun(GetParam(), first, c, k, {});
      const ByteBuffer file = first.save();
      if (k > 0) {
        // Saved from the callback instead: the same file.
        InferenceSession fromCallback = make_generation_session(c.model, kSeed);
        ByteBuffer saved;
        (void)startRun(GetParam(), fromCallback, c, kNew, [&](const GeneratedToken& token) {
          if (token.index + 1 < k) return GenerationControl::proceed;
          saved = token.session.save();
          return GenerationControl::stop;
        });
        EXPECT_EQ(saved, file);
        EXPECT_EQ(fromCallback.save(), file);
      }
      if (c.tokenizer && !first.tokenizer_state().empty()) {
        DecoderState state;
        parseDecoderState(state, first.tokenizer_state());
        if (!state.pending.empty()) ++pendingCuts;
      }

      // Another process: the model directory and the session file from disk.
      write_file_atomically(root_ / "session.lumects", file);
      const LoadedModelDirectory loaded = load_model_directory(directory, ModelDirectoryLimits{});
      ASSERT_EQ(loaded.tokenizer == nullptr, c.tokenizer == nullptr);
      InferenceSession resumed(loaded.model, 1);
      resumed.restore(read_file_bytes(root_ / "session.lumects", 1 << 20), ArtifactLimits{});
      GenerationOptions options;
      options.sampler = c.sampler;
      options.full_precision = c.full_precision;
      options.max_new_tokens = kNew - k;
      options.stop_at_end_of_sequence = false;
      Recording rest;
      const GenerationResult tail =
          run_on(GetParam(), resumed, loaded.tokenizer.get(), {}, options, rest.callback());
      ASSERT_EQ(tail.ids,
                Ids(result.ids.begin() + static_cast<std::ptrdiff_t>(k), result.ids.end()));
      for (std::size_t j = 0; j < tail.ids.size(); ++j) {
        EXPECT_EQ(rest.chunks[j], heard.chunks[k + j]) << "text of new id " << k + j;
        EXPECT_TRUE(same_bits(rest.logits[j], heard.logits[k + j])) << "logits of new id " << k + j;
        EXPECT_EQ(rest.indices[j], j);
      }
      EXPECT_EQ(resumed.save(), finalFile);
    }
    fs::remove_all(directory);
    if (c.splits) {
      EXPECT_GT(pendingCuts, 0u) << "no cut fell inside a character";
    }
  }
}

// ---------------------------------------------------------------------------
// Stop reasons and streamed text (the detected kernel level)

// The byte tokenizer's successor model: A h o j E2 82 AC \n EOS Z, context
// `context`.
struct Chain {
  std::shared_ptr<const ByteTokenizer> byte = std::make_shared<const ByteTokenizer>();
  ModelPtr model;
  explicit Chain(std::uint32_t context = 64) {
    Ids chain = idsOf("Ahoj\xE2\x82\xAC\n");
    chain.push_back(257);
    chain.push_back('Z');
    model = successor_model(258, chain_successors(258, chain), 10.0, 0.005, context,
                            byte->descriptor().hash);
  }
};

TEST(Generate, StopsForEachReasonWithTheIdThatEndedTheRun) {
  struct Case {
    const char* name;
    std::function<void(GenerationOptions&)> set;
    std::uint32_t context;
    std::string prompt;
    Ids ids;
    std::string text;
    StopReason reason;
  };
  const std::string euro = "\xE2\x82\xAC";
  const std::vector<Case> cases = {
      {"end of sequence",
       {},
       64,
       "A",
       idsOf("hoj" + euro + "\n") + Ids{257},
       "hoj" + euro + "\n",
       StopReason::end_of_sequence},
      {"end of sequence that does not stop",
       [](GenerationOptions& o) {
         o.stop_at_end_of_sequence = false;
         o.max_new_tokens = 9;
       },
       64, "A", idsOf("hoj" + euro + "\n") + Ids{257, 'Z'}, "hoj" + euro + "\nZ",
       StopReason::token_limit},
      {"end of sequence also a stop id", [](GenerationOptions& o) { o.stop_ids = {257}; }, 64, "A",
       idsOf("hoj" + euro + "\n") + Ids{257}, "hoj" + euro + "\n", StopReason::end_of_sequence},
      {"stop id",
       [](GenerationOptions& o) {
         o.stop_ids = {'x', 'j'};
       },
       64, "A", idsOf("hoj"), "hoj", StopReason::stop_id},
      // A stop id inside a character ends the text: the pending bytes are
      // judged as final.
      {"stop id inside a character", [](GenerationOptions& o) { o.stop_ids = {0x82}; }, 64, "A",
       idsOf("hoj\xE2\x82"), "hoj\xE2\x82", StopReason::stop_id},
      {"stop id inside a character, replaced",
       [](GenerationOptions& o) {
         o.stop_ids = {0x82};
         o.decode.invalidUtf8 = InvalidUtf8Policy::Replace;
       },
       64, "A", idsOf("hoj\xE2\x82"), "hoj\xEF\xBF\xBD", StopReason::stop_id},
      // The token limit does not end the text: E2 82 stay pending.
      {"token limit", [](GenerationOptions& o) { o.max_new_tokens = 5; }, 64, "A",
       idsOf("hoj\xE2\x82"), "hoj", StopReason::token_limit},
      {"no new tokens",
       [](GenerationOptions& o) { o.max_new_tokens = 0; },
       64,
       "A",
       {},
       "",
       StopReason::token_limit},
      {"context limit", {}, 6, "A", idsOf("hoj\xE2\x82"), "hoj\xE2\x82", StopReason::context_limit},
      {"prompt fills the context", {}, 6, "Ahoj\xE2\x82", {}, "", StopReason::context_limit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Chain chain(c.context);
    GenerationOptions options;
    if (c.set) c.set(options);
    InferenceSession session(chain.model, 1);
    const GenerationResult result = generate(session, *chain.byte, c.prompt, options);
    EXPECT_EQ(result.ids, c.ids);
    EXPECT_EQ(result.text, c.text);
    EXPECT_EQ(result.stop_reason, c.reason);
    Ids all = idsOf(c.prompt);
    all.insert(all.end(), c.ids.begin(), c.ids.end());
    EXPECT_EQ(session.input_tokens(), all);
  }

  // The callback's stop.
  const Chain chain;
  InferenceSession session(chain.model, 1);
  Recording heard;
  const GenerationResult result = generate(session, *chain.byte, "A", {}, heard.callback(1));
  EXPECT_EQ(result.ids, idsOf("ho"));
  EXPECT_EQ(result.stop_reason, StopReason::callback);
  EXPECT_EQ(heard.ids, result.ids);
}

TEST(Generate, StreamsEachIdsTextAsTheTokenizerDecodes) {
  const Chain chain;
  InferenceSession session(chain.model, 1);
  Recording heard;
  const GenerationResult result = generate(session, *chain.byte, "A", {}, heard.callback());
  // The euro sign comes with its last byte; EOS adds nothing.
  EXPECT_EQ(heard.chunks,
            (std::vector<std::string>{"h", "o", "j", "", "", "\xE2\x82\xAC", "\n", ""}));
  EXPECT_EQ(heard.indices, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6, 7}));

  // Chat over BPE: a role id drains the piece before it as final.
  const auto chat = std::make_shared<const ChatTokenizer>(splittingBpe());
  const TokenizerDescriptor d = chat->descriptor();
  const Ids cycle = {'A', 256, d.userId, 0xAC, 257, 258, d.assistantId};
  const ModelPtr model = successor_model(
      d.vocabularySize, chain_successors(d.vocabularySize, cycle), 10.0, 0.005, 64, d.hash);
  InferenceSession chatSession(model, 1);
  GenerationOptions options;
  options.max_new_tokens = 6;
  options.decode.invalidUtf8 = InvalidUtf8Policy::Replace;
  Recording chatHeard;
  const GenerationResult chatResult =
      generate(chatSession, *chat, std::span<const std::uint32_t>(cycle).first(1), options,
               chatHeard.callback());
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(chatHeard.chunks,
            (std::vector<std::string>{"", fffd, fffd, "", "\xF0\x9F\xA7\xA0", ""}));
  EXPECT_EQ(chatResult.text, chat->decode(chatResult.ids, options.decode));
  EXPECT_EQ(chatResult.stop_reason, StopReason::token_limit);
}

TEST(Generate, IdsOnlyOverAnUnboundModelAndClearsAStaleTextState) {
  Ids chain = idsOf("Ahoj");
  chain.push_back(257);
  chain.push_back('Z');
  const ModelPtr unbound =
      successor_model(258, chain_successors(258, chain), 10.0, 0.005, 64, std::nullopt);
  InferenceSession session(unbound, 1);
  GenerationOptions options;
  options.max_new_tokens = 5;
  const GenerationResult result = generate(session, idsOf("A"), options);
  // Without a tokenizer there is no end of sequence and no text.
  EXPECT_EQ(result.ids, idsOf("hoj") + Ids({257, 'Z'}));
  EXPECT_EQ(result.text, "");
  EXPECT_EQ(result.stop_reason, StopReason::token_limit);
  options.stop_ids = {'o'};
  EXPECT_EQ(generate(session, idsOf("A"), options).ids, idsOf("ho"));

  // A text stream has no place on an unbound model; over a bound one, ids
  // generated without the tokenizer drop the stream's state.
  const Chain bound;
  InferenceSession text(bound.model, 1);
  options = {};
  options.max_new_tokens = 5;
  (void)generate(text, *bound.byte, "A", options);  // ... E2 82 pending
  ASSERT_EQ(text.tokenizer_state().size(), 18u);
  options.max_new_tokens = 1;
  EXPECT_EQ(continue_generation(text, options).ids, Ids{0xAC});
  EXPECT_TRUE(text.tokenizer_state().empty());
}

TEST(Generate, ContinuingKeepsTheStreamAndANewPromptStartsAFreshOne) {
  const Chain chain;
  InferenceSession session(chain.model, 1);
  GenerationOptions options;
  options.max_new_tokens = 4;
  EXPECT_EQ(generate(session, *chain.byte, "A", options).text, "hoj");  // E2 pending
  // Continued: the pending lead byte joins the next ids.
  options.max_new_tokens = 2;
  EXPECT_EQ(continue_generation(session, *chain.byte, options).text, "\xE2\x82\xAC");
  // A new prompt begins a new text: the pending bytes of the last run go.
  options.max_new_tokens = 1;
  EXPECT_EQ(generate(session, *chain.byte, "j", options).text, "");
  EXPECT_EQ(generate(session, *chain.byte, "A", options).text, "h");
}

// ---------------------------------------------------------------------------
// Refusals and failures

template <typename Exception>
void expectThrowsUnchanged(InferenceSession& session, const std::function<void()>& action,
                           const std::string& message) {
  const Snapshot before(session);
  try {
    action();
    ADD_FAILURE() << "expected \"" << message << "\"";
  } catch (const Exception& error) {
    EXPECT_EQ(error.what(), message);
  }
  EXPECT_TRUE(Snapshot(session) == before) << message;
}

TEST(Generate, RefusesBeforeChangingAnything) {
  const Chain chain;
  InferenceSession session(chain.model, 1);
  GenerationOptions good;
  good.max_new_tokens = 4;
  (void)generate(session, *chain.byte, "A", good);  // E2 pending, 5 positions
  ASSERT_EQ(session.position(), 5u);

  const auto invalid = [&](const std::function<void()>& action, const std::string& message) {
    SCOPED_TRACE(message);
    expectThrowsUnchanged<std::invalid_argument>(session, action, message);
  };
  const auto tokenizerError = [&](const std::function<void()>& action, const std::string& message) {
    SCOPED_TRACE(message);
    expectThrowsUnchanged<TokenizerError>(session, action, message);
  };
  GenerationOptions o = good;
  o.sampler.temperature = 0.0;
  invalid([&] { (void)generate(session, *chain.byte, "A", o); },
          "sampler temperature must be positive and finite");
  o = good;
  o.stop_ids = {1, 258};
  invalid([&] { (void)generate(session, *chain.byte, "A", o); },
          "generation stop id exceeds vocabulary");
  const ChatTokenizer chat(chain.byte);
  tokenizerError([&] { (void)generate(session, chat, "A", good); },
                 "tokenizer vocabulary does not match model");
  o = good;
  o.decode.invalidUtf8 = static_cast<InvalidUtf8Policy>(7);
  tokenizerError([&] { (void)generate(session, *chain.byte, "A", o); },
                 "unknown invalid UTF-8 policy");
  o = good;
  o.encode.invalidUtf8 = InvalidUtf8Policy::Reject;
  tokenizerError([&] { (void)generate(session, *chain.byte, "\xFF", o); },
                 "invalid or incomplete UTF-8 sequence");
  o = good;
  o.decode.skipSpecialTokens = false;
  invalid([&] { (void)continue_generation(session, *chain.byte, o); },
          "generation decode options differ from the session's text stream");
  invalid([&] { (void)generate(session, *chain.byte, std::string(60, 'A'), good); },
          "session step exceeds the context");
  expectThrowsUnchanged<std::out_of_range>(
      session,
      [&] {
        (void)generate(session, Ids{1, 258}, good);
      },
      "token id exceeds vocabulary");

  // A damaged text state is refused when continuing.
  ByteBuffer damaged = session.tokenizer_state();
  damaged[9] ^= 1;
  InferenceSession other(chain.model, 1);
  SessionFile file = sessionFile(*chain.model, session.input_tokens(), damaged);
  other.restore(file.bytes(), ArtifactLimits{});
  expectThrowsUnchanged<TokenizerError>(
      other, [&] { (void)continue_generation(other, *chain.byte, good); },
      "byte-decoder state checksum mismatch");
  // A file whose position disagrees with its tokens: the session's own check.
  SessionFile mismatched = sessionFile(*chain.model, {}, {});
  mismatched.position = 2;
  other.restore(mismatched.bytes(), ArtifactLimits{});
  expectThrowsUnchanged<std::invalid_argument>(
      other, [&] { (void)continue_generation(other, *chain.byte, good); },
      "session position does not match its input tokens");

  InferenceSession empty(chain.model, 1);
  expectThrowsUnchanged<std::invalid_argument>(
      empty, [&] { (void)continue_generation(empty, *chain.byte, good); },
      "generation has no prompt and nothing to continue");
  expectThrowsUnchanged<std::invalid_argument>(
      empty, [&] { (void)generate(empty, *chain.byte, "", good); },
      "generation has no prompt and nothing to continue");
}

TEST(Generate, AFailingStepLeavesTheSessionAsItWasBeforeThatStep) {
  struct Case {
    const char* name;
    std::function<void(GenerationOptions&)> set;
    std::size_t last_good;  // new ids before the failing step
    TokenizerErrorCode code;
  };
  const std::vector<Case> cases = {
      // The end-of-sequence id without skipSpecialTokens: its text fails.
      {"special id", [](GenerationOptions& o) { o.decode.skipSpecialTokens = false; }, 7,
       TokenizerErrorCode::SpecialTokenNotAllowed},
      // Reject sees the unfinished euro sign when the stop id ends the text.
      {"bad UTF-8",
       [](GenerationOptions& o) {
         o.decode.invalidUtf8 = InvalidUtf8Policy::Reject;
         o.stop_ids = {0x82};
       },
       4, TokenizerErrorCode::InvalidUtf8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Chain chain;
    InferenceSession session(chain.model, 1);
    GenerationOptions options;
    c.set(options);
    std::optional<Snapshot> lastHeard;
    std::size_t heard = 0;
    try {
      (void)generate(session, *chain.byte, "A", options, [&](const GeneratedToken& token) {
        lastHeard.emplace(token.session);
        ++heard;
        return GenerationControl::proceed;
      });
      ADD_FAILURE() << "no failure";
    } catch (const TokenizerError& error) {
      EXPECT_EQ(error.code(), c.code);
    }
    EXPECT_EQ(heard, c.last_good);
    ASSERT_TRUE(lastHeard);
    EXPECT_TRUE(Snapshot(session) == *lastHeard);
  }

  // A callback that throws: its exception comes out, and the session keeps
  // the step it was told about.
  const Chain chain;
  InferenceSession session(chain.model, 1);
  std::optional<Snapshot> told;
  EXPECT_THROW((void)generate(session, *chain.byte, "A", {},
                              [&](const GeneratedToken& token) -> GenerationControl {
                                if (token.index < 2) return GenerationControl::proceed;
                                told.emplace(token.session);
                                throw std::runtime_error("callback failed");
                              }),
               std::runtime_error);
  ASSERT_TRUE(told);
  EXPECT_TRUE(Snapshot(session) == *told);
  EXPECT_EQ(session.input_tokens(), idsOf("Ahoj"));
}

TEST(Generate, SessionsForGenerationRefuseSeedZero) {
  const Chain chain;
  try {
    (void)make_generation_session(chain.model, 0);
    ADD_FAILURE() << "seed 0 accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "generation seed must not be 0");
  }
  EXPECT_EQ(make_generation_session(chain.model, 5).setting(), 5u);
  EXPECT_THROW((void)make_generation_session(nullptr, 5), std::invalid_argument);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
