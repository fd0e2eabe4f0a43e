#include "lumeth/session/inference_session.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "conformance/fixture.hpp"
#include "lumeth/artifact/container.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/decoder_state.hpp"
#include "tests/session/session_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Conformance::make_bound_test_model;
using Conformance::make_test_spec;
using Conformance::make_test_weights;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Testing::SessionFile;
using Testing::sessionFile;
using Testing::Snapshot;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

using ModelPtr = std::shared_ptr<const TransformerModel>;

constexpr double kInf = std::numeric_limits<double>::infinity();

// The 17-byte state of a stream that has seen the first byte (E2) of the euro
// sign under policy Reject.
ByteBuffer pendingEuroState() {
  DecoderState state(
      DecodeOptions{.skipSpecialTokens = false, .invalidUtf8 = InvalidUtf8Policy::Reject});
  const std::vector<std::uint32_t> lead{226};
  (void)decodeChunk(state, lead, false);
  return serializeDecoderState(state);
}

struct Models {
  ModelPtr bound = make_bound_test_model(ByteTokenizer{});
  ModelPtr unbound = make_model(make_test_spec(258), make_test_weights(258));
  // Same spec and binding as `bound`, one weight different.
  ModelPtr otherWeights = [] {
    TransformerWeights weights = make_test_weights(258);
    weights.final_norm.data[1] = 0.5;
    return make_model(make_test_spec(258), std::move(weights), ByteTokenizer{}.descriptor().hash);
  }();
};

const Models& models() {
  static const Models instance;
  return instance;
}

// Input tokens, tokenizer state (when the model is bound) and two cache
// tensors of different shapes.
SessionFile fullFile(const TransformerModel& model) {
  const ByteBuffer state = model.tokenizerHash() ? pendingEuroState() : ByteBuffer{};
  SessionFile file = sessionFile(model, {65, 0, 257}, state);
  file.position = 3;
  file.setting = 7;
  file.counter = 42;
  file.addCache({2, 3}, {0.5, -1.25, 0.0, -0.0, 1e-310, 3.0e300});
  file.addCache({4}, {1.0, 2.0, 3.0, 4.0});
  return file;
}

// The bytes with the stored global checksum made right again.
ByteBuffer resealed(ByteBuffer bytes) {
  ByteBuffer checksum;
  appendU64(checksum, artifact_checksum(bytes));
  std::copy(checksum.begin(), checksum.end(), bytes.begin() + 32);
  return bytes;
}

std::string restoreFailure(InferenceSession& session, const ByteBuffer& file,
                           const ArtifactLimits& limits = {}) {
  try {
    session.restore(file, limits);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "(restored)";
}

// ---------------------------------------------------------------------------

TEST(InferenceSession, StartsEmptyAndNeverHoldsSettingZero) {
  const InferenceSession session(models().bound, 0);
  EXPECT_EQ(session.model(), models().bound);
  EXPECT_EQ(session.position(), 0u);
  EXPECT_EQ(session.setting(), 1u);
  EXPECT_EQ(session.counter(), 0u);
  EXPECT_THAT(session.input_tokens(), IsEmpty());
  EXPECT_THAT(session.tokenizer_state(), IsEmpty());
  EXPECT_THAT(session.cache(), IsEmpty());
  EXPECT_EQ(InferenceSession(models().bound, 5).setting(), 5u);
}

TEST(InferenceSession, RequiresAModel) {
  EXPECT_THAT([] { InferenceSession session(nullptr, 1); },
              ThrowsMessage<std::invalid_argument>(StrEq("session requires a model")));
}

TEST(InferenceSession, TokenizerStateNeedsABoundModelUnlessEmpty) {
  InferenceSession unbound(models().unbound, 1);
  EXPECT_THAT(
      [&] {
        unbound.set_tokenizer_state({1, 2, 3});
      },
      ThrowsMessage<std::invalid_argument>(
          StrEq("tokenizer state requires a tokenizer-bound model")));
  EXPECT_THAT(unbound.tokenizer_state(), IsEmpty());
  EXPECT_NO_THROW(unbound.set_tokenizer_state({}));

  InferenceSession bound(models().bound, 1);
  bound.set_tokenizer_state({1, 2, 3});
  EXPECT_THAT(bound.tokenizer_state(), ElementsAre(1, 2, 3));
  bound.set_tokenizer_state({});
  EXPECT_THAT(bound.tokenizer_state(), IsEmpty());
}

TEST(SessionFile, PendingDecoderStateSurvivesSaveAndRestore) {
  const ByteBuffer state = pendingEuroState();
  ASSERT_EQ(state.size(), 17u);
  InferenceSession first(models().bound, 1);
  first.set_tokenizer_state(state);
  const ByteBuffer file = first.save();

  // The file's table as written by save().
  const ArtifactLimits limits;
  const ContainerInfo info = read_container_header(file, "LUMECTS1", limits);
  ByteCursor cursor = manifest_cursor(file, info);
  std::uint64_t specHash = 0;
  std::optional<std::string> binding;
  const std::vector<TensorEntry> rows = read_manifest(cursor, limits, specHash, binding);
  EXPECT_EQ(specHash, spec_hash(make_test_spec(258)));
  EXPECT_EQ(binding, models().bound->tokenizerHash());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0],
            (TensorEntry{"input_tokens", ArtifactDType::UInt32, {0}, 0, 0, kFnv1a64OffsetBasis}));
  EXPECT_EQ(rows[1],
            (TensorEntry{"tokenizer_state", ArtifactDType::UInt8, {17}, 0, 17, fnv1a64(state)}));
  EXPECT_EQ(cursor.remaining(), 8u * 7 + 4) << "the session fields end the manifest";

  InferenceSession second(models().bound, 1);
  second.restore(file, limits);
  EXPECT_EQ(second.tokenizer_state(), state);

  DecoderState resumed;
  parseDecoderState(resumed, second.tokenizer_state());
  const std::vector<std::uint32_t> rest{130, 172};
  EXPECT_EQ(decodeChunk(resumed, rest, true), "\xE2\x82\xAC");
}

