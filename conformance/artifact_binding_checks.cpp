#include <cstdint>
#include <memory>

#include "conformance/checks.hpp"
#include "conformance/fixture.hpp"
#include "conformance/groups.hpp"
#include "lumeth/artifact/model.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/tokenizers/binding.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Conformance {

void artifact_binding_checks() {
  constexpr std::uint64_t kOneMiB = 0x100000;
  const ByteTokenizer tokenizer;
  const TokenizerDescriptor descriptor = tokenizer.descriptor();

  const ByteTokenizer loaded = loadByteTokenizerArtifact(tokenizer.artifact(), kOneMiB);
  check(loaded.descriptor().hash == descriptor.hash && loaded.artifact() == tokenizer.artifact(),
        "tokenizer artifact round trip failed");

  ByteBuffer corrupt = tokenizer.artifact();
  corrupt.back() ^= 0x01;
  expectTokenizerError([&] { (void)loadByteTokenizerArtifact(corrupt, kOneMiB); },
                       TokenizerErrorCode::InvalidFormat, "corrupt tokenizer artifact accepted");

  const ByteBuffer truncated(tokenizer.artifact().begin(), tokenizer.artifact().begin() + 10);
  expectTokenizerError([&] { (void)loadByteTokenizerArtifact(truncated, kOneMiB); },
                       TokenizerErrorCode::InvalidFormat, "truncated tokenizer artifact accepted");

  expectTokenizerError([&] { (void)loadByteTokenizerArtifact(tokenizer.artifact(), 8); },
                       TokenizerErrorCode::InvalidFormat, "tokenizer artifact size limit ignored");

  const std::shared_ptr<const TransformerModel> bound = make_bound_test_model(tokenizer);
  check(encodeForModel(*bound, tokenizer, "ok", EncodeOptions{}).tokenizerHash == descriptor.hash,
        "bound text API failed");

  const std::shared_ptr<const TransformerModel> wrongHash =
      make_model(make_test_spec(258), make_test_weights(258), "wrong-tokenizer");
  expectTokenizerError([&] { validateTokenizerBinding(*wrongHash, tokenizer); },
                       TokenizerErrorCode::BindingMismatch, "tokenizer hash mismatch accepted");

  const std::shared_ptr<const TransformerModel> unbound =
      make_model(make_test_spec(258), make_test_weights(258));
  expectTokenizerError([&] { validateTokenizerBinding(*unbound, tokenizer); },
                       TokenizerErrorCode::BindingMismatch,
                       "unbound model accepted text tokenizer");

  const std::shared_ptr<const TransformerModel> wrongVocabulary =
      make_model(make_test_spec(257), make_test_weights(257), descriptor.hash);
  expectTokenizerError([&] { validateTokenizerBinding(*wrongVocabulary, tokenizer); },
                       TokenizerErrorCode::BindingMismatch, "vocabulary mismatch accepted");

  // The token-id interface needs no tokenizer: an unbound model runs on ids.
  // Any exception ends the run with its own message.
  const TokenBatch batch{
      .batch_size = 1, .width = 1, .tokens = {65}, .lengths = {}, .target_mask = {}};
  const ForwardOptions options{.full_precision = false, .observer = {}, .compute_logits = true};
  (void)forward(unbound->spec(), unbound->weights(), batch, options);
}

}  // namespace Orvane::Core::Lumeth::Conformance
