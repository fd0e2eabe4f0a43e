#include "lumeth/tokenizers/subword_tokenizer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/internal/bpe_reference.hpp"
#include "tests/tokenizers/bpe_corpora.hpp"
#include "tests/tokenizers/tokenizer_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Ids = std::vector<std::uint32_t>;

constexpr std::uint64_t kSixteenMiB = 0x1000000;
constexpr std::uint32_t a = 'a';
constexpr std::uint32_t b = 'b';
constexpr std::uint32_t c = 'c';
constexpr std::uint32_t space = ' ';

// toHex16(fnv1a64) of whole artifacts, worked out independently of the library.
constexpr const char* kEmptyArtifactHash = "9956bfb26c433cc7";
constexpr const char* kWorkedExampleHash = "480fe049452b39e9";

TEST(PairKey, PutsTheLeftIdInTheHighHalf) {
  EXPECT_EQ(pairKey(0, 0), 0u);
  EXPECT_EQ(pairKey(1, 2), 0x0000000100000002ULL);
  EXPECT_EQ(pairKey(0xFFFFFFFF, 0), 0xFFFFFFFF00000000ULL);
  // Keys order pairs by left id first, then by right id.
  EXPECT_LT(pairKey(1, 0xFFFFFFFF), pairKey(2, 0));
  EXPECT_LT(pairKey(2, 3), pairKey(2, 4));
}

TEST(SplitWhitespaceRuns, CutsMaximalRunsOfTheSixWhitespaceBytes) {
  using Runs = std::vector<std::string_view>;
  EXPECT_EQ(splitWhitespaceRuns(" ahoj  světe\n"), (Runs{" ", "ahoj", "  ", "světe", "\n"}));
  EXPECT_TRUE(splitWhitespaceRuns("").empty());
  EXPECT_EQ(splitWhitespaceRuns("\t\n\v\f\r x"), (Runs{"\t\n\v\f\r ", "x"}));
  // 0x08, 0x0E, 0x1F, 0x85 and 0xA0 are not whitespace here.
  EXPECT_EQ(splitWhitespaceRuns("\x08\x0E\x1F\x85\xA0"), (Runs{"\x08\x0E\x1F\x85\xA0"}));
  EXPECT_EQ(splitWhitespaceRuns("a b"), (Runs{"a", " ", "b"}));
}

TEST(SubwordTokenizer, WithoutMergesIsByteLevelButNamesItself) {
  const SubwordTokenizer tokenizer({});
  const TokenizerDescriptor d = tokenizer.descriptor();
  EXPECT_EQ(d.kind, "bpe");
  EXPECT_EQ(d.version, 2u);
  EXPECT_EQ(d.vocabularySize, 258u);
  EXPECT_EQ(d.bosId, 256u);
  EXPECT_EQ(d.eosId, 257u);
  EXPECT_EQ(d.hash, kEmptyArtifactHash);
  EXPECT_EQ(d.userId, 0xFFFFFFFFu);
  EXPECT_EQ(d.assistantId, 0xFFFFFFFFu);

  const std::string text = "ahoj  světe\xFF";
  const EncodedText encoded = tokenizer.encode(text, {});
  EXPECT_EQ(encoded.ids, idsOf(text));
  EXPECT_EQ(encoded.tokenizerHash, kEmptyArtifactHash);
}

TEST(SubwordTokenizer, DescriptorFollowsTheMergeCount) {
  const SubwordTokenizer tokenizer(workedExampleMerges());
  const TokenizerDescriptor d = tokenizer.descriptor();
  EXPECT_EQ(d.vocabularySize, 266u);
  EXPECT_EQ(d.bosId, 264u);
  EXPECT_EQ(d.eosId, 265u);
  EXPECT_EQ(d.hash, kWorkedExampleHash);
  EXPECT_EQ(d.hash, toHex16(fnv1a64(tokenizer.artifact())));
  EXPECT_EQ(std::vector<BpeMerge>(tokenizer.merges().begin(), tokenizer.merges().end()),
            workedExampleMerges());
}