TEST(SessionFile, RestoresEveryMemberAndSavesTheSameBytes) {
  const ByteBuffer file = fullFile(*models().bound).bytes();
  InferenceSession session(models().bound, 1);
  session.restore(file, ArtifactLimits{});

  EXPECT_EQ(session.position(), 3u);
  EXPECT_EQ(session.setting(), 7u);
  EXPECT_EQ(session.counter(), 42u);
  EXPECT_THAT(session.input_tokens(), ElementsAre(65u, 0u, 257u));
  EXPECT_EQ(session.tokenizer_state(), pendingEuroState());
  ASSERT_EQ(session.cache().size(), 2u);
  EXPECT_THAT(session.cache()[0].shape, ElementsAre(2u, 3u));
  EXPECT_THAT(session.cache()[1].shape, ElementsAre(4u));
  EXPECT_THAT(session.cache()[1].data, ElementsAre(1.0, 2.0, 3.0, 4.0));
  // Bit for bit, negative zero and subnormals included.
  const std::vector<double> first{0.5, -1.25, 0.0, -0.0, 1e-310, 3.0e300};
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(session.cache()[0].data[i]),
              std::bit_cast<std::uint64_t>(first[i]));
  }
  EXPECT_TRUE(session.cache()[0].full_precision);

  EXPECT_EQ(session.save(), file) << "save writes the layout the file was built with";
}

TEST(SessionFile, UnboundModelRoundTripsWithoutTokenizerState) {
  const ByteBuffer file = fullFile(*models().unbound).bytes();
  InferenceSession session(models().unbound, 1);
  session.restore(file, ArtifactLimits{});
  EXPECT_THAT(session.tokenizer_state(), IsEmpty());
  EXPECT_EQ(session.cache().size(), 2u);
  EXPECT_EQ(session.save(), file);
}

TEST(SessionFile, StoredSettingZeroRestoresAsOne) {
  SessionFile file = fullFile(*models().bound);
  file.setting = 0;
  InferenceSession session(models().bound, 9);
  session.restore(file.bytes(), ArtifactLimits{});
  EXPECT_EQ(session.setting(), 1u);
}

TEST(SessionFile, AcceptsPositionTokensAndIdsAtTheirUpperBounds) {
  // position and token count equal to the context, the largest token id.
  std::vector<std::uint32_t> tokens(512, 257);
  SessionFile file = sessionFile(*models().bound, tokens, {});
  file.position = 512;
  InferenceSession session(models().bound, 1);
  session.restore(file.bytes(), ArtifactLimits{});
  EXPECT_EQ(session.position(), 512u);
  EXPECT_EQ(session.input_tokens(), tokens);
}

