// encode and decode of the byte tokenizer, a trained BPE tokenizer and a chat
// tokenizer over each, with fuzzer-chosen text, options (every value of the
// one-byte enumerations, and of the chat tokenizer's marker handling) and
// ids.
//
// Properties: encode and decode give exactly what the reference gives (ids,
// text or error code); under PreserveBytes decode(encode(x)) is x, for a chat
// tokenizer x without the markers encode matched (all of x under
// TreatAsText, where no marker id comes out); a decode streamed in chunks cut
// anywhere, with its state serialized and parsed at every cut, equals the
// one-shot decode: byte ids through the byte decoder (decodeChunk), and the
// fuzzed ids of every tokenizer (BPE and chat ids included) through a
// TextStream, whose failed chunks leave its state as it was and whose state
// keeps the decoder-state invariant.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference.hpp"
#include "fuzz/tokenizer_fixtures.hpp"
#include "lumeth/tokenizers/decoder_state.hpp"
#include "lumeth/tokenizers/text_stream.hpp"
#include "lumeth/tokenizers/utf8.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

constexpr std::size_t kMaxText = 1024;
constexpr std::size_t kMaxIds = 512;
constexpr std::size_t kMaxCuts = 8;

// `markers`: the chat tokenizer's marker handling byte; 0 (Parse) goes
// through the interface's encode, other values through the chat overload.
void checkEncode(TokenizerKind kind, std::string_view text, const EncodeOptions& options,
                 std::uint8_t markers) {
  const ITransformerTokenizer& tokenizer = fuzzTokenizers().get(kind);
  const TokenizerDescriptor descriptor = tokenizer.descriptor();
  if (!isChat(kind)) markers = 0;
  EncodedText encoded;
  const auto error = tokenizerOutcome([&] {
    encoded = markers == 0 ? tokenizer.encode(text, options)
                           : static_cast<const ChatTokenizer&>(tokenizer).encode(
                                 text, options, static_cast<MarkerHandling>(markers));
  });
  const ExpectedIds expected = referenceEncode(kind, text, options, markers);
  LUMETH_FUZZ_CHECK(error == expected.error);
  if (error) return;
  LUMETH_FUZZ_CHECK(encoded.ids == expected.ids);
  LUMETH_FUZZ_CHECK(encoded.tokenizerHash == descriptor.hash);

  if (options.invalidUtf8 == InvalidUtf8Policy::PreserveBytes) {
    const bool asText = markers == static_cast<std::uint8_t>(MarkerHandling::TreatAsText);
    const std::string original =
        isChat(kind) && !asText ? withoutChatMarkers(text) : std::string(text);
    std::string decoded;
    LUMETH_FUZZ_CHECK(!tokenizerOutcome([&] {
      decoded = tokenizer.decode(encoded.ids, DecodeOptions{.skipSpecialTokens = true});
    }));
    LUMETH_FUZZ_CHECK(decoded == original);
  }
  if (options.invalidUtf8 == InvalidUtf8Policy::Replace) {
    // Replacing leaves nothing that Reject would refuse.
    std::string decoded;
    LUMETH_FUZZ_CHECK(!tokenizerOutcome([&] {
      decoded = tokenizer.decode(
          encoded.ids,
          DecodeOptions{.skipSpecialTokens = true, .invalidUtf8 = InvalidUtf8Policy::Reject});
    }));
    LUMETH_FUZZ_CHECK(isWellFormedUtf8(decoded));
  }
}

void checkDecode(TokenizerKind kind, std::span<const std::uint32_t> ids,
                 const DecodeOptions& options) {
  const ITransformerTokenizer& tokenizer = fuzzTokenizers().get(kind);
  std::string text;
  const auto error = tokenizerOutcome([&] { text = tokenizer.decode(ids, options); });
  const ExpectedText expected = referenceDecode(kind, ids, options);
  LUMETH_FUZZ_CHECK(error == expected.error);
  if (!error) LUMETH_FUZZ_CHECK(text == expected.text);
}

// Byte ids decoded in chunks ending at `cuts` (ascending positions), the state
// carried through its record between chunks, against the one-shot decode.
void checkStreaming(std::span<const std::uint32_t> ids, std::vector<std::size_t> cuts,
                    const DecodeOptions& options) {
  std::string oneShot;
  const auto oneShotError =
      tokenizerOutcome([&] { oneShot = fuzzTokenizers().byte->decode(ids, options); });

  std::optional<TokenizerErrorCode> streamError;
  std::string streamed;
  std::optional<DecoderState> state;
  streamError = tokenizerOutcome([&] { state.emplace(options); });
  cuts.push_back(ids.size());
  std::size_t begin = 0;
  for (std::size_t c = 0; !streamError && c < cuts.size(); ++c) {
    const std::size_t end = std::clamp(cuts[c], begin, ids.size());
    const bool final = c + 1 == cuts.size();
    streamError = tokenizerOutcome(
        [&] { streamed += decodeChunk(*state, ids.subspan(begin, end - begin), final); });
    if (!streamError && !final) {
      DecoderState resumed;
      parseDecoderState(resumed, serializeDecoderState(*state));
      state.emplace(std::move(resumed));
    }
    begin = end;
  }
  LUMETH_FUZZ_CHECK(streamError.has_value() == oneShotError.has_value());
  if (!streamError) {
    LUMETH_FUZZ_CHECK(streamed == oneShot);
  } else if (*streamError != TokenizerErrorCode::InvalidUtf8) {
    // Ids are judged before bytes, so the streamed run can meet bad UTF-8 in
    // an early chunk before the bad id that the one-shot decode reports;
    // any other failure is the one-shot failure.
    LUMETH_FUZZ_CHECK(streamError == oneShotError);
  }
}