TEST(SubwordTokenizer, StaysCompleteAfterBeingMovedFrom) {
  // Moving copies (the merge data is shared): both moved-from tokenizers
  // still describe, encode and decode as before.
  SubwordTokenizer constructed(workedExampleMerges());
  const SubwordTokenizer target(std::move(constructed));
  SubwordTokenizer source(workedExampleMerges());
  SubwordTokenizer assigned({});
  assigned = std::move(source);
  const SubwordTokenizer fresh(workedExampleMerges());
  for (const SubwordTokenizer* moved : {&constructed, &source}) {
    EXPECT_EQ(moved->descriptor(), fresh.descriptor());
    EXPECT_EQ(moved->artifact(), fresh.artifact());
    EXPECT_EQ(moved->merges().size(), 8u);
    EXPECT_EQ(moved->encode("ahoj světe", {.addEos = true}).ids, (Ids{262, space, 263, 265}));
    EXPECT_EQ(moved->decode(Ids{256, 263}, {}), "ahsvěte");
  }
  EXPECT_EQ(target.encode("ahoj", {}).ids, (Ids{262}));
  EXPECT_EQ(assigned.descriptor(), fresh.descriptor());
}

struct EncodeCase {
  const char* name;
  std::vector<BpeMerge> merges;
  std::string text;
  Ids expected;
};

TEST(SubwordTokenizer, EncodesHandCheckableRuns) {
  const std::vector<EncodeCase> cases = {
      // The lowest id decides, not the position or the token length.
      {"lowest id first", {{a, b, "ab"}, {b, c, "bc"}}, "abc", {256, c}},
      {"lowest id even when it is to the right", {{b, c, "bc"}, {a, b, "ab"}}, "abc", {a, 256}},
      // Every occurrence of the winning pair is replaced in one step.
      {"replace all, four", {{a, a, "aa"}, {256, 256, "aaaa"}}, "aaaa", {257}},
      {"replace all, three", {{a, a, "aa"}, {256, 256, "aaaa"}}, "aaa", {256, a}},
      {"replace all, five", {{a, a, "aa"}, {256, 256, "aaaa"}}, "aaaaa", {257, a}},
      // A repeated pair always encodes to its first id.
      {"repeated pair", {{a, b, "ab"}, {a, b, "ab"}}, "ab", {256}},
      // A hand-built list may name a later id: 256 = (257, a), 257 = (a, a).
      // All (a, a) go first, in one step; only then can (257, a) apply.
      {"a merge of a later id, four", {{257, a, "aaa"}, {a, a, "aa"}}, "aaaa", {257, 257}},
      {"a merge of a later id, five", {{257, a, "aaa"}, {a, a, "aa"}}, "aaaaa", {257, 256}},
      // a, space and b are three runs: the merge cannot apply.
      {"no merge across whitespace", {{a, space, "a "}}, "a b", {a, space, b}},
      {"whitespace runs merge among themselves",
       {{space, space, "  "}},
       "a    b",
       {a, 256, 256, b}},
      // No merge covers the emoji: its four bytes stay byte ids.
      {"byte fallback",
       workedExampleMerges(),
       "ahoj \xF0\x9F\xA7\xA0",
       {262, space, 0xF0, 0x9F, 0xA7, 0xA0}},
      {"merges inside every run",
       workedExampleMerges(),
       " světe ahoj\n",
       {space, 263, space, 262, '\n'}},
      {"empty text", workedExampleMerges(), "", {}},
  };
  for (const EncodeCase& test : cases) {
    const SubwordTokenizer tokenizer(test.merges);
    EXPECT_EQ(tokenizer.encode(test.text, {}).ids, test.expected) << test.name;
    EXPECT_EQ(tokenizer.decode(test.expected, {}), test.text) << test.name;
  }
}

TEST(SubwordTokenizer, WorkedExampleEncodesTheConformanceText) {
  const SubwordTokenizer tokenizer(workedExampleMerges());
  EXPECT_EQ(tokenizer.encode("ahoj", {}).ids, (Ids{262}));
  const Ids framed = tokenizer.encode("ahoj", {.addBos = true, .addEos = true}).ids;
  EXPECT_EQ(framed, (Ids{264, 262, 265}));
  EXPECT_EQ(tokenizer.decode(framed, {.skipSpecialTokens = true}), "ahoj");
  EXPECT_EQ(tokenizer.encode("", {.addBos = true, .addEos = true}).ids, (Ids{264, 265}));

  const std::string text = "ahoj, příliš žluťoučký 🧠";
  ASSERT_EQ(text.size(), 34u);
  const Ids ids = tokenizer.encode(text, {}).ids;
  EXPECT_EQ(ids.size(), 31u);
  EXPECT_EQ(ids.front(), 262u);
  EXPECT_EQ(tokenizer.decode(ids, {}), text);
}

