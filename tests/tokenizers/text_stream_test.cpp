#include "lumeth/tokenizers/text_stream.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/decoder_state.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "tests/tokenizers/tokenizer_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Ids = std::vector<std::uint32_t>;

constexpr InvalidUtf8Policy kPolicies[] = {InvalidUtf8Policy::PreserveBytes,
                                           InvalidUtf8Policy::Reject, InvalidUtf8Policy::Replace};

// Merges whose tokens end or start inside a UTF-8 character, so that
// characters are split across ids: 256 = E2 82 (the euro sign without its
// last byte), 257 = AC a, 258 = a C3, 259 = 256 AC (the whole euro sign),
// 260 = F0 9F, 261 = A7 A0 (the halves of U+1F9E0).
std::shared_ptr<const SubwordTokenizer> splittingBpe() {
  return std::make_shared<const SubwordTokenizer>(std::vector<BpeMerge>{
      {0xE2, 0x82, "\xE2\x82"},
      {0xAC, 'a',
       "\xAC"
       "a"},
      {'a', 0xC3, "a\xC3"},
      {256, 0xAC, "\xE2\x82\xAC"},
      {0xF0, 0x9F, "\xF0\x9F"},
      {0xA7, 0xA0, "\xA7\xA0"},
  });
}

struct Subject {
  const char* name;
  std::shared_ptr<const ITransformerTokenizer> tokenizer;
};

std::vector<Subject> subjects() {
  const auto byte = std::make_shared<const ByteTokenizer>();
  const auto bpe = splittingBpe();
  const auto chatByte = std::make_shared<const ChatTokenizer>(byte);
  return {
      {"byte", byte},
      {"bpe", bpe},
      {"chat over byte", chatByte},
      {"chat over bpe", std::make_shared<const ChatTokenizer>(bpe)},
      {"chat over chat over byte", std::make_shared<const ChatTokenizer>(chatByte)},
  };
}

// Ids that split characters often: bytes of multi-byte characters and
// stray continuation bytes, ASCII, every id above the bytes (merges,
// specials, role ids) and a few beyond the vocabulary.
Ids randomIds(std::mt19937_64& random, const TokenizerDescriptor& descriptor, std::size_t count) {
  static const std::uint8_t kBytes[] = {'a',  ' ',  0xE2, 0x82, 0xAC, 0xC3, 0xA9,
                                        0xF0, 0x9F, 0xA7, 0xA0, 0xFF, 0xC0};
  Ids ids(count);
  for (std::uint32_t& id : ids) {
    const std::uint64_t pick = random() % 64;
    if (pick < 40) {
      id = kBytes[random() % std::size(kBytes)];
    } else if (pick < 63) {
      id = 256 + static_cast<std::uint32_t>(random() % (descriptor.vocabularySize - 256));
    } else {
      id = descriptor.vocabularySize + static_cast<std::uint32_t>(random() % 3);
    }
  }
  return ids;
}

struct Outcome {
  std::optional<TokenizerErrorCode> error;
  std::string text;
};

Outcome oneShot(const ITransformerTokenizer& tokenizer, const Ids& ids,
                const DecodeOptions& options) {
  try {
    return {std::nullopt, tokenizer.decode(ids, options)};
  } catch (const TokenizerError& error) {
    return {error.code(), ""};
  }
}

// Decodes `ids` in chunks ending at `cuts`; at every cut the state goes
// through its record into a fresh stream built with other options.
Outcome streamed(const ITransformerTokenizer& tokenizer, const Ids& ids,
                 const std::vector<std::size_t>& cuts, const DecodeOptions& options) {
  TextStream stream(tokenizer, options);
  Outcome outcome;
  std::size_t begin = 0;
  try {
    for (std::size_t c = 0; c <= cuts.size(); ++c) {
      const std::size_t end = c < cuts.size() ? cuts[c] : ids.size();
      const bool final = c == cuts.size();
      outcome.text += stream.decode(std::span(ids).subspan(begin, end - begin), final);
      begin = end;
      if (!final) {
        TextStream fresh(tokenizer, DecodeOptions{});
        fresh.parseState(stream.serializeState());
        stream = fresh;
      }
    }
  } catch (const TokenizerError& error) {
    return {error.code(), ""};
  }
  return outcome;
}