TEST(SessionFile, MovedFromSessionKeepsItsModel) {
  InferenceSession source(models().bound, 1);
  source.restore(fullFile(*models().bound).bytes(), ArtifactLimits{});
  const InferenceSession moved(std::move(source));
  EXPECT_EQ(moved.input_tokens().size(), 3u);
  EXPECT_EQ(source.model(), models().bound);  // deliberately read after the move
}

// Assigning one session to another would move it onto another model.
static_assert(!std::is_copy_assignable_v<InferenceSession>);
static_assert(!std::is_move_assignable_v<InferenceSession>);

// ---------------------------------------------------------------------------
// Corruption table: each row makes one targeted edit to a valid file (the
// global checksum is recomputed by the writer, or by resealed() for raw
// edits) and names the message that must win. The target session is filled
// with other content first and must come out unchanged.

enum class Target { Bound, Unbound };

struct Corruption {
  const char* name;
  Target target;
  std::function<ByteBuffer()> file;
  const char* message;
  std::function<void(ArtifactLimits&)> limits = {};
};

const TransformerModel& targetModel(Target target) {
  return target == Target::Bound ? *models().bound : *models().unbound;
}

// fullFile of the target's model with one edit.
std::function<ByteBuffer()> edited(Target target, std::function<void(SessionFile&)> edit) {
  return [target, edit] {
    SessionFile file = fullFile(targetModel(target));
    edit(file);
    return file.bytes();
  };
}

