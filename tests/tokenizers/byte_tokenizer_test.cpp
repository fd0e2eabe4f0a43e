#include "lumeth/tokenizers/byte_tokenizer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "tests/tokenizers/tokenizer_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

// toHex16(fnv1a64) of the 110-byte canonical description, worked out
// independently of the library.
constexpr const char* kByteTokenizerHash = "a84bb3acdd95c5dc";
constexpr std::uint64_t kDescriptionChecksum = 0xa84bb3acdd95c5dcULL;
constexpr std::uint64_t kOneMiB = 0x100000;

TEST(ByteTokenizer, DescriptorIsFixedAndSharedByEveryInstance) {
  const ByteTokenizer tokenizer;
  const TokenizerDescriptor d = tokenizer.descriptor();
  EXPECT_EQ(d.kind, "byte");
  EXPECT_EQ(d.version, 1u);
  EXPECT_EQ(d.vocabularySize, 258u);
  EXPECT_EQ(d.bosId, 256u);
  EXPECT_EQ(d.eosId, 257u);
  EXPECT_EQ(d.hash, kByteTokenizerHash);
  EXPECT_EQ(d.userId, 0xFFFFFFFFu);
  EXPECT_EQ(d.assistantId, 0xFFFFFFFFu);
  EXPECT_EQ(kByteTokenizerDescription.size(), 110u);

  const ByteTokenizer other;
  EXPECT_EQ(other.descriptor(), d);
  EXPECT_EQ(other.artifact(), tokenizer.artifact());
}

TEST(ByteTokenizer, StaysCompleteAfterBeingMovedFrom) {
  ByteTokenizer constructed;
  const ByteTokenizer target(std::move(constructed));
  ByteTokenizer assigned;
  ByteTokenizer source;
  assigned = std::move(source);
  // Moving copies: both moved-from tokenizers still work like a new one.
  const ByteTokenizer fresh;
  for (const ByteTokenizer* moved : {&constructed, &source}) {
    EXPECT_EQ(moved->descriptor(), fresh.descriptor());
    EXPECT_EQ(moved->artifact(), fresh.artifact());
    EXPECT_EQ(moved->encode("Ahoj", {.addBos = true}).ids,
              (std::vector<std::uint32_t>{256, 65, 104, 111, 106}));
    EXPECT_EQ(moved->encode("Ahoj", {}).tokenizerHash, kByteTokenizerHash);
    EXPECT_EQ(moved->decode(idsOf("Ahoj"), {}), "Ahoj");
  }
  EXPECT_EQ(target.descriptor(), fresh.descriptor());
  EXPECT_EQ(assigned.artifact(), fresh.artifact());
}

TEST(ByteTokenizer, EncodesEachByteAsItsOwnIdBetweenRequestedSpecials) {
  const ByteTokenizer tokenizer;
  const std::string bytes = allBytes();
  const EncodedText all = tokenizer.encode(bytes, {});
  EXPECT_EQ(all.ids, idsOf(bytes));
  EXPECT_EQ(all.tokenizerHash, kByteTokenizerHash);

  EXPECT_TRUE(tokenizer.encode("", {}).ids.empty());
  EXPECT_EQ(tokenizer.encode("Ahoj", {}).ids, (std::vector<std::uint32_t>{65, 104, 111, 106}));
  EXPECT_EQ(tokenizer.encode("A", {.addBos = true, .addEos = true}).ids,
            (std::vector<std::uint32_t>{256, 65, 257}));
  EXPECT_EQ(tokenizer.encode("A", {.addEos = true}).ids, (std::vector<std::uint32_t>{65, 257}));
  EXPECT_EQ(tokenizer.encode("", {.addBos = true}).ids, (std::vector<std::uint32_t>{256}));
}

