#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "conformance/checks.hpp"
#include "conformance/fixture.hpp"
#include "conformance/groups.hpp"
#include "lumeth/artifact/container.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/session/inference_session.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/decoder_state.hpp"

namespace Orvane::Core::Lumeth::Conformance {

void streaming_checks() {
  const ByteTokenizer tokenizer;
  const std::string invalid = "\xC3\x28";  // a two-byte lead followed by "("
  const std::string euro = "\xE2\x82\xAC";
  const std::vector<std::uint32_t> euroLead{226};
  const std::vector<std::uint32_t> euroTail{130, 172};
  const std::vector<std::uint32_t> euroIds{226, 130, 172};

  check(
      tokenizer.decode(tokenizer.encode(invalid, EncodeOptions{}).ids, DecodeOptions{}) == invalid,
      "preserve-bytes policy changed data");

  const EncodeOptions reject{.invalidUtf8 = InvalidUtf8Policy::Reject};
  expectTokenizerError([&] { (void)tokenizer.encode(invalid, reject); },
                       TokenizerErrorCode::InvalidUtf8, "invalid UTF-8 was accepted");

  const EncodeOptions replace{.invalidUtf8 = InvalidUtf8Policy::Replace};
  check(tokenizer.decode(tokenizer.encode(invalid, replace).ids, DecodeOptions{}) ==
            "\xEF\xBF\xBD\x28",
        "replacement policy is unstable");

  const std::vector<std::uint32_t> unknown{999};
  expectTokenizerError([&] { (void)tokenizer.decode(unknown, DecodeOptions{}); },
                       TokenizerErrorCode::TokenIdOutOfRange, "invalid token ID was accepted");

  const DecodeOptions strict{.skipSpecialTokens = false, .invalidUtf8 = InvalidUtf8Policy::Reject};
  DecoderState streaming(strict);
  check(decodeChunk(streaming, euroLead, false).empty(), "partial UTF-8 was emitted");

  // The resumed states are built from default options: the policy they
  // continue under (Reject) comes from the stored bytes.
  const ByteBuffer serialized = serializeDecoderState(streaming);
  DecoderState resumed{DecodeOptions{}};
  parseDecoderState(resumed, serialized);
  check(decodeChunk(resumed, euroTail, true) == euro, "streaming UTF-8 continuation diverged");

  check(tokenizer.decode(euroIds, strict) == euro, "one-shot and streaming decode differ");

  // The decoder state carried through a session file.
  ArtifactLimits limits;
  limits.max_file_bytes = 0x40000000;
  limits.max_manifest_bytes = 0x1000000;
  limits.max_tensor_bytes = 0x20000000;
  limits.max_tensor_count = 100000;
  limits.max_tensor_rank = 8;
  limits.max_input_tokens = 0x100000;
  limits.max_tokenizer_state_bytes = 0x100000;
  limits.max_cache_bytes = 0x20000000;

  const std::shared_ptr<const TransformerModel> model = make_bound_test_model(tokenizer);
  InferenceSession saved(model, 1);
  saved.set_tokenizer_state(serialized);
  const ByteBuffer file = saved.save();
  InferenceSession restored(model, 1);
  restored.restore(file, limits);
  check(restored.tokenizer_state() == serialized, "decoder state was not preserved by CTS");

  DecoderState continued{DecodeOptions{}};
  parseDecoderState(continued, restored.tokenizer_state());
  check(decodeChunk(continued, euroTail, true) == euro, "CTS decoder continuation diverged");

  ArtifactLimits tight = limits;
  tight.max_tokenizer_state_bytes = 1;
  bool refused = false;
  try {
    restored.restore(file, tight);
  } catch (const std::invalid_argument&) {
    refused = true;
  }
  check(refused, "tokenizer-state limit was not enforced");
}

}  // namespace Orvane::Core::Lumeth::Conformance