TEST(SubwordTokenizer, EncodeOptionsAreChecked) {
  const SubwordTokenizer tokenizer(workedExampleMerges());
  expectError([&] { (void)tokenizer.encode("", {.normalization = Normalization{1}}); },
              TokenizerErrorCode::UnsupportedOption,
              "BPE tokenizer supports only normalization=none");
  expectError(
      [&] { (void)tokenizer.encode("ahoj\xC3", {.invalidUtf8 = InvalidUtf8Policy::Reject}); },
      TokenizerErrorCode::InvalidUtf8, "invalid or incomplete UTF-8 sequence");
  // Replace repairs first; the repaired bytes are then merged as usual.
  EXPECT_EQ(tokenizer.encode("ahoj\xC3(", {.invalidUtf8 = InvalidUtf8Policy::Replace}).ids,
            (Ids{262, 0xEF, 0xBF, 0xBD, '('}));
  // An unknown policy value is refused before anything is encoded, as decode
  // refuses it, and only after the normalization.
  for (const std::string_view text : {std::string_view(""), std::string_view("ahoj\xC3")}) {
    for (const int value : {3, 7, 255}) {
      expectError(
          [&] {
            (void)tokenizer.encode(text, {.invalidUtf8 = static_cast<InvalidUtf8Policy>(value)});
          },
          TokenizerErrorCode::UnsupportedOption, "unknown invalid UTF-8 policy");
      expectError(
          [&] {
            (void)tokenizer.encode(text, {.normalization = Normalization{1},
                                          .invalidUtf8 = static_cast<InvalidUtf8Policy>(value)});
          },
          TokenizerErrorCode::UnsupportedOption, "BPE tokenizer supports only normalization=none");
    }
  }
}

TEST(SubwordTokenizer, DecodeRefusesTheFirstOffendingId) {
  const SubwordTokenizer tokenizer(workedExampleMerges());
  const std::uint32_t bos = 264;
  const std::uint32_t eos = 265;
  const std::uint32_t beyond = 266;  // the vocabulary size

  expectError(
      [&] {
        (void)tokenizer.decode(Ids{262, beyond}, {.skipSpecialTokens = true});
      },
      TokenizerErrorCode::TokenIdOutOfRange, "token id is outside subword vocabulary");
  expectError([&] { (void)tokenizer.decode(Ids{0xFFFFFFFF}, {}); },
              TokenizerErrorCode::TokenIdOutOfRange, "token id is outside subword vocabulary");
  expectError(
      [&] {
        (void)tokenizer.decode(Ids{262, bos}, {});
      },
      TokenizerErrorCode::SpecialTokenNotAllowed, "special token requires skipSpecialTokens=true");
  expectError(
      [&] {
        (void)tokenizer.decode(Ids{eos, beyond}, {});
      },
      TokenizerErrorCode::SpecialTokenNotAllowed, "special token requires skipSpecialTokens=true");
  expectError(
      [&] {
        (void)tokenizer.decode(Ids{beyond, eos}, {});
      },
      TokenizerErrorCode::TokenIdOutOfRange, "token id is outside subword vocabulary");

  EXPECT_EQ(tokenizer.decode(Ids{bos}, {.skipSpecialTokens = true}), "");
  EXPECT_EQ(tokenizer.decode(Ids{bos, 262, eos}, {.skipSpecialTokens = true}), "ahoj");
  EXPECT_EQ(tokenizer.decode(Ids{}, {}), "");
}

