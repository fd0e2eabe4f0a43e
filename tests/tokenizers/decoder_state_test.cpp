#include "lumeth/tokenizers/decoder_state.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/utf8.hpp"
#include "tests/tokenizers/tokenizer_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr InvalidUtf8Policy kPolicies[] = {InvalidUtf8Policy::PreserveBytes,
                                           InvalidUtf8Policy::Reject, InvalidUtf8Policy::Replace};

std::string policyName(InvalidUtf8Policy policy) {
  return "policy " + std::to_string(static_cast<int>(policy));
}

// A decoder-state record built byte by byte, independent of the writer: the
// count byte is the size of `pending` unless `count` overrides it, and the
// checksum is correct for whatever precedes it.
ByteBuffer handMadeRecord(std::uint8_t policy, std::uint8_t flag, std::string_view pending,
                          int count = -1) {
  ByteBuffer record = bytesOf("BTDS1");
  record.push_back(policy);
  record.push_back(flag);
  record.push_back(static_cast<std::uint8_t>(count < 0 ? static_cast<int>(pending.size()) : count));
  appendBytes(record, pending);
  appendU64(record, fnv1a64(record));
  return record;
}

TEST(DecoderState, IsBuiltFromDecodeOptionsWithNothingPending) {
  const DecoderState state(
      DecodeOptions{.skipSpecialTokens = true, .invalidUtf8 = InvalidUtf8Policy::Replace});
  const auto& [skip, policy, pending] = state;  // the three fields, in this order
  EXPECT_TRUE(skip);
  EXPECT_EQ(policy, InvalidUtf8Policy::Replace);
  EXPECT_TRUE(pending.empty());

  const DecoderState fresh;
  EXPECT_FALSE(fresh.skipSpecialTokens);
  EXPECT_EQ(fresh.policy, InvalidUtf8Policy::PreserveBytes);
}

TEST(DecoderState, RefusesAnUnknownPolicy) {
  for (const int value : {3, 255}) {
    expectError(
        [&] {
          (void)DecoderState(DecodeOptions{.invalidUtf8 = static_cast<InvalidUtf8Policy>(value)});
        },
        TokenizerErrorCode::UnsupportedOption, "unknown invalid UTF-8 policy");
  }
}

TEST(DecodeChunk, EuroSignSurvivesASerializedCut) {
  DecoderState state(DecodeOptions{.invalidUtf8 = InvalidUtf8Policy::Reject});
  const std::uint32_t first[] = {226};
  EXPECT_EQ(decodeChunk(state, first, false), "");
  EXPECT_EQ(state.pending, bytesOf("\xE2"));

  const ByteBuffer record = serializeDecoderState(state);
  // "BTDS1", policy Reject, no skipping, one pending byte E2, fnv1a64 of those 9 bytes.
  const ByteBuffer expected = {'B',  'T',  'D',  'S',  '1',  0x01, 0x00, 0x01, 0xE2,
                               0x71, 0xdc, 0xb3, 0x76, 0xef, 0x3f, 0xa0, 0x62};
  EXPECT_EQ(record, expected);

  DecoderState restored;
  parseDecoderState(restored, record);
  EXPECT_EQ(restored.policy, InvalidUtf8Policy::Reject);
  EXPECT_FALSE(restored.skipSpecialTokens);
  EXPECT_EQ(restored.pending, bytesOf("\xE2"));
  const std::uint32_t rest[] = {130, 172};
  EXPECT_EQ(decodeChunk(restored, rest, true), "\xE2\x82\xAC");
  EXPECT_TRUE(restored.pending.empty());

  DecoderState oneShot(DecodeOptions{.invalidUtf8 = InvalidUtf8Policy::Reject});
  const std::uint32_t all[] = {226, 130, 172};
  EXPECT_EQ(decodeChunk(oneShot, all, true), "\xE2\x82\xAC");
}