TEST(ByteTokenizer, EncodeAppliesTheInvalidUtf8Policy) {
  const ByteTokenizer tokenizer;
  const std::string bad = "a\xC3\x28\xE2";
  EXPECT_EQ(tokenizer.encode(bad, {.invalidUtf8 = InvalidUtf8Policy::Replace}).ids,
            idsOf("a" + kFffd + "(" + kFffd));
  expectError([&] { (void)tokenizer.encode(bad, {.invalidUtf8 = InvalidUtf8Policy::Reject}); },
              TokenizerErrorCode::InvalidUtf8, "invalid or incomplete UTF-8 sequence");
  const std::string good = "Příliš žluťoučký kůň 🧠";
  EXPECT_EQ(tokenizer.encode(good, {.invalidUtf8 = InvalidUtf8Policy::Reject}).ids, idsOf(good));
  // A repaired text is valid UTF-8: it decodes to itself under every policy
  // and repairing it again changes nothing.
  const std::vector<std::uint32_t> repaired =
      tokenizer.encode("\xC3\x28", {.invalidUtf8 = InvalidUtf8Policy::Replace}).ids;
  for (const InvalidUtf8Policy policy :
       {InvalidUtf8Policy::PreserveBytes, InvalidUtf8Policy::Reject, InvalidUtf8Policy::Replace}) {
    EXPECT_EQ(tokenizer.decode(repaired, {.invalidUtf8 = policy}), kFffd + "(");
  }
  EXPECT_EQ(tokenizer.encode(kFffd + "(", {.invalidUtf8 = InvalidUtf8Policy::Replace}).ids,
            repaired);
}

TEST(ByteTokenizer, EncodeChecksNormalizationThenPolicyBeforeLookingAtTheText) {
  const ByteTokenizer tokenizer;
  const std::string normalization = "byte tokenizer supports only normalization=none";
  const std::string policy = "unknown invalid UTF-8 policy";
  struct Case {
    std::uint8_t normalization;
    std::uint8_t policy;
    std::string message;
  };
  const std::vector<Case> cases = {
      {1, 1, normalization},  // before Reject could look at the bytes
      {1, 3, normalization},  // before the policy value
      {255, 255, normalization},
      {0, 3, policy},  // an unknown policy is never read as PreserveBytes
      {0, 7, policy},
      {0, 255, policy},
  };
  for (const std::string_view text : {std::string_view(""), std::string_view("a\xC3\x28\xE2")}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "normalization " << int{c.normalization} << " policy "
                                      << int{c.policy} << " text size " << text.size());
      expectError(
          [&] {
            (void)tokenizer.encode(text,
                                   {.addBos = true,
                                    .normalization = static_cast<Normalization>(c.normalization),
                                    .invalidUtf8 = static_cast<InvalidUtf8Policy>(c.policy)});
          },
          TokenizerErrorCode::UnsupportedOption, c.message);
    }
  }
}

TEST(ByteTokenizer, DecodeRoundTripsAnyBytesUnderPreserveBytes) {
  const ByteTokenizer tokenizer;
  const std::string bytes = allBytes();
  EXPECT_EQ(tokenizer.decode(idsOf(bytes), {}), bytes);
  EXPECT_EQ(tokenizer.decode({}, {}), "");
  const std::string corpus = "Příliš žluťoučký kůň 🧠";
  EXPECT_EQ(corpus.size(), 34u);
  EXPECT_EQ(tokenizer.decode(tokenizer.encode(corpus, {}).ids, {}), corpus);
  // The lone bytes 128..255 are what only PreserveBytes keeps.
  EXPECT_NE(tokenizer.decode(idsOf(bytes), {.invalidUtf8 = InvalidUtf8Policy::Replace}), bytes);
  EXPECT_EQ(tokenizer.decode(idsOf("ok\xE2\x82"), {.invalidUtf8 = InvalidUtf8Policy::Replace}),
            "ok" + kFffd);
}