TEST(SubwordTokenizer, DecodeJudgesThePolicyOnlyAfterEveryIdWasAccepted) {
  const SubwordTokenizer tokenizer(workedExampleMerges());
  const DecodeOptions unknown{.invalidUtf8 = InvalidUtf8Policy{3}};
  expectError(
      [&] {
        (void)tokenizer.decode(Ids{262, 266}, unknown);
      },
      TokenizerErrorCode::TokenIdOutOfRange, "token id is outside subword vocabulary");
  expectError([&] { (void)tokenizer.decode(Ids{264}, unknown); },
              TokenizerErrorCode::SpecialTokenNotAllowed,
              "special token requires skipSpecialTokens=true");
  expectError([&] { (void)tokenizer.decode(Ids{262}, unknown); },
              TokenizerErrorCode::UnsupportedOption, "unknown invalid UTF-8 policy");
  expectError([&] { (void)tokenizer.decode(Ids{}, unknown); },
              TokenizerErrorCode::UnsupportedOption, "unknown invalid UTF-8 policy");
}

TEST(SubwordTokenizer, DecodeAppliesThePolicyToTheExpandedBytesAsAWhole) {
  // Token 256 ends with the first byte of "č" (C4 8D); the second byte
  // follows as a byte id, and the character is whole again.
  const SubwordTokenizer tokenizer({{a, 0xC4, "a\xC4"}});
  const DecodeOptions reject{.invalidUtf8 = InvalidUtf8Policy::Reject};
  EXPECT_EQ(tokenizer.decode(Ids{256, 0x8D}, reject), "a\xC4\x8D");
  expectError([&] { (void)tokenizer.decode(Ids{256}, reject); }, TokenizerErrorCode::InvalidUtf8,
              "invalid or incomplete UTF-8 sequence");
  EXPECT_EQ(tokenizer.decode(Ids{256}, {.invalidUtf8 = InvalidUtf8Policy::Replace}),
            "a\xEF\xBF\xBD");
  EXPECT_EQ(tokenizer.decode(Ids{256}, {}), "a\xC4");
}

TEST(SubwordTokenizer, RoundTripsArbitraryBytesUnderPreserveBytes) {
  const std::string corpus =
      " ahoj světe ahoj světe český chatbot ahoj světe\n\tžluťoučký kůň  úpěl ďábelské ódy  "
      "aaaa aaaa bbbb\r\n\r\n";
  const SubwordTokenizer tokenizer =
      trainBpe(corpus, BpeTrainingLimits{.vocabularySize = 330, .minPairFrequency = 1});
  ASSERT_GT(tokenizer.merges().size(), 20u);
  const std::uint32_t firstSpecial = tokenizer.descriptor().bosId;

  // Pieces that make whitespace runs, learned words, broken and complete
  // UTF-8 sequences; the remaining draws are single arbitrary bytes.
  const std::vector<std::string> pieces = {
      " ",        "  ",           "\t",       "\n",   "\r\n",  "\v\f",
      "ahoj",     "světe",        "ě",        "\xC4", "\x9B",  "\xF0\x9F\xA7\xA0",
      "\xF0\x9F", "\xED\xA0\x80", "\xC0\x80", "aaa",  "bbbbb", "český",
      "ž",        "\xFF",         "\x80",
  };
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::size_t> length(0, 24);
  std::uniform_int_distribution<std::size_t> draw(0, pieces.size() + 255);
  for (int round = 0; round < 500; ++round) {
    std::string text;
    const std::size_t parts = length(random);
    for (std::size_t i = 0; i < parts; ++i) {
      const std::size_t choice = draw(random);
      if (choice < pieces.size()) {
        text += pieces[choice];
      } else {
        text.push_back(static_cast<char>(static_cast<unsigned char>(choice - pieces.size())));
      }
    }
    const Ids ids = tokenizer.encode(text, {}).ids;
    for (const std::uint32_t id : ids) {
      ASSERT_LT(id, firstSpecial) << "round " << round;
    }
    ASSERT_EQ(tokenizer.decode(ids, {}), text) << "round " << round;
  }
}

// ---- The artifact ----

TEST(SubwordTokenizerArtifact, WithoutMergesIsTheBareHeader) {
  const SubwordTokenizer tokenizer({});
  const ByteBuffer expected = {
      'L',  'U',  'M',  'E',  'S',  'U',  'B',  '2',   // magic
      0x02, 0x00, 0x45, 0x4C,                          // version 2, "EL"
      0x00, 0x00, 0x00, 0x00,                          // no merges
      0x00, 0x00, 0x00, 0x00,                          // empty payload
      0x83, 0x03, 0x9D, 0x73, 0xB0, 0x0F, 0x65, 0x14,  // fnv1a64 of nothing
  };
  EXPECT_EQ(tokenizer.artifact(), expected);

  const SubwordTokenizer loaded = loadSubwordTokenizerArtifact(expected, expected.size());
  EXPECT_EQ(loaded.descriptor(), tokenizer.descriptor());
  EXPECT_TRUE(loaded.merges().empty());
}

