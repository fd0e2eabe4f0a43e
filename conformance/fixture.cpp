#include "conformance/fixture.hpp"

#include <utility>

#include "lumeth/spec/default_ports.hpp"

namespace Orvane::Core::Lumeth::Conformance {

TransformerSpec make_test_spec(std::uint32_t vocabulary) {
  TransformerSpec spec;
  spec.vocabulary = vocabulary;
  spec.context = 512;
  spec.layers = 1;
  spec.model_dim = 2;
  spec.ffn_dim = 3;
  spec.query_heads = 1;
  spec.kv_heads = 1;
  spec.head_dim = 2;
  spec.tied_embeddings = true;
  spec.ports = default_model_ports(vocabulary);
  return spec;
}

TransformerWeights make_test_weights(std::uint32_t vocabulary) {
  TransformerWeights weights;
  weights.token_embedding = make_filled_tensor({vocabulary, 2}, 0.01);
  LayerWeights layer;
  layer.attention_norm = make_filled_tensor({2}, 1.0);
  layer.query = make_filled_tensor({2, 2}, 0.0);
  layer.key = make_filled_tensor({2, 2}, 0.0);
  layer.value = make_filled_tensor({2, 2}, 0.0);
  layer.attention_output = make_filled_tensor({2, 2}, 0.0);
  layer.ffn_norm = make_filled_tensor({2}, 1.0);
  layer.ffn_gate = make_filled_tensor({3, 2}, 0.0);
  layer.ffn_up = make_filled_tensor({3, 2}, 0.0);
  layer.ffn_down = make_filled_tensor({2, 3}, 0.0);
  weights.layers.push_back(std::move(layer));
  weights.final_norm = make_filled_tensor({2}, 1.0);
  return weights;
}

Tensor make_filled_tensor(std::vector<std::size_t> shape, double value) {
  return Tensor(std::move(shape), value, true);
}

std::shared_ptr<const TransformerModel> make_bound_test_model(
    const ITransformerTokenizer& tokenizer) {
  TokenizerDescriptor descriptor = tokenizer.descriptor();
  TransformerWeights weights = make_test_weights(258);
  const TransformerSpec spec = make_test_spec(258);
  return make_model(spec, std::move(weights), std::move(descriptor.hash));
}

}  // namespace Orvane::Core::Lumeth::Conformance