TEST(ByteTokenizer, DecodeErrorsAreDecidedByTheFirstOffendingId) {
  const ByteTokenizer tokenizer;
  struct Case {
    std::vector<std::uint32_t> ids;
    DecodeOptions options;
    TokenizerErrorCode code;
    std::string message;
  };
  const std::string special = "special token requires skipSpecialTokens=true";
  const std::string outside = "token id is outside byte-tokenizer vocabulary";
  const std::string policy = "unknown invalid UTF-8 policy";
  const auto unknown = static_cast<InvalidUtf8Policy>(3);
  const std::vector<Case> cases = {
      {{256, 65, 257}, {}, TokenizerErrorCode::SpecialTokenNotAllowed, special},
      {{999}, {}, TokenizerErrorCode::TokenIdOutOfRange, outside},
      {{258}, {.skipSpecialTokens = true}, TokenizerErrorCode::TokenIdOutOfRange, outside},
      {{65, 257, 999}, {}, TokenizerErrorCode::SpecialTokenNotAllowed, special},
      {{65, 999, 257}, {}, TokenizerErrorCode::TokenIdOutOfRange, outside},
      {{0xFF, 999},
       {.invalidUtf8 = InvalidUtf8Policy::Reject},
       TokenizerErrorCode::TokenIdOutOfRange,
       outside},
      {{65, 0xE2},
       {.invalidUtf8 = InvalidUtf8Policy::Reject},
       TokenizerErrorCode::InvalidUtf8,
       "invalid or incomplete UTF-8 sequence"},
      // The policy is checked before any id is read, even with no ids at all.
      {{}, {.invalidUtf8 = unknown}, TokenizerErrorCode::UnsupportedOption, policy},
      {{999, 256}, {.invalidUtf8 = unknown}, TokenizerErrorCode::UnsupportedOption, policy},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.ids));
    expectError([&] { (void)tokenizer.decode(c.ids, c.options); }, c.code, c.message);
  }
  EXPECT_EQ(tokenizer.decode(std::vector<std::uint32_t>{256, 65, 257}, {.skipSpecialTokens = true}),
            "A");
}

TEST(ByteTokenizerArtifact, HasItsExactLayout) {
  ByteBuffer expected = {'L',  'U',  'M',  'E', 'B', 'T', 'K', '1',  // magic
                         0x01, 0x00,                                 // version 1
                         0x45, 0x4C,                                 // "EL"
                         110,  0x00, 0x00, 0x00};                    // payload length
  appendU64(expected, kDescriptionChecksum);
  appendBytes(expected, kByteTokenizerDescription);
  ASSERT_EQ(expected.size(), 134u);
  EXPECT_EQ(serializeByteTokenizerArtifact(), expected);
  EXPECT_EQ(serializeByteTokenizerArtifact(), expected);
  EXPECT_EQ(ByteTokenizer().artifact(), expected);
}

TEST(ByteTokenizerArtifact, LoadsBackTheSameTokenizer) {
  const ByteTokenizer original;
  for (const std::uint64_t limit : {kOneMiB, std::uint64_t{134}}) {
    const ByteTokenizer loaded = loadByteTokenizerArtifact(original.artifact(), limit);
    EXPECT_EQ(loaded.descriptor(), original.descriptor());
    EXPECT_EQ(loaded.artifact(), original.artifact());
    EXPECT_EQ(loaded.decode(loaded.encode("Ahoj", {}).ids, {}), "Ahoj");
  }
}