std::vector<Corruption> corruptions() {
  const Target B = Target::Bound;
  const Target U = Target::Unbound;
  const auto savedBy = [](ModelPtr model, ByteBuffer state) {
    return [model, state] {
      InferenceSession session(model, 1);
      session.set_tokenizer_state(state);
      return session.save();
    };
  };
  return {
      // The container itself.
      {"truncated by one byte", B,
       [] {
         ByteBuffer bytes = fullFile(*models().bound).bytes();
         bytes.pop_back();
         return bytes;
       },
       "artifact lengths do not match file"},
      {"shorter than a header", B,
       [] {
         ByteBuffer bytes = fullFile(*models().bound).bytes();
         bytes.resize(39);
         return bytes;
       },
       "truncated artifact header"},
      {"model artifact magic", B, [] { return models().bound->artifact(); },
       "artifact magic mismatch"},
      {"wrong magic", B, edited(B, [](SessionFile& f) { f.magic = "LUMECTS2"; }),
       "artifact magic mismatch"},
      {"payload byte flipped", B,
       [] {
         ByteBuffer bytes = fullFile(*models().bound).bytes();
         bytes.back() ^= 0x01;
         return bytes;
       },
       "artifact global checksum mismatch"},
      {"file above the size limit", B, [] { return fullFile(*models().bound).bytes(); },
       "artifact exceeds file size limit",
       [](ArtifactLimits& l) { l.max_file_bytes = fullFile(*models().bound).bytes().size() - 1; }},
      {"manifest without the cache count", B,
       [] {
         // The manifest loses its last four bytes, the payload is intact.
         const SessionFile file = fullFile(*models().bound);
         ByteBuffer manifest;
         write_manifest(manifest, file.rows, file.specHash, file.binding);
         for (const std::uint64_t field :
              {file.identity, file.numericPolicy, file.position, file.setting, file.counter,
               file.inputCount, file.stateSize}) {
           appendU64(manifest, field);
         }
         return write_container("LUMECTS1", manifest, file.payload);
       },
       "truncated transformer artifact"},
      {"binding flag 2", B,
       [] {
         ByteBuffer bytes = fullFile(*models().bound).bytes();
         bytes[40 + 8] = 2;
         return resealed(std::move(bytes));
       },
       "invalid tokenizer binding flag"},
      // The session fields, in check order.
      {"trailing manifest byte", B, edited(B, [](SessionFile& f) { f.manifestTail = {0}; }),
       "session manifest has trailing bytes"},
      {"spec hash", B, edited(B, [](SessionFile& f) { f.specHash ^= 1; }),
       "session model mismatch"},
      {"other weights, equal spec", B, savedBy(models().otherWeights, pendingEuroState()),
       "session model mismatch"},
      {"unbound twin of the bound model", B, savedBy(models().unbound, {}),
       "session model mismatch"},
      {"bound twin into the unbound model", U, savedBy(models().bound, {}),
       "session model mismatch"},
      {"binding dropped, identity kept", B, edited(B, [](SessionFile& f) { f.binding.reset(); }),
       "session tokenizer mismatch"},
      {"other binding text, identity kept", B,
       edited(B, [](SessionFile& f) { f.binding = "0000000000000000"; }),
       "session tokenizer mismatch"},
      {"binding added, identity kept", U,
       edited(U, [](SessionFile& f) { f.binding = ByteTokenizer{}.descriptor().hash; }),
       "session tokenizer mismatch"},
      {"numeric policy hash", B, edited(B, [](SessionFile& f) { f.numericPolicy ^= 1; }),
       "session numeric policy mismatch"},
      // The five limits.
      {"input tokens above max_input_tokens", B, edited(B, [](SessionFile&) {}),
       "session state exceeds configured limit", [](ArtifactLimits& l) { l.max_input_tokens = 2; }},
      {"input tokens above the context", B,
       [] { return sessionFile(*models().bound, std::vector<std::uint32_t>(513, 1), {}).bytes(); },
       "session state exceeds configured limit"},
      {"position above the context", B, edited(B, [](SessionFile& f) { f.position = 513; }),
       "session state exceeds configured limit"},
      {"tokenizer state above its limit", B, edited(B, [](SessionFile&) {}),
       "session state exceeds configured limit",
       [](ArtifactLimits& l) { l.max_tokenizer_state_bytes = 16; }},
      {"cache count above max_tensor_count", B, edited(B, [](SessionFile& f) { f.cacheCount = 5; }),
       "session state exceeds configured limit", [](ArtifactLimits& l) { l.max_tensor_count = 4; }},
      {"tokenizer state on an unbound model", U,
       [] { return sessionFile(*models().unbound, {1}, pendingEuroState()).bytes(); },
       "unbound session contains tokenizer state"},
      // The table.
      {"duplicated row name", B, edited(B, [](SessionFile& f) { f.rows[3].name = "kv.0"; }),
       "artifact tensor name is duplicated"},
      {"row beyond the payload", B, edited(B, [](SessionFile& f) { f.rows[3].offset += 1; }),
       "artifact tensor range exceeds payload"},
      {"cache count below the rows", B, edited(B, [](SessionFile& f) { f.cacheCount = 1; }),
       "session input manifest mismatch"},
      {"input row misnamed", B, edited(B, [](SessionFile& f) { f.rows[0].name = "input_token"; }),
       "session input manifest mismatch"},
      {"input row mistyped", B,
       [] {
         // An empty row, so that only the dtype is wrong.
         SessionFile file = sessionFile(*models().bound, {}, {});
         file.rows[0].dtype = ArtifactDType::UInt8;
         return file.bytes();
       },
       "session input manifest mismatch"},
      {"input row of rank 2", B,
       edited(B,
              [](SessionFile& f) {
                f.rows[0].shape = {1, 3};
              }),
       "session input manifest mismatch"},
      {"input count differs from its row", B, edited(B, [](SessionFile& f) { f.inputCount = 2; }),
       "session input manifest mismatch"},
      {"state row misnamed", B,
       edited(B, [](SessionFile& f) { f.rows[1].name = "tokenizer-state"; }),
       "session tokenizer state manifest mismatch"},
      {"state row mistyped", B,
       [] {
         SessionFile file = sessionFile(*models().bound, {1}, {});
         file.rows[1].dtype = ArtifactDType::Float64;
         return file.bytes();
       },
       "session tokenizer state manifest mismatch"},
      {"state size differs from its row", B, edited(B, [](SessionFile& f) { f.stateSize = 16; }),
       "session tokenizer state manifest mismatch"},
      // The rows' bytes.
      {"input checksum", B, edited(B, [](SessionFile& f) { f.rows[0].checksum ^= 1; }),
       "session input checksum mismatch"},
      {"token equal to the vocabulary", B,
       [] {
         return sessionFile(*models().bound, {1, 258, 2}, {}).bytes();
       },
       "session token exceeds vocabulary"},
      {"tokenizer state checksum", B, edited(B, [](SessionFile& f) { f.rows[1].checksum ^= 1; }),
       "session tokenizer state checksum mismatch"},
      {"cache row kv.1 in the first slot", B,
       edited(B,
              [](SessionFile& f) {
                f.rows[2].name = "kv.1";
                f.rows[3].name = "kv.0";
              }),
       "session cache identity mismatch"},
      {"cache row of dtype 3", B,
       [] {
         SessionFile file = sessionFile(*models().bound, {}, {});
         file.addRow("kv.0", ArtifactDType::UInt8, {3}, {1, 2, 3});
         file.cacheCount = 1;
         return file.bytes();
       },
       "session cache identity mismatch"},
      {"cache bytes above the limit", B, edited(B, [](SessionFile&) {}),
       "session cache exceeds limit", [](ArtifactLimits& l) { l.max_cache_bytes = 48 + 32 - 1; }},
      {"cache shape with a zero extent", B,
       [] {
         SessionFile file = sessionFile(*models().bound, {}, {});
         file.addCache({0, 4}, {});
         return file.bytes();
       },
       "tensor extent must be positive"},
      {"second cache checksum", B, edited(B, [](SessionFile& f) { f.rows[3].checksum ^= 1; }),
       "session cache checksum mismatch"},
      {"cache value encoding infinity", B,
       [] {
         SessionFile file = sessionFile(*models().bound, {}, {});
         file.addCache({2}, {1.0, kInf});
         return file.bytes();
       },
       "session cache contains NaN/Inf"},
      {"cache value encoding NaN", B,
       [] {
         SessionFile file = sessionFile(*models().bound, {}, {});
         file.addCache({1}, {0.0});
         file.addCache({3}, {1.0, std::numeric_limits<double>::quiet_NaN(), -kInf});
         return file.bytes();
       },
       "session cache contains NaN/Inf"},
      {"non-finite value in a row with a wrong checksum", B,
       [] {
         SessionFile file = sessionFile(*models().bound, {}, {});
         file.addCache({1}, {kInf});
         file.rows[2].checksum ^= 1;
         return file.bytes();
       },
       "session cache checksum mismatch"},
  };
}