TEST(SubwordTokenizerArtifact, StoresOneRecordPerMergeInOrder) {
  const SubwordTokenizer tokenizer(workedExampleMerges());
  const ByteBuffer& artifact = tokenizer.artifact();
  // 8 records of 12 bytes plus 2+2+2+2+3+4+4+6 token bytes.
  ASSERT_EQ(artifact.size(), 28u + 8 * 12 + 25);
  EXPECT_EQ(readU32(artifact, 12), 8u);
  EXPECT_EQ(readU32(artifact, 16), artifact.size() - 28);
  EXPECT_EQ(readU64(artifact, 20), fnv1a64(std::span<const std::uint8_t>(artifact).subspan(28)));
  const ByteBuffer firstRecord(artifact.begin() + 28, artifact.begin() + 28 + 14);
  EXPECT_EQ(firstRecord, (ByteBuffer{0x61, 0, 0, 0, 0x68, 0, 0, 0, 0x02, 0, 0, 0, 0x61, 0x68}));
  const ByteBuffer lastRecord(artifact.end() - 18, artifact.end());
  EXPECT_EQ(lastRecord, (ByteBuffer{0x02, 1, 0, 0, 0x05, 1, 0, 0, 0x06, 0, 0, 0, 's', 'v', 0xC4,
                                    0x9B, 't', 'e'}));
}

TEST(SubwordTokenizerArtifact, LoadsBackIntoAnEqualTokenizer) {
  const SubwordTokenizer original(workedExampleMerges());
  const SubwordTokenizer loaded = loadSubwordTokenizerArtifact(original.artifact(), kSixteenMiB);
  EXPECT_EQ(loaded.descriptor(), original.descriptor());
  EXPECT_EQ(loaded.artifact(), original.artifact());
  EXPECT_TRUE(std::equal(loaded.merges().begin(), loaded.merges().end(), original.merges().begin(),
                         original.merges().end()));
  const std::string text = "ahoj, příliš žluťoučký 🧠 světe";
  EXPECT_EQ(loaded.encode(text, {}).ids, original.encode(text, {}).ids);

  // The size limit is inclusive.
  const std::uint64_t size = original.artifact().size();
  EXPECT_NO_THROW((void)loadSubwordTokenizerArtifact(original.artifact(), size));
  expectError([&] { (void)loadSubwordTokenizerArtifact(original.artifact(), size - 1); },
              TokenizerErrorCode::InvalidFormat, "invalid BPE tokenizer artifact");
}

TEST(SubwordTokenizerArtifact, AcceptsWhatTrainingWouldNeverProduce) {
  // A repeated pair and a token longer than any training limit.
  // Tokens 258 to 266 double the previous token: 4, 8, ..., 1024 bytes.
  std::vector<BpeMerge> merges = {{a, b, "ab"}, {a, b, "ab"}};
  std::uint32_t previous = 256;
  std::string longToken = "ab";
  for (int doubling = 0; doubling < 9; ++doubling) {
    longToken += longToken;
    merges.push_back({previous, previous, longToken});
    previous = static_cast<std::uint32_t>(256 + merges.size() - 1);
  }
  const SubwordTokenizer original(merges);
  const SubwordTokenizer loaded = loadSubwordTokenizerArtifact(original.artifact(), kSixteenMiB);
  EXPECT_EQ(loaded.descriptor(), original.descriptor());
  EXPECT_EQ(loaded.encode("ab", {}).ids, (Ids{256}));
  EXPECT_EQ(loaded.decode(Ids{257}, {}), "ab");
  EXPECT_EQ(loaded.decode(Ids{266}, {}).size(), 1024u);
}

// Writes `value` over the four bytes at `offset`.
void putU32(ByteBuffer& artifact, std::size_t offset, std::uint32_t value) {
  ByteBuffer encoded;
  appendU32(encoded, value);
  std::copy(encoded.begin(), encoded.end(), artifact.begin() + static_cast<std::ptrdiff_t>(offset));
}