// The ids of `kind` decoded by a TextStream in chunks ending at `cuts`, the
// state carried through its record into a fresh stream between chunks,
// against the tokenizer's one-shot decode.
void checkTextStream(TokenizerKind kind, std::span<const std::uint32_t> ids,
                     std::vector<std::size_t> cuts, const DecodeOptions& options) {
  const ITransformerTokenizer& tokenizer = fuzzTokenizers().get(kind);
  std::string oneShot;
  const auto oneShotError = tokenizerOutcome([&] { oneShot = tokenizer.decode(ids, options); });

  std::optional<TextStream> stream;
  std::optional<TokenizerErrorCode> streamError =
      tokenizerOutcome([&] { stream.emplace(tokenizer, options); });
  std::string streamed;
  cuts.push_back(ids.size());
  std::size_t begin = 0;
  for (std::size_t c = 0; !streamError && c < cuts.size(); ++c) {
    const std::size_t end = std::clamp(cuts[c], begin, ids.size());
    const bool final = c + 1 == cuts.size();
    const DecoderState before = stream->state();
    streamError = tokenizerOutcome(
        [&] { streamed += stream->decode(ids.subspan(begin, end - begin), final); });
    const DecoderState& after = stream->state();
    if (streamError) {
      LUMETH_FUZZ_CHECK(after.pending == before.pending);
      break;
    }
    LUMETH_FUZZ_CHECK(after.pending.size() <= 3);
    if (final) LUMETH_FUZZ_CHECK(after.pending.empty());
    if (!after.pending.empty()) {
      LUMETH_FUZZ_CHECK(classifyUtf8(after.pending, 0).status == Utf8Status::Incomplete);
    }
    if (!final) {
      TextStream resumed(tokenizer, DecodeOptions{});
      resumed.parseState(stream->serializeState());
      LUMETH_FUZZ_CHECK(resumed.state().pending == after.pending &&
                        resumed.state().policy == after.policy &&
                        resumed.state().skipSpecialTokens == after.skipSpecialTokens);
      stream.emplace(std::move(resumed));
    }
    begin = end;
  }
  LUMETH_FUZZ_CHECK(streamError.has_value() == oneShotError.has_value());
  if (!streamError) {
    LUMETH_FUZZ_CHECK(streamed == oneShot);
  } else if (*streamError != TokenizerErrorCode::InvalidUtf8 &&
             *streamError != TokenizerErrorCode::UnsupportedOption) {
    // Bad UTF-8 can surface in an early chunk before a bad id that the
    // one-shot decode reports, and a stream judges the policy when it is
    // built, where a BPE decode judges its ids first; any other failure is
    // the one-shot failure.
    LUMETH_FUZZ_CHECK(streamError == oneShotError);
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  FuzzedDataProvider input(data, size);
  const auto kind = static_cast<TokenizerKind>(
      input.ConsumeIntegralInRange<std::uint8_t>(0, kTokenizerKinds - 1));
  const EncodeOptions encodeOptions = consumeEncodeOptions(input);
  const DecodeOptions decodeOptions = consumeDecodeOptions(input);
  // Any byte; read by the chat tokenizers only.
  const auto markers = input.ConsumeIntegral<std::uint8_t>();
  std::vector<std::size_t> cuts(input.ConsumeIntegralInRange<std::size_t>(0, kMaxCuts));
  for (std::size_t& cut : cuts) cut = input.ConsumeIntegralInRange<std::size_t>(0, kMaxIds);
  std::sort(cuts.begin(), cuts.end());
  const std::string text = input.ConsumeRandomLengthString(kMaxText);
  const std::uint32_t vocabulary = fuzzTokenizers().get(kind).descriptor().vocabularySize;
  const std::vector<std::uint32_t> ids = consumeTokenIds(input, vocabulary, kMaxIds);

  checkEncode(kind, text, encodeOptions, markers);
  checkDecode(kind, ids, decodeOptions);

  // The byte decoder decodes byte ids: the ids themselves for the byte
  // tokenizer, the encoded text otherwise. A TextStream decodes any kind's.
  if (kind == TokenizerKind::Byte) {
    checkStreaming(ids, cuts, decodeOptions);
  } else {
    const EncodedText bytes = fuzzTokenizers().byte->encode(text, EncodeOptions{});
    checkStreaming(bytes.ids, cuts, decodeOptions);
  }
  checkTextStream(kind, ids, cuts, decodeOptions);
  return 0;
}