// Content the target holds before each corrupt restore, unlike any file in
// the table.
InferenceSession filledSession(Target target) {
  const TransformerModel& model = targetModel(target);
  const ByteBuffer state = target == Target::Bound ? ByteBuffer{'x'} : ByteBuffer{};
  SessionFile file = sessionFile(model, {7, 8}, state);
  file.position = 2;
  file.setting = 3;
  file.counter = 11;
  file.addCache({1, 2}, {0.25, -0.75});
  InferenceSession session(target == Target::Bound ? models().bound : models().unbound, 1);
  session.restore(file.bytes(), ArtifactLimits{});
  return session;
}

TEST(SessionFile, EachCorruptionFailsWithItsMessageAndChangesNothing) {
  for (const Corruption& c : corruptions()) {
    SCOPED_TRACE(c.name);
    InferenceSession session = filledSession(c.target);
    const Snapshot before(session);
    ArtifactLimits limits;
    if (c.limits) c.limits(limits);
    EXPECT_EQ(restoreFailure(session, c.file(), limits), c.message);
    EXPECT_TRUE(Snapshot(session) == before) << "the failed restore changed the session";
  }
}

TEST(SessionFile, ADamagedGlobalChecksumOutranksEveryLaterCorruption) {
  // The table again, each file also carrying a wrong stored checksum: only
  // the header checks that precede the checksum may still win, whatever the
  // manifest, the table or the rows' bytes hold.
  const std::vector<std::string> beforeChecksum = {
      "artifact exceeds file size limit", "truncated artifact header", "artifact magic mismatch",
      "artifact lengths do not match file"};
  for (const Corruption& c : corruptions()) {
    SCOPED_TRACE(c.name);
    ByteBuffer file = c.file();
    if (file.size() > 32) file[32] ^= 0x01;
    InferenceSession session = filledSession(c.target);
    const Snapshot before(session);
    ArtifactLimits limits;
    if (c.limits) c.limits(limits);
    const bool headerFirst =
        std::find(beforeChecksum.begin(), beforeChecksum.end(), c.message) != beforeChecksum.end();
    EXPECT_EQ(restoreFailure(session, file, limits),
              headerFirst ? c.message : "artifact global checksum mismatch");
    EXPECT_TRUE(Snapshot(session) == before);
  }
}