// Sets the payload length and checksum to match the payload as it now is.
ByteBuffer resealed(ByteBuffer artifact) {
  const auto payload = std::span<const std::uint8_t>(artifact).subspan(28);
  ByteBuffer fields;
  appendU32(fields, static_cast<std::uint32_t>(payload.size()));
  appendU64(fields, fnv1a64(payload));
  std::copy(fields.begin(), fields.end(), artifact.begin() + 16);
  return artifact;
}

struct DamageCase {
  const char* name;
  std::function<ByteBuffer(ByteBuffer)> damage;
  const char* message;
};

TEST(SubwordTokenizerArtifact, RefusesEveryDamagedArtifactWithItsMessage) {
  // Offsets into the worked example's artifact: the header is 28 bytes and
  // the first record (a, h, 2, "ah") takes bytes 28 to 41.
  constexpr std::size_t kFirstRecord = 28;
  const std::vector<DamageCase> cases = {
      {"wrong magic",
       [](ByteBuffer v) {
         v[7] = '1';
         return v;
       },
       "invalid BPE tokenizer artifact"},
      {"byte tokenizer magic",
       [](ByteBuffer v) {
         const std::string_view magic = "LUMEBTK1";
         std::copy(magic.begin(), magic.end(), v.begin());
         return v;
       },
       "invalid BPE tokenizer artifact"},
      {"shorter than the header",
       [](ByteBuffer v) {
         v.resize(27);
         return v;
       },
       "invalid BPE tokenizer artifact"},
      {"empty", [](ByteBuffer) { return ByteBuffer{}; }, "invalid BPE tokenizer artifact"},
      {"version 3",
       [](ByteBuffer v) {
         v[8] = 3;
         return v;
       },
       "unsupported BPE tokenizer format"},
      {"version 1",
       [](ByteBuffer v) {
         v[8] = 1;
         return v;
       },
       "unsupported BPE tokenizer format"},
      {"other byte order",
       [](ByteBuffer v) {
         std::swap(v[10], v[11]);
         return v;
       },
       "unsupported BPE tokenizer format"},
      {"merge count above the maximum",
       [](ByteBuffer v) {
         putU32(v, 12, 1048319);
         return v;
       },
       "BPE tokenizer length or checksum mismatch"},
      {"payload length one too many",
       [](ByteBuffer v) {
         ++v[16];
         return v;
       },
       "BPE tokenizer length or checksum mismatch"},
      {"payload longer than stated",
       [](ByteBuffer v) {
         v.push_back(0);
         return v;
       },
       "BPE tokenizer length or checksum mismatch"},
      {"flipped last byte",
       [](ByteBuffer v) {
         v.back() ^= 0x01;
         return v;
       },
       "BPE tokenizer length or checksum mismatch"},
      {"flipped checksum",
       [](ByteBuffer v) {
         v[27] ^= 0x80;
         return v;
       },
       "BPE tokenizer length or checksum mismatch"},
      {"one merge more than the records",
       [](ByteBuffer v) {
         putU32(v, 12, 9);
         return v;
       },
       "truncated BPE merge"},
      {"record header cut short",
       [](ByteBuffer v) {
         putU32(v, 12, 9);
         v.insert(v.end(), {1, 0, 0, 0, 1});
         return resealed(v);
       },
       "truncated BPE merge"},
      {"left not yet defined",
       [](ByteBuffer v) {
         putU32(v, kFirstRecord, 256);
         return resealed(v);
       },
       "invalid BPE merge"},
      {"right not yet defined",
       [](ByteBuffer v) {
         putU32(v, kFirstRecord + 4, 256);
         return resealed(v);
       },
       "invalid BPE merge"},
      {"later record names itself",
       [](ByteBuffer v) {
         // The second record (o, j) is token 257.
         putU32(v, kFirstRecord + 14, 257);
         return resealed(v);
       },
       "invalid BPE merge"},
      {"token of one byte",
       [](ByteBuffer v) {
         putU32(v, kFirstRecord + 8, 1);
         return resealed(v);
       },
       "invalid BPE merge"},
      {"token bytes past the end",
       [](ByteBuffer v) {
         v.pop_back();
         return resealed(v);
       },
       "invalid BPE merge"},
      {"token length near 2^32",
       [](ByteBuffer v) {
         putU32(v, kFirstRecord + 8, 0xFFFFFFFF);
         return resealed(v);
       },
       "invalid BPE merge"},
      {"bytes are not the two parts",
       [](ByteBuffer v) {
         v[kFirstRecord + 13] = 'x';
         return resealed(v);
       },
       "BPE merge expansion mismatch"},
      {"parts swapped",
       [](ByteBuffer v) {
         putU32(v, kFirstRecord, 'h');
         putU32(v, kFirstRecord + 4, 'a');
         return resealed(v);
       },
       "BPE merge expansion mismatch"},
      {"longer token claimed",
       [](ByteBuffer v) {
         // Record 0 claims 3 bytes and swallows the next record's first byte;
         // the rest no longer lines up, but the expansion fails first.
         putU32(v, kFirstRecord + 8, 3);
         return resealed(v);
       },
       "BPE merge expansion mismatch"},
      {"one merge fewer than the records",
       [](ByteBuffer v) {
         putU32(v, 12, 7);
         return v;
       },
       "trailing BPE tokenizer data"},
      {"a byte after the last record",
       [](ByteBuffer v) {
         v.push_back(0);
         return resealed(v);
       },
       "trailing BPE tokenizer data"},
  };
  const ByteBuffer original = SubwordTokenizer(workedExampleMerges()).artifact();
  for (const DamageCase& test : cases) {
    SCOPED_TRACE(test.name);
    const ByteBuffer damaged = test.damage(original);
    expectError([&] { (void)loadSubwordTokenizerArtifact(damaged, kSixteenMiB); },
                TokenizerErrorCode::InvalidFormat, test.message);
  }
}