TEST(DecodeChunk, EmptyChunkOnlyDrainsWhatIsPending) {
  for (const InvalidUtf8Policy policy : kPolicies) {
    SCOPED_TRACE(policyName(policy));
    DecoderState state(DecodeOptions{.invalidUtf8 = policy});
    state.pending = bytesOf("\xF0\x9F\xA7");
    EXPECT_EQ(decodeChunk(state, {}, false), "");
    EXPECT_EQ(state.pending, bytesOf("\xF0\x9F\xA7"));
  }
  DecoderState replace(DecodeOptions{.invalidUtf8 = InvalidUtf8Policy::Replace});
  replace.pending = bytesOf("\xF0\x9F\xA7");
  EXPECT_EQ(decodeChunk(replace, {}, true), "\xEF\xBF\xBD");
  EXPECT_TRUE(replace.pending.empty());
}

TEST(DecodeChunk, SpecialIdsAreDroppedOnlyWhenAskedTo) {
  const std::vector<std::uint32_t> ids = {256, 'h', 257, 'i', 256};
  DecoderState skipping(DecodeOptions{.skipSpecialTokens = true});
  EXPECT_EQ(decodeChunk(skipping, ids, true), "hi");

  DecoderState strict;
  expectError([&] { (void)decodeChunk(strict, ids, true); },
              TokenizerErrorCode::SpecialTokenNotAllowed,
              "special token requires skipSpecialTokens=true");
  for (const std::uint32_t id : {258u, 999u, 0xFFFFFFFFu}) {
    const std::uint32_t chunk[] = {'a', id};
    expectError([&] { (void)decodeChunk(skipping, chunk, true); },
                TokenizerErrorCode::TokenIdOutOfRange,
                "token id is outside byte-tokenizer vocabulary");
  }
}