TEST(SessionFile, ManyCacheTensorsRoundTripEachAgainstItsOwnChecksum) {
  // More rows than hash chains run side by side, of sizes that finish in
  // every order.
  SessionFile file = sessionFile(*models().bound, {1, 2, 3, 4, 5}, pendingEuroState());
  const std::vector<std::size_t> sizes = {700, 3, 1, 1200, 64, 5, 333};
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    std::vector<double> values(sizes[k]);
    for (std::size_t i = 0; i < values.size(); ++i) {
      values[i] = static_cast<double>(k) - 0.25 * static_cast<double>(i);
    }
    file.addCache({sizes[k]}, values);
  }
  InferenceSession session(models().bound, 1);
  session.restore(file.bytes(), ArtifactLimits{});
  ASSERT_EQ(session.cache().size(), sizes.size());
  EXPECT_EQ(session.cache()[3].data[1199], 3.0 - 0.25 * 1199);
  EXPECT_EQ(session.save(), file.bytes());

  for (std::size_t k = 0; k < sizes.size(); ++k) {
    SessionFile damaged = file;
    damaged.rows[2 + k].checksum ^= 1;
    InferenceSession target = filledSession(Target::Bound);
    EXPECT_EQ(restoreFailure(target, damaged.bytes()), "session cache checksum mismatch") << k;
  }
}

TEST(SessionFile, TheUneditedBaseOfEveryRowRestores) {
  // Guards the table: without its edit (and with default limits) each base
  // file is valid, so every failure above comes from the edit alone.
  for (const Target target : {Target::Bound, Target::Unbound}) {
    InferenceSession session(target == Target::Bound ? models().bound : models().unbound, 1);
    EXPECT_EQ(restoreFailure(session, fullFile(targetModel(target)).bytes()), "(restored)");
  }
  InferenceSession session(models().bound, 1);
  EXPECT_EQ(restoreFailure(session, sessionFile(*models().bound, {1, 257, 2}, {}).bytes()),
            "(restored)");
  SessionFile cache = sessionFile(*models().bound, {}, {});
  cache.addCache({3}, {1.0, std::numeric_limits<double>::max(), -0.0});
  EXPECT_EQ(restoreFailure(session, cache.bytes()), "(restored)");
  ArtifactLimits exact;
  exact.max_cache_bytes = 48 + 32;
  exact.max_tokenizer_state_bytes = 17;
  exact.max_input_tokens = 3;
  exact.max_tensor_count = 4;
  EXPECT_EQ(restoreFailure(session, fullFile(*models().bound).bytes(), exact), "(restored)");
}

TEST(SessionFile, EveryShortenedManifestFailsCleanly) {
  // The manifest cut at every length, each sealed into a well-formed
  // container: the reader must stop at the end of the manifest every time.
  const SessionFile full = fullFile(*models().bound);
  ByteBuffer manifest;
  write_manifest(manifest, full.rows, full.specHash, full.binding);
  for (const std::uint64_t field : {full.identity, full.numericPolicy, full.position, full.setting,
                                    full.counter, full.inputCount, full.stateSize}) {
    appendU64(manifest, field);
  }
  appendU32(manifest, full.cacheCount);

  InferenceSession session = filledSession(Target::Bound);
  const Snapshot before(session);
  for (std::size_t length = 0; length < manifest.size(); ++length) {
    const ByteBuffer file =
        write_container("LUMECTS1", std::span(manifest).first(length), full.payload);
    EXPECT_EQ(restoreFailure(session, file), "truncated transformer artifact") << length;
  }
  EXPECT_TRUE(Snapshot(session) == before);
}

TEST(SessionFile, EveryDamagedByteIsRefusedOrRestoredWhole) {
  // Each byte after the header inverted, the global checksum made right
  // again: restore either refuses with std::invalid_argument and changes
  // nothing, or succeeds (counters, token ids and values may legitimately
  // differ). Never anything else, and never a read outside the file.
  const ByteBuffer valid = fullFile(*models().bound).bytes();
  std::size_t refused = 0;
  for (std::size_t at = kContainerHeaderBytes; at < valid.size(); ++at) {
    ByteBuffer damaged = valid;
    damaged[at] ^= 0xFF;
    damaged = resealed(std::move(damaged));
    InferenceSession session = filledSession(Target::Bound);
    const Snapshot before(session);
    try {
      session.restore(damaged, ArtifactLimits{});
    } catch (const std::invalid_argument&) {
      ++refused;
      EXPECT_TRUE(Snapshot(session) == before) << at;
    }
  }
  EXPECT_GT(refused, 0u);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