TEST(SubwordTokenizerArtifact, HugeMergeCountInATinyInputIsRefusedWithoutTrustingIt) {
  // A bare 28-byte header that claims a million merges: counts and checksum
  // are consistent, so the loader gets as far as the first missing record.
  ByteBuffer header = SubwordTokenizer({}).artifact();
  putU32(header, 12, 1000000);
  expectError([&] { (void)loadSubwordTokenizerArtifact(header, kSixteenMiB); },
              TokenizerErrorCode::InvalidFormat, "truncated BPE merge");
  putU32(header, 12, kMaxBpeMerges);
  expectError([&] { (void)loadSubwordTokenizerArtifact(header, kSixteenMiB); },
              TokenizerErrorCode::InvalidFormat, "truncated BPE merge");
}

// ---- The fast encoder against the reference ----

// What encode must return: every whitespace run merged on its own by the
// plain rescanning merge, BOS and EOS left out.
Ids referenceEncode(const SubwordTokenizer& tokenizer, std::string_view text) {
  const BpeRankTable ranks = buildBpeRankTable(tokenizer.merges());
  Ids ids;
  for (const std::string_view run : splitWhitespaceRuns(text)) {
    const auto bytes = asBytes(run);
    Ids symbols(bytes.begin(), bytes.end());
    mergeRunReference(symbols, ranks);
    ids.insert(ids.end(), symbols.begin(), symbols.end());
  }
  return ids;
}

// A valid merge list that training would never produce: each merge joins two
// random earlier tokens, repeats of a pair included.
std::vector<BpeMerge> randomMerges(std::size_t count, std::string_view alphabet,
                                   std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::string> tokens;
  std::vector<std::uint32_t> ids;
  for (const char ch : alphabet) {
    tokens.emplace_back(1, ch);
    ids.push_back(static_cast<std::uint8_t>(ch));
  }
  std::vector<BpeMerge> merges;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t left = random() % ids.size();
    const std::size_t right = random() % ids.size();
    merges.push_back(
        BpeMerge{.left = ids[left], .right = ids[right], .bytes = tokens[left] + tokens[right]});
    tokens.push_back(merges.back().bytes);
    ids.push_back(static_cast<std::uint32_t>(256 + i));
  }
  return merges;
}

