// load_model over any bytes, for the test model's spec (tied embeddings) or
// its untied twin, with the default limits and with small ones.
//
// Input: one flag byte (bit 0: the untied spec; bits 1-2: limit profile),
// then the artifact. Each artifact is loaded three ways: as it is, with its
// global checksum recomputed, and with every row checksum and then the
// global checksum recomputed, so that mutations reach the checks behind the
// checksums.
//
// Properties: only std::invalid_argument escapes; a load that succeeds keeps
// exactly the input as its artifact, with its checksum as identity; its
// weights are finite and full precision; and make_model over those weights,
// the spec and the stored binding writes exactly the input again (the loader
// is the inverse of the writer).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "conformance/fixture.hpp"
#include "fuzz/container_support.hpp"
#include "fuzz/fuzz_support.hpp"
#include "lumeth/artifact/model.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

TransformerSpec specFor(bool untied) {
  TransformerSpec spec = Conformance::make_test_spec(258);
  spec.tied_embeddings = !untied;
  return spec;
}

void checkLoad(const TransformerSpec& spec, std::span<const std::uint8_t> bytes,
               const ArtifactLimits& limits) {
  const ByteBuffer input(bytes.begin(), bytes.end());
  std::shared_ptr<const TransformerModel> model;
  if (invalidArgumentOutcome([&] { model = load_model(input, spec, limits); })) return;

  LUMETH_FUZZ_CHECK(model->artifact() == input);
  LUMETH_FUZZ_CHECK(model->identity() == artifact_checksum(input));
  LUMETH_FUZZ_CHECK(model->spec() == spec);
  for (const NamedWeightTensor& named : named_weight_tensors(model->weights())) {
    const Tensor& tensor = named.tensor;
    LUMETH_FUZZ_CHECK(tensor.full_precision);
    // A tied model's output embedding is never read and loads as stored.
    if (spec.tied_embeddings && named.name == "output_embedding") continue;
    LUMETH_FUZZ_CHECK(std::all_of(tensor.data.begin(), tensor.data.end(),
                                  [](double value) { return std::isfinite(value); }));
  }

  TransformerWeights weights = model->weights();
  const std::shared_ptr<const TransformerModel> rebuilt =
      model->tokenizerHash() ? make_model(spec, std::move(weights), *model->tokenizerHash())
                             : make_model(spec, std::move(weights));
  LUMETH_FUZZ_CHECK(rebuilt->artifact() == input);
  LUMETH_FUZZ_CHECK(rebuilt->identity() == model->identity());
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::span<const std::uint8_t> artifact = bytesOf(data + 1, size - 1);
  const TransformerSpec spec = specFor((flags & 1) != 0);
  const ArtifactLimits limits = limitsProfile(static_cast<std::uint8_t>((flags >> 1) & 3));

  checkLoad(spec, artifact, limits);
  const ByteBuffer globallyRepaired = withGlobalChecksum(artifact);
  if (!std::equal(artifact.begin(), artifact.end(), globallyRepaired.begin(),
                  globallyRepaired.end())) {
    checkLoad(spec, globallyRepaired, limits);
  }
  const std::optional<ByteBuffer> fullyRepaired = withAllChecksums(artifact);
  if (fullyRepaired && *fullyRepaired != globallyRepaired) {
    checkLoad(spec, *fullyRepaired, limits);
  }
  return 0;
}