TEST(TextStream, ChunksEqualTheOneShotDecodeForEveryTokenizerAndCut) {
  std::mt19937_64 random(2024);
  std::size_t failures = 0;
  std::size_t successes = 0;
  for (const Subject& subject : subjects()) {
    const TokenizerDescriptor descriptor = subject.tokenizer->descriptor();
    for (int round = 0; round < 600; ++round) {
      const Ids ids = randomIds(random, descriptor, random() % 24);
      std::vector<std::size_t> cuts(random() % 6);
      for (std::size_t& cut : cuts) cut = ids.empty() ? 0 : random() % (ids.size() + 1);
      std::sort(cuts.begin(), cuts.end());
      if (round % 4 == 0) {  // every cut point
        cuts.clear();
        for (std::size_t cut = 0; cut <= ids.size(); ++cut) cuts.push_back(cut);
      }
      const DecodeOptions options{.skipSpecialTokens = round % 5 != 0,
                                  .invalidUtf8 = kPolicies[random() % 3]};
      SCOPED_TRACE(std::string(subject.name) + ", round " + std::to_string(round));
      const Outcome expected = oneShot(*subject.tokenizer, ids, options);
      const Outcome actual = streamed(*subject.tokenizer, ids, cuts, options);
      ASSERT_EQ(actual.error.has_value(), expected.error.has_value());
      if (!expected.error) {
        ASSERT_EQ(actual.text, expected.text);
        ++successes;
      } else {
        // Bad UTF-8 in an early chunk can surface before a bad id that the
        // one-shot decode, judging a piece's ids first, reports instead.
        if (actual.error != TokenizerErrorCode::InvalidUtf8) {
          ASSERT_EQ(actual.error, expected.error);
        }
        ++failures;
      }
    }
  }
  // Both outcomes must be well represented for the property to mean much.
  EXPECT_GT(successes, 1000u);
  EXPECT_GT(failures, 1000u);
}

TEST(TextStream, HoldsBackACharacterSplitAcrossSubwordIds) {
  const auto bpe = splittingBpe();
  // 256 = E2 82, then 0xAC completes the euro sign; 258 = a C3, then A9.
  TextStream stream(*bpe, DecodeOptions{.invalidUtf8 = InvalidUtf8Policy::Reject});
  EXPECT_EQ(stream.decode(Ids{256}), "");
  EXPECT_EQ(stream.state().pending, bytesOf("\xE2\x82"));
  const ByteBuffer record = stream.serializeState();
  EXPECT_EQ(record.size(), 18u);

  TextStream resumed(*bpe, DecodeOptions{});
  resumed.parseState(record);
  EXPECT_EQ(resumed.options().invalidUtf8, InvalidUtf8Policy::Reject);
  EXPECT_EQ(resumed.decode(Ids{0xAC, 258}),
            "\xE2\x82\xAC"
            "a");
  EXPECT_EQ(resumed.decode(Ids{0xA9}, true), "\xC3\xA9");
  EXPECT_TRUE(resumed.state().pending.empty());
}

TEST(TextStream, AChatRoleIdEndsThePieceBeforeIt) {
  const auto chat = std::make_shared<const ChatTokenizer>(splittingBpe());
  const std::uint32_t user = chat->descriptor().userId;
  // E2 82 | role | AC a: under Replace the unfinished euro sign before the
  // role id becomes one U+FFFD, the stray AC after it another, as decode has it.
  const DecodeOptions options{.skipSpecialTokens = true, .invalidUtf8 = InvalidUtf8Policy::Replace};
  TextStream stream(*chat, options);
  EXPECT_EQ(stream.decode(Ids{256}), "");
  EXPECT_EQ(stream.decode(Ids{user}), kFffd);
  EXPECT_TRUE(stream.state().pending.empty());
  EXPECT_EQ(stream.decode(Ids{257}, true), kFffd + "a");
  EXPECT_EQ(chat->decode(Ids{256, user, 257}, options), kFffd + kFffd + "a");

  // Without skipSpecialTokens the piece is judged before the role id is.
  TextStream strict(*chat, DecodeOptions{.invalidUtf8 = InvalidUtf8Policy::Reject});
  EXPECT_EQ(strict.decode(Ids{'a', 256}), "a");
  expectError([&] { (void)strict.decode(Ids{user}); }, TokenizerErrorCode::InvalidUtf8,
              "invalid or incomplete UTF-8 sequence");
  EXPECT_EQ(strict.state().pending, bytesOf("\xE2\x82"));
  expectError(
      [&] {
        (void)strict.decode(Ids{0xAC, user});
      },
      TokenizerErrorCode::SpecialTokenNotAllowed,
      "chat role token requires skipSpecialTokens=true");
}

