// InferenceSession::restore of any bytes into a session over the test model
// (bound to the byte tokenizer, or its unbound twin), with the default limits
// and with small ones.
//
// Input: one flag byte (bit 0: the unbound model; bits 1-2: limit profile;
// bit 3: step in single precision; bits 4-7: the id to step), then the
// session file. Each file is restored three ways: as it is, with its global
// checksum recomputed, and with every row checksum and then the global
// checksum recomputed, so that mutations reach the checks behind the
// checksums.
//
// Properties: only std::invalid_argument escapes; a failed restore leaves
// the session's save() bytes exactly as they were; a restore that succeeds
// leaves a session within the limits and the model's bounds whose own file
// restores into a fresh session with the same limits and saves to the same
// bytes. The restored session is then stepped once with the flag byte's id:
// the step either refuses with a documented error (std::invalid_argument for
// a cache that does not fit the model or a full context, std::domain_error
// for a non-finite value) and leaves save() as it was, or returns one finite
// logits row and leaves input tokens, position and cache in agreement.

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "conformance/fixture.hpp"
#include "fuzz/container_support.hpp"
#include "fuzz/fuzz_support.hpp"
#include "lumeth/session/inference_session.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/decoder_state.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

struct Models {
  std::shared_ptr<const TransformerModel> bound;
  std::shared_ptr<const TransformerModel> unbound;
};

const Models& models() {
  static const Models built = [] {
    Models m;
    m.bound = Conformance::make_bound_test_model(ByteTokenizer());
    m.unbound = make_model(Conformance::make_test_spec(258), Conformance::make_test_weights(258));
    return m;
  }();
  return built;
}

// A session with something in every member, so that a partial update by a
// failed restore would show in its file.
InferenceSession startingSession(const std::shared_ptr<const TransformerModel>& model) {
  InferenceSession session(model, 7);
  if (model->tokenizerHash()) {
    DecoderState state;
    (void)decodeChunk(state, std::vector<std::uint32_t>{0xE2}, false);
    session.set_tokenizer_state(serializeDecoderState(state));
  }
  return session;
}

// One step's outcome: false when it returned, true when it refused with a
// documented error; anything else is a finding.
template <typename Call>
bool stepRefused(Call&& call) {
  try {
    call();
  } catch (const std::invalid_argument&) {
    return true;
  } catch (const std::domain_error&) {
    return true;
  } catch (const std::exception& error) {
    undocumentedException(error.what());
  } catch (...) {
    undocumentedException("(not a std::exception)");
  }
  return false;
}

void checkStep(InferenceSession& session, std::uint32_t id, bool fullPrecision) {
  const TransformerSpec& spec = session.model()->spec();
  const ByteBuffer before = session.save();
  const std::uint64_t position = session.position();
  ForwardOptions options;
  options.full_precision = fullPrecision;
  Tensor logits;
  const std::vector<std::uint32_t> ids{id};
  if (stepRefused([&] { logits = session.append(ids, options); })) {
    LUMETH_FUZZ_CHECK(session.save() == before);
    return;
  }
  LUMETH_FUZZ_CHECK(logits.shape == (std::vector<std::size_t>{1, spec.vocabulary}));
  for (const double value : logits.data) LUMETH_FUZZ_CHECK(std::isfinite(value));
  LUMETH_FUZZ_CHECK(session.position() == position + 1);
  LUMETH_FUZZ_CHECK(session.input_tokens().size() == position + 1 &&
                    session.input_tokens().back() == id);
  LUMETH_FUZZ_CHECK(session.cache().size() == 2 * std::size_t{spec.layers});
  const std::vector<std::size_t> rows{position + 1, std::size_t{spec.kv_heads} * spec.head_dim};
  for (const Tensor& tensor : session.cache()) {
    LUMETH_FUZZ_CHECK(tensor.shape == rows && tensor.data.size() == element_count(rows));
  }
}

void checkRestore(const std::shared_ptr<const TransformerModel>& model,
                  std::span<const std::uint8_t> file, const ArtifactLimits& limits,
                  std::uint32_t stepId, bool stepFullPrecision) {
  InferenceSession session = startingSession(model);
  const ByteBuffer before = session.save();
  const auto error = invalidArgumentOutcome([&] { session.restore(file, limits); });
  if (error) {
    LUMETH_FUZZ_CHECK(session.save() == before);
    return;
  }
  const TransformerSpec& spec = model->spec();
  LUMETH_FUZZ_CHECK(session.position() <= spec.context);
  LUMETH_FUZZ_CHECK(session.setting() != 0);
  LUMETH_FUZZ_CHECK(session.input_tokens().size() <= spec.context &&
                    session.input_tokens().size() <= limits.max_input_tokens);
  for (const std::uint32_t id : session.input_tokens()) LUMETH_FUZZ_CHECK(id < spec.vocabulary);
  LUMETH_FUZZ_CHECK(session.tokenizer_state().size() <= limits.max_tokenizer_state_bytes);
  LUMETH_FUZZ_CHECK(session.tokenizer_state().empty() || model->tokenizerHash());
  LUMETH_FUZZ_CHECK(session.cache().size() <= limits.max_tensor_count);
  std::uint64_t cacheBytes = 0;
  for (const Tensor& tensor : session.cache()) {
    LUMETH_FUZZ_CHECK(tensor.full_precision && tensor.data.size() == element_count(tensor.shape));
    for (const double value : tensor.data) LUMETH_FUZZ_CHECK(std::isfinite(value));
    cacheBytes += 8 * tensor.data.size();
  }
  LUMETH_FUZZ_CHECK(cacheBytes <= limits.max_cache_bytes);

  const ByteBuffer saved = session.save();
  InferenceSession again(model, 1);
  LUMETH_FUZZ_CHECK(!invalidArgumentOutcome([&] { again.restore(saved, limits); }));
  LUMETH_FUZZ_CHECK(again.save() == saved);

  checkStep(session, stepId, stepFullPrecision);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::span<const std::uint8_t> file = bytesOf(data + 1, size - 1);
  const auto& model = (flags & 1) != 0 ? models().unbound : models().bound;
  const ArtifactLimits limits = limitsProfile(static_cast<std::uint8_t>((flags >> 1) & 3));
  const bool stepFullPrecision = (flags & 8) == 0;
  const std::uint32_t stepId = flags >> 4;

  checkRestore(model, file, limits, stepId, stepFullPrecision);
  const ByteBuffer globallyRepaired = withGlobalChecksum(file);
  if (!std::equal(file.begin(), file.end(), globallyRepaired.begin(), globallyRepaired.end())) {
    checkRestore(model, globallyRepaired, limits, stepId, stepFullPrecision);
  }
  const std::optional<ByteBuffer> fullyRepaired = withAllChecksums(file);
  if (fullyRepaired && *fullyRepaired != globallyRepaired) {
    checkRestore(model, *fullyRepaired, limits, stepId, stepFullPrecision);
  }
  return 0;
}