TEST(SubwordTokenizer, EncodesExactlyLikeTheReferenceOnGeneratedText) {
  std::uint64_t seed = 100;
  for (const TestCorpora::NamedKind& kind : TestCorpora::kAllKinds) {
    const std::string corpus = TestCorpora::generate(kind.kind, 4000, seed++);
    // Texts: the training corpus itself, unseen text of the same kind, and
    // the same text without whitespace (one long run).
    std::string unseen = TestCorpora::generate(kind.kind, 3000, seed++);
    std::string joined;
    std::copy_if(unseen.begin(), unseen.end(), std::back_inserter(joined),
                 [](char ch) { return !isBpeWhitespace(static_cast<std::uint8_t>(ch)); });
    // Training stops after vocabulary - 258 merges and otherwise makes the
    // same choices, so the tokenizer of every smaller vocabulary holds a
    // prefix of the largest one's merges.
    const SubwordTokenizer largest = trainBpeReference(
        corpus,
        BpeTrainingLimits{.vocabularySize = 460, .minPairFrequency = 2, .maxTokenBytes = 24});
    const std::span<const BpeMerge> learned = largest.merges();
    for (std::size_t vocabulary = 258; vocabulary <= 258 + learned.size(); ++vocabulary) {
      const std::span<const BpeMerge> prefix = learned.first(vocabulary - 258);
      const SubwordTokenizer tokenizer(std::vector<BpeMerge>(prefix.begin(), prefix.end()));
      for (const std::string_view text :
           {std::string_view(corpus), std::string_view(unseen), std::string_view(joined)}) {
        ASSERT_EQ(tokenizer.encode(text, {}).ids, referenceEncode(tokenizer, text))
            << kind.name << ", vocabulary " << vocabulary;
      }
    }
  }
}

TEST(SubwordTokenizer, EncodesOverlappingEqualPairsLikeTheReference) {
  // (a, a), then (aa, aa), (aa, a) and (a, aa): runs of a of every length
  // from 1 to 300 cover the short path, the heap path and the uncached path.
  // "a a a" must first become (aa, a), never (a, aa), which (aa, a) then
  // joins into 258.
  const std::vector<BpeMerge> merges = {
      {a, a, "aa"}, {256, 256, "aaaa"}, {256, a, "aaa"}, {a, 256, "aaa"}, {257, 257, "aaaaaaaa"}};
  const SubwordTokenizer tokenizer(merges);
  EXPECT_EQ(tokenizer.encode("aaa", {}).ids, (Ids{258}));
  std::string text;
  for (std::size_t length = 1; length <= 300; ++length) {
    const std::string run(length, 'a');
    ASSERT_EQ(tokenizer.encode(run, {}).ids, referenceEncode(tokenizer, run)) << length;
    text += run + ' ' + run + "b" + run + '\n';
  }
  EXPECT_EQ(tokenizer.encode(text, {}).ids, referenceEncode(tokenizer, text));
}

TEST(SubwordTokenizer, EncodesLikeTheReferenceWithMergesTrainingWouldNeverMake) {
  // Random merge lists over a small alphabet: repeated pairs (the lowest id
  // applies), different merges with the same bytes, tokens made of long
  // chains, merges of a token with itself.
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    // Every other list also joins spaces into tokens, as only a loaded
    // artifact can: such a token is never a whole run.
    const SubwordTokenizer tokenizer(
        randomMerges(60 + seed * 3, seed % 2 == 0 ? "abc" : "ab c", seed));
    const std::string text =
        TestCorpora::generate(TestCorpora::Kind::SkewedAlphabet, 1500, seed + 1000) +
        std::string(100 + seed, 'a') + "abcabcabcabcbbbbbbbbbbbbccccccccccccccccccccccccccccab";
    ASSERT_EQ(tokenizer.encode(text, {}).ids, referenceEncode(tokenizer, text)) << seed;
  }
}

TEST(SubwordTokenizer, ARunSeenAgainInTheSameCallEncodesTheSame) {
  // The second and later occurrences come from the per-call cache; runs of
  // equal hash length but different bytes must not be confused.
  const SubwordTokenizer tokenizer(workedExampleMerges());
  const std::string text = "ahoj světe ahoj ahoi světe ahoj\nahoj  světa světe ahoj";
  EXPECT_EQ(tokenizer.encode(text, {}).ids, referenceEncode(tokenizer, text));
  Ids twice = tokenizer.encode("ahoj světe", {}).ids;
  const Ids once = twice;
  twice.push_back(space);
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(tokenizer.encode("ahoj světe ahoj světe", {}).ids, twice);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