TEST(TextStream, ErrorsNameTheInnermostTokenizerAndChangeNothing) {
  const auto byte = std::make_shared<const ByteTokenizer>();
  const auto bpe = splittingBpe();
  struct Case {
    std::shared_ptr<const ITransformerTokenizer> tokenizer;
    std::uint32_t id;
    TokenizerErrorCode code;
    const char* message;
  };
  const std::uint32_t bpeEos = bpe->descriptor().eosId;
  const std::vector<Case> cases = {
      {byte, 258, TokenizerErrorCode::TokenIdOutOfRange,
       "token id is outside byte-tokenizer vocabulary"},
      {byte, 257, TokenizerErrorCode::SpecialTokenNotAllowed,
       "special token requires skipSpecialTokens=true"},
      {bpe, bpeEos + 1, TokenizerErrorCode::TokenIdOutOfRange,
       "token id is outside subword vocabulary"},
      {bpe, bpeEos, TokenizerErrorCode::SpecialTokenNotAllowed,
       "special token requires skipSpecialTokens=true"},
      // Past the role ids of a chat tokenizer, the base's vocabulary ends.
      {std::make_shared<const ChatTokenizer>(byte), 260, TokenizerErrorCode::TokenIdOutOfRange,
       "token id is outside byte-tokenizer vocabulary"},
      {std::make_shared<const ChatTokenizer>(bpe), bpeEos + 3,
       TokenizerErrorCode::TokenIdOutOfRange, "token id is outside subword vocabulary"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tokenizer->descriptor().kind + ", id " + std::to_string(c.id));
    TextStream stream(*c.tokenizer, DecodeOptions{});
    EXPECT_EQ(stream.decode(Ids{0xF0, 0x9F}), "");
    expectError([&] { (void)stream.decode(Ids{0xA7, c.id}); }, c.code, c.message);
    EXPECT_EQ(stream.state().pending, bytesOf("\xF0\x9F"));
    EXPECT_EQ(stream.decode(Ids{0xA7, 0xA0}), "\xF0\x9F\xA7\xA0");
  }
}

TEST(TextStream, RefusesTokenizersItCannotMirrorAndUnknownPolicies) {
  struct Custom : ITransformerTokenizer {
    EncodedText encode(std::string_view, const EncodeOptions&) const override { return {}; }
    std::string decode(std::span<const std::uint32_t>, const DecodeOptions&) const override {
      return "";
    }
    TokenizerDescriptor descriptor() const override { return ByteTokenizer().descriptor(); }
  };
  // Derived from the byte tokenizer, so free to decode otherwise.
  struct DerivedByte : ByteTokenizer {};
  const auto custom = std::make_shared<const Custom>();
  const DerivedByte derived;
  for (const ITransformerTokenizer* tokenizer :
       {static_cast<const ITransformerTokenizer*>(custom.get()),
        static_cast<const ITransformerTokenizer*>(&derived)}) {
    try {
      (void)TextStream(*tokenizer, DecodeOptions{});
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "text stream needs a byte, BPE or chat tokenizer");
    }
  }
  // A chat tokenizer over an unsupported base is refused as well.
  EXPECT_THROW((void)TextStream(ChatTokenizer(custom), DecodeOptions{}), std::invalid_argument);
  expectError(
      [] {
        (void)TextStream(ByteTokenizer(),
                         DecodeOptions{.invalidUtf8 = static_cast<InvalidUtf8Policy>(3)});
      },
      TokenizerErrorCode::UnsupportedOption, "unknown invalid UTF-8 policy");
}

TEST(TextStream, ContinuesARecordOfTheByteDecoder) {
  // A record written by the byte decoder (decodeChunk) is a stream state too.
  DecoderState state(DecodeOptions{.skipSpecialTokens = true});
  EXPECT_EQ(decodeChunk(state, idsOf("\xF0\x9F\xA7"), false), "");
  const ByteBuffer record = serializeDecoderState(state);

  const auto chat = std::make_shared<const ChatTokenizer>(std::make_shared<const ByteTokenizer>());
  TextStream stream(*chat, DecodeOptions{});
  stream.parseState(record);
  EXPECT_TRUE(stream.options().skipSpecialTokens);
  EXPECT_EQ(stream.decode(Ids{0xA0, 257, 258, 'a'}, true),
            "\xF0\x9F\xA7\xA0"
            "a");

  // A damaged record is refused and the stream keeps its state.
  TextStream kept(*chat, DecodeOptions{});
  EXPECT_EQ(kept.decode(Ids{0xC3}), "");
  ByteBuffer damaged = record;
  damaged.back() ^= 1;
  expectError([&] { kept.parseState(damaged); }, TokenizerErrorCode::InvalidFormat,
              "byte-decoder state checksum mismatch");
  EXPECT_EQ(kept.state().pending, bytesOf("\xC3"));
  EXPECT_FALSE(kept.options().skipSpecialTokens);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