// Each row makes one targeted edit to a valid artifact (or to the limit) and
// names the message that must win; rows with two faults pin the check order.
TEST(ByteTokenizerArtifact, RefusesDamagedInputWithTheFirstFailedCheck) {
  const ByteBuffer valid = serializeByteTokenizerArtifact();
  struct Case {
    std::string name;
    std::function<void(ByteBuffer&)> edit;
    std::uint64_t limit;
    std::string message;
  };
  const auto setU16 = [](ByteBuffer& bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
  };
  const auto setU32 = [](ByteBuffer& bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
      bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  };
  const auto setU64 = [](ByteBuffer& bytes, std::size_t offset, std::uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i) {
      bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  };
  const auto truncate = [](std::size_t size) {
    return [size](ByteBuffer& bytes) { bytes.resize(size); };
  };
  const auto none = [](ByteBuffer&) {};
  const std::string limit = "tokenizer artifact exceeds size limit";
  const std::string magic = "tokenizer artifact magic mismatch";
  const std::string version = "unknown tokenizer artifact version";
  const std::string endian = "tokenizer artifact endian mismatch";
  const std::string length = "tokenizer artifact length mismatch";
  const std::string semantics = "tokenizer artifact hash or semantics mismatch";
  const std::vector<Case> cases = {
      {"limit 8", none, 8, limit},
      {"limit one below the size", none, 133, limit},
      {"limit before magic", [](ByteBuffer& b) { b[0] = 'X'; }, 8, limit},
      {"empty", truncate(0), kOneMiB, magic},
      {"first 10 bytes", truncate(10), kOneMiB, magic},
      {"one byte short of the header", truncate(23), kOneMiB, magic},
      {"magic", [](ByteBuffer& b) { b[7] = '2'; }, kOneMiB, magic},
      {"version 2", [&](ByteBuffer& b) { setU16(b, 8, 2); }, kOneMiB, version},
      {"version before length",
       [&](ByteBuffer& b) {
         setU16(b, 8, 2);
         b.push_back(0);
       },
       kOneMiB, version},
      {"other byte order", [&](ByteBuffer& b) { setU16(b, 10, 0x454C); }, kOneMiB, endian},
      {"endian before length",
       [&](ByteBuffer& b) {
         setU16(b, 10, 0x454C);
         setU32(b, 12, 0);
       },
       kOneMiB, endian},
      {"length 111", [&](ByteBuffer& b) { setU32(b, 12, 111); }, kOneMiB, length},
      {"length 0xFFFFFFFF", [&](ByteBuffer& b) { setU32(b, 12, 0xFFFFFFFF); }, kOneMiB, length},
      {"header only", truncate(24), kOneMiB, length},
      {"payload cut short", truncate(133), kOneMiB, length},
      {"trailing byte", [](ByteBuffer& b) { b.push_back(0); }, kOneMiB, length},
      {"trailing byte counted in the length",
       [&](ByteBuffer& b) {
         b.push_back(0);
         setU32(b, 12, 111);
       },
       kOneMiB, semantics},
      {"last payload byte", [](ByteBuffer& b) { b.back() ^= 0x01; }, kOneMiB, semantics},
      {"checksum", [](ByteBuffer& b) { b[16] ^= 0x01; }, kOneMiB, semantics},
      {"other semantics with a matching checksum",
       [&](ByteBuffer& b) {
         b[24 + 38] = '9';  // vocabulary=259
         setU64(b, 16, fnv1a64(std::span<const std::uint8_t>(b).subspan(24)));
       },
       kOneMiB, semantics},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer input = valid;
    c.edit(input);
    const ByteBuffer before = input;
    expectError([&] { (void)loadByteTokenizerArtifact(input, c.limit); },
                TokenizerErrorCode::InvalidFormat, c.message);
    EXPECT_EQ(input, before);
  }
}

TEST(ByteTokenizerArtifact, AnyChangedByteOrCutIsRefused) {
  const ByteBuffer valid = serializeByteTokenizerArtifact();
  for (std::size_t offset = 0; offset < valid.size(); ++offset) {
    ByteBuffer damaged = valid;
    damaged[offset] ^= 0x20;
    EXPECT_THROW((void)loadByteTokenizerArtifact(damaged, kOneMiB), TokenizerError)
        << "offset " << offset;
  }
  for (std::size_t size = 0; size < valid.size(); ++size) {
    EXPECT_THROW((void)loadByteTokenizerArtifact(std::span(valid).first(size), kOneMiB),
                 TokenizerError)
        << "size " << size;
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