// A failing call must leave the state exactly as it was, so that the stream
// can go on (or be saved) as if the call had never been made.
TEST(DecodeChunk, AFailedCallLeavesTheStateUnchanged) {
  struct Case {
    std::string name;
    InvalidUtf8Policy policy;
    std::vector<std::uint32_t> ids;
    bool final;
    TokenizerErrorCode code;
  };
  const std::vector<Case> cases = {
      {"out of range after bytes",
       InvalidUtf8Policy::PreserveBytes,
       {0x82, 'a', 'b', 999},
       false,
       TokenizerErrorCode::TokenIdOutOfRange},
      {"special after bytes",
       InvalidUtf8Policy::Replace,
       {0x82, 'a', 256},
       true,
       TokenizerErrorCode::SpecialTokenNotAllowed},
      {"reject sees the lead cut short",
       InvalidUtf8Policy::Reject,
       {'(', 'x', 'y'},
       false,
       TokenizerErrorCode::InvalidUtf8},
      {"reject at the final drain",
       InvalidUtf8Policy::Reject,
       {0x82},
       true,
       TokenizerErrorCode::InvalidUtf8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderState state(DecodeOptions{.invalidUtf8 = c.policy});
    state.pending = bytesOf("\xE2");
    try {
      (void)decodeChunk(state, c.ids, c.final);
      ADD_FAILURE() << "expected an error";
    } catch (const TokenizerError& error) {
      EXPECT_EQ(error.code(), c.code);
    }
    EXPECT_EQ(state.pending, bytesOf("\xE2"));
    EXPECT_EQ(state.policy, c.policy);
    // The stream is still usable and still serializable.
    EXPECT_EQ(serializeDecoderState(state).size(), 17u);
    const std::uint32_t rest[] = {0x82, 0xAC};
    EXPECT_EQ(decodeChunk(state, rest, true), "\xE2\x82\xAC");
  }
}

// Texts whose ids are cut at every point: the two halves, with the state
// saved and restored at the cut, must give what one decode gives.
struct StreamCase {
  std::string name;
  std::string bytes;
};

std::vector<StreamCase> streamCases() {
  return {
      {"valid two, three and four byte characters",
       "A\xC5\x99"
       "b\xE2\x82\xAC"
       "c\xF0\x9F\xA7\xA0"
       "d\xC4\x8D\xF0\x9F\x98\x80"},
      {"with invalid bytes",
       "\xC5\x99\xFF\xE2\x82\xAC\xE2\x28\xC0\x80\xF0\x9F\xA7\xA0\xED\xA0\x80\x80z\xF4\x90\x80\x80"
       "\xC3"},
      {"unfinished tail", "ok\xE2\x82\xAC\xF0\x9F\xA7"},
  };
}

TEST(DecodeChunk, StreamingInTwoChunksEqualsOneShotAtEveryCut) {
  const ByteTokenizer tokenizer;
  for (const StreamCase& c : streamCases()) {
    // Special ids in the stream exercise skipping on both sides of the cut.
    std::vector<std::uint32_t> ids = idsOf(c.bytes);
    ids.insert(ids.begin() + 3, kByteEosId);
    ids.push_back(kByteBosId);
    for (const InvalidUtf8Policy policy : kPolicies) {
      const DecodeOptions options{.skipSpecialTokens = true, .invalidUtf8 = policy};
      std::string expected;
      bool oneShotFails = false;
      try {
        expected = tokenizer.decode(ids, options);
      } catch (const TokenizerError& error) {
        ASSERT_EQ(error.code(), TokenizerErrorCode::InvalidUtf8);
        oneShotFails = true;
      }
      for (std::size_t cut = 0; cut <= ids.size(); ++cut) {
        SCOPED_TRACE(c.name + " / " + policyName(policy) + " / cut " + std::to_string(cut));
        const std::span<const std::uint32_t> all(ids);
        try {
          DecoderState first(options);
          std::string streamed = decodeChunk(first, all.first(cut), false);
          DecoderState second;
          parseDecoderState(second, serializeDecoderState(first));
          streamed += decodeChunk(second, all.subspan(cut), true);
          EXPECT_FALSE(oneShotFails) << "streaming succeeded where one decode failed";
          EXPECT_EQ(streamed, expected);
          EXPECT_TRUE(second.pending.empty());
        } catch (const TokenizerError& error) {
          EXPECT_TRUE(oneShotFails) << error.what();
          EXPECT_EQ(error.code(), TokenizerErrorCode::InvalidUtf8);
        }
      }
    }
  }
}

TEST(DecodeChunk, OneIdAtATimeKeepsAtMostAnUnfinishedSequencePending) {
  const ByteTokenizer tokenizer;
  for (const StreamCase& c : streamCases()) {
    const std::vector<std::uint32_t> ids = idsOf(c.bytes);
    for (const InvalidUtf8Policy policy :
         {InvalidUtf8Policy::PreserveBytes, InvalidUtf8Policy::Replace}) {
      SCOPED_TRACE(c.name + " / " + policyName(policy));
      DecoderState state(DecodeOptions{.invalidUtf8 = policy});
      std::string streamed;
      for (const std::uint32_t id : ids) {
        streamed += decodeChunk(state, std::span(&id, 1), false);
        ASSERT_LE(state.pending.size(), 3u);
        ASSERT_NO_THROW((void)serializeDecoderState(state));
      }
      streamed += decodeChunk(state, {}, true);
      EXPECT_EQ(streamed, tokenizer.decode(ids, DecodeOptions{.invalidUtf8 = policy}));
    }
  }
}

TEST(SerializeDecoderState, WritesFlagsAndEveryPendingLength) {
  DecoderState state(
      DecodeOptions{.skipSpecialTokens = true, .invalidUtf8 = InvalidUtf8Policy::Replace});
  for (const std::string_view pending : {"", "\xF0", "\xF0\x9F", "\xF0\x9F\xA7"}) {
    state.pending = bytesOf(pending);
    const ByteBuffer record = serializeDecoderState(state);
    EXPECT_EQ(record, handMadeRecord(2, 1, pending));
    DecoderState restored;
    parseDecoderState(restored, record);
    EXPECT_TRUE(restored.skipSpecialTokens);
    EXPECT_EQ(restored.policy, InvalidUtf8Policy::Replace);
    EXPECT_EQ(restored.pending, state.pending);
  }
}

// A record the parser would refuse is never written; the refusal names the
// check the record would fail, in the parser's order.
TEST(SerializeDecoderState, RefusesStatesTheParserWouldRefuse) {
  struct Case {
    std::string name;
    int policy;
    std::string pending;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"four pending bytes", 0, "\xF0\x9F\xA7\xA0", "invalid byte-decoder state length"},
      {"hundreds of pending bytes", 0, std::string(300, 'a'), "invalid byte-decoder state length"},
      {"length before policy", 7, "abcd", "invalid byte-decoder state length"},
      {"unknown policy", 3, "", "byte-decoder state policy is invalid"},
      {"policy before pending", 9, "A", "byte-decoder state policy is invalid"},
      {"complete character", 0, "A", "byte-decoder pending state is not an incomplete sequence"},
      {"complete euro sign", 1, "\xE2\x82\xAC",
       "byte-decoder pending state is not an incomplete sequence"},
      {"lead cut short by ascii", 2, "\xE2\x28",
       "byte-decoder pending state is not an incomplete sequence"},
      {"stray continuation", 0, "\x82", "byte-decoder pending state is not an incomplete sequence"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderState state;
    state.policy = static_cast<InvalidUtf8Policy>(c.policy);
    state.pending = bytesOf(c.pending);
    expectError([&] { (void)serializeDecoderState(state); }, TokenizerErrorCode::InvalidFormat,
                c.message);
  }
}

TEST(ParseDecoderState, RefusesDamagedRecordsInCheckOrderAndChangesNothing) {
  const ByteBuffer valid = handMadeRecord(1, 0, "\xE2");
  struct Case {
    std::string name;
    ByteBuffer record;
    std::string message;
  };
  const auto edited = [&](std::size_t offset, std::uint8_t value) {
    ByteBuffer copy = valid;
    copy[offset] = value;
    return copy;
  };
  const auto truncated = [&](std::size_t size) {
    return ByteBuffer(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(size));
  };
  ByteBuffer trailing = valid;
  trailing.push_back(0);
  const std::vector<Case> cases = {
      {"empty", {}, "invalid byte-decoder state"},
      {"15 bytes", truncated(15), "invalid byte-decoder state"},
      {"magic", edited(0, 'b'), "invalid byte-decoder state"},
      {"format version", edited(4, '2'), "invalid byte-decoder state"},
      {"16 bytes counting 1", handMadeRecord(0, 0, "", 1), "invalid byte-decoder state length"},
      {"17 bytes counting 0", edited(7, 0), "invalid byte-decoder state length"},
      {"trailing byte", trailing, "invalid byte-decoder state length"},
      {"four pending bytes", handMadeRecord(0, 0, "\xF0\x9F\xA7\xA0"),
       "invalid byte-decoder state length"},
      {"count 255", handMadeRecord(0, 0, std::string(255, '\x80')),
       "invalid byte-decoder state length"},
      {"pending byte", edited(8, 0xE3), "byte-decoder state checksum mismatch"},
      {"checksum byte", edited(16, static_cast<std::uint8_t>(valid[16] ^ 0x01)),
       "byte-decoder state checksum mismatch"},
      {"policy without checksum", edited(5, 3), "byte-decoder state checksum mismatch"},
      {"policy 3", handMadeRecord(3, 0, "\xE2"), "byte-decoder state policy is invalid"},
      {"flag 2", handMadeRecord(0, 2, "\xE2"), "byte-decoder state policy is invalid"},
      {"policy before pending", handMadeRecord(3, 0, "A"), "byte-decoder state policy is invalid"},
      {"pending A", handMadeRecord(0, 0, "A"),
       "byte-decoder pending state is not an incomplete sequence"},
      {"pending E2 28", handMadeRecord(0, 0, "\xE2\x28"),
       "byte-decoder pending state is not an incomplete sequence"},
      {"pending complete euro sign", handMadeRecord(0, 0, "\xE2\x82\xAC"),
       "byte-decoder pending state is not an incomplete sequence"},
      {"pending stray continuation", handMadeRecord(0, 0, "\x82"),
       "byte-decoder pending state is not an incomplete sequence"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderState state(
        DecodeOptions{.skipSpecialTokens = true, .invalidUtf8 = InvalidUtf8Policy::Replace});
    state.pending = bytesOf("\xF0\x9F");
    expectError([&] { parseDecoderState(state, c.record); }, TokenizerErrorCode::InvalidFormat,
                c.message);
    EXPECT_TRUE(state.skipSpecialTokens);
    EXPECT_EQ(state.policy, InvalidUtf8Policy::Replace);
    EXPECT_EQ(state.pending, bytesOf("\xF0\x9F"));
  }
}

TEST(ParseDecoderState, AnyChangedByteOrCutIsRefused) {
  const ByteBuffer valid = handMadeRecord(2, 1, "\xF0\x9F\xA7");
  for (std::size_t offset = 0; offset < valid.size(); ++offset) {
    for (const int mask : {0x01, 0x80}) {
      ByteBuffer damaged = valid;
      damaged[offset] = static_cast<std::uint8_t>(damaged[offset] ^ mask);
      DecoderState state;
      EXPECT_THROW(parseDecoderState(state, damaged), TokenizerError) << "offset " << offset;
    }
  }
  for (std::size_t size = 0; size < valid.size(); ++size) {
    DecoderState state;
    EXPECT_THROW(parseDecoderState(state, std::span(valid).first(size)), TokenizerError)
        << "size " << size;
  }
}

TEST(DecodeChunk, ChunkedDecodingEqualsOneDrainOfEverythingReceived) {
  // Whatever the chunking, the text returned so far and the bytes left
  // pending are those of draining all bytes received at once (the fast path
  // returns valid stretches without classifying each sequence).
  std::mt19937_64 random(3);
  const std::string pieces[] = {"ascii words and more ascii words ",
                                "\xC3\xA9",
                                "\xE2\x82\xAC",
                                "\xF0\x9F\xA7\xA0",
                                "\xE4\xB8\xAD",
                                "\x80",
                                "\xFF",
                                "\xED\xA0\x80",
                                "\xE2\x28"};
  for (int round = 0; round < 400; ++round) {
    std::string text;
    for (int i = 0; i < 20; ++i) {
      text += pieces[random() % std::size(pieces)];
    }
    const std::vector<std::uint32_t> ids = idsOf(text);
    for (const InvalidUtf8Policy policy :
         {InvalidUtf8Policy::PreserveBytes, InvalidUtf8Policy::Replace}) {
      DecoderState state(DecodeOptions{.skipSpecialTokens = false, .invalidUtf8 = policy});
      std::vector<std::uint8_t> received;
      std::string streamed;
      std::string expected;
      for (std::size_t at = 0; at < ids.size();) {
        const std::size_t take = std::min<std::size_t>(ids.size() - at, random() % 40);
        const std::span<const std::uint32_t> chunk(ids.data() + at, take);
        streamed += decodeChunk(state, chunk, false);
        received.insert(received.end(), text.begin() + static_cast<std::ptrdiff_t>(at),
                        text.begin() + static_cast<std::ptrdiff_t>(at + take));
        expected += drainPending(received, policy, false);
        ASSERT_EQ(streamed, expected) << round;
        ASSERT_EQ(state.pending, received) << round;
        at += take;
      }
      streamed += decodeChunk(state, {}, true);
      expected += drainPending(received, policy, true);
      EXPECT_EQ(streamed, expected) << round;
      EXPECT_TRUE(state.pending.empty());
    }
  }
}

TEST(DecodeChunk, InLongInputsTheFirstOffendingIdDecidesWhereverItStands) {
  // Long inputs are narrowed block by block; a special or out-of-range id
  // deep inside must be judged exactly as in a short one.
  std::vector<std::uint32_t> ids(300, 'a');
  ids[130] = kByteEosId;
  ids[200] = 999;
  const auto errorCode = [&ids](bool skip) {
    DecoderState state(DecodeOptions{.skipSpecialTokens = skip});
    try {
      (void)decodeChunk(state, ids, true);
    } catch (const TokenizerError& error) {
      return static_cast<int>(error.code());
    }
    return -1;
  };
  EXPECT_EQ(errorCode(false), static_cast<int>(TokenizerErrorCode::SpecialTokenNotAllowed));
  EXPECT_EQ(errorCode(true), static_cast<int>(TokenizerErrorCode::TokenIdOutOfRange));
  ids[200] = 'b';
  DecoderState state(DecodeOptions{.skipSpecialTokens = true});
  EXPECT_EQ(decodeChunk(state, ids, true), std::string(199, 'a') + "b" + std::string(99, 'a'));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
