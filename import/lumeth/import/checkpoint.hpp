#pragma once

// Importing checkpoints trained elsewhere: a directory in the common
// decoder-only layout (a config.json and safetensors weights, as published
// for models of the "llama" and "mistral" types) becomes a TransformerSpec
// and TransformerWeights, or directly a TransformerModel.
//
// Directory: config.json, and either model.safetensors or the sharded form,
// model.safetensors.index.json whose "weight_map" maps every tensor name to
// the shard file (a plain file name in the same directory) that holds it.
// Nothing else in the directory is read; in particular the checkpoint's own
// tokenizer is not, because Lumeth's tokenizers cannot represent it:
// imported models run on token ids.
//
// Configuration (config.json, one JSON object; keys not named here, such as
// torch_dtype or bos_token_id, do not change the computation and are
// ignored):
//   model_type               "llama" or "mistral"; required
//   vocab_size               -> vocabulary                     required
//   max_position_embeddings  -> context                        required
//   num_hidden_layers        -> layers                         required
//   hidden_size              -> model_dim                      required
//   intermediate_size        -> ffn_dim                        required
//   num_attention_heads      -> query_heads                    required
//   num_key_value_heads      -> kv_heads       absent or null: num_attention_heads
//   head_dim                 -> head_dim       absent or null: hidden_size / num_attention_heads
//   rms_norm_eps             -> normalization.epsilon          required
//   rope_theta               -> position.rope_base             absent:
//                            rope_parameters.rope_theta, else 10000
//   tie_word_embeddings      -> tied_embeddings                absent: false
//   hidden_act               "silu" -> swiglu, "gelu" (exact, erf) -> gelu_mlp;
//                            absent: "silu"; anything else is refused
// Integers must be JSON integers from 1 to 2^32 - 1, the two reals finite and
// positive, tie_word_embeddings a boolean, the texts strings. The spec gets
// position kind rope, normalization rms_norm, precision codes 0 and the
// ports of default_model_ports (lumeth/spec/default_ports.hpp).
//
// Refused by name, never approximated:
//   attention_bias or mlp_bias true; rope_scaling not null; rope_parameters
//   other than {"rope_type": "default"} (optionally with "rope_theta", which
//   then stands for the top-level key when that is absent);
//   a sliding window in effect: "sliding_window" a number below
//   max_position_embeddings while "use_sliding_window" is not false (a
//   window that covers every position the model accepts is plain causal
//   attention); partial_rotary_factor other than 1; any tensor ending in
//   ".bias"; a gate projection with hidden_act "gelu" (a gated GELU, which
//   Lumeth's gelu_mlp is not); any other tensor the importer does not map.
//
// Tensors (N = layer index in decimal; shapes as [rows, cols], d =
// hidden_size, q = heads * head_dim, kv = kv_heads * head_dim, f =
// intermediate_size, V = vocab_size), each must be present exactly once:
//   model.embed_tokens.weight                   [V, d]   token_embedding
//   model.layers.N.input_layernorm.weight       [d]      attention_norm
//   model.layers.N.self_attn.q_proj.weight      [q, d]   query (rows permuted, below)
//   model.layers.N.self_attn.k_proj.weight      [kv, d]  key (rows permuted, below)
//   model.layers.N.self_attn.v_proj.weight      [kv, d]  value
//   model.layers.N.self_attn.o_proj.weight      [d, q]   attention_output
//   model.layers.N.post_attention_layernorm.weight  [d]  ffn_norm
//   model.layers.N.mlp.gate_proj.weight         [f, d]   ffn_gate (silu only)
//   model.layers.N.mlp.up_proj.weight           [f, d]   ffn_up
//   model.layers.N.mlp.down_proj.weight         [d, f]   ffn_down
//   model.norm.weight                           [d]      final_norm
//   lm_head.weight                              [V, d]   output_embedding (untied)
// With "gelu" a layer computes down_proj(gelu(up_proj(x))): there is no
// gate_proj, and ffn_gate, whose shape the forward pass requires but whose
// values gelu_mlp never reads, is filled with zeros. With tied embeddings
// lm_head.weight is normally absent; when present it must equal
// model.embed_tokens.weight value for value, and it is not kept.
//
// Rotary layout. Lumeth rotates the adjacent pairs (2i, 2i+1) of each head
// by the angle of frequency i. Checkpoints of this layout (and the
// frameworks that run them) rotate the halves instead: element i with
// element i + head_dim/2. The two agree once each head's rows of the query
// and key projections are reordered so that row 2i takes the checkpoint's
// row i and row 2i+1 its row i + head_dim/2; query·key dot products are
// unchanged by a shared reordering. RotaryLayout::half_split (the default)
// does this; RotaryLayout::adjacent_pairs keeps the rows, for checkpoints
// written in the interleaved convention.
//
// Checks, in this order; each failure is an ImportError (a
// std::invalid_argument) with the message shown and subject() as noted:
//   "checkpoint directory has no config.json"          (the path)
//   "checkpoint file exceeds size limit"               (the file name)
//                                                      config.json above
//                                                      limits.max_json_bytes
//   "checkpoint configuration is not valid json"       (a key repeated within
//                                                      an object counts as
//                                                      invalid, as do nesting
//                                                      deeper than 64 and a
//                                                      number beyond the range
//                                                      of doubles)
//   "checkpoint configuration is not a json object"
//   then the keys, in the order of the table above, model_type first:
//   "checkpoint configuration lacks a required key"    (the key)
//   "checkpoint configuration value is invalid"        (the key)
//   "checkpoint model type is not supported"           (the value)
//   "checkpoint activation is not supported"           (the value)
//   then the refusals, in this order:
//   "checkpoint uses attention biases", "checkpoint uses feed-forward biases",
//   "checkpoint uses rotary scaling", "checkpoint uses sliding-window
//   attention", "checkpoint uses partial rotary encoding" (each: the key)
//   "checkpoint configuration does not describe a valid model"
//                                  (the first validate_spec finding, as
//                                  "<field>: <message>", e.g. "model_dim:
//                                  must equal query_heads * head_dim")
//   "checkpoint exceeds the weight limit"  the weights would hold more than
//                                  limits.max_weight_values doubles
//   "checkpoint directory has no safetensors weights"   (the path)
//   "checkpoint directory has both a single weights file and an index"
//   for a sharded checkpoint:
//   "checkpoint file exceeds size limit"  (the index's name) as for config.json
//   "checkpoint index is not valid json", "checkpoint index is malformed"
//                                  (not an object whose "weight_map" is an
//                                  object of strings)
//   "checkpoint index names an invalid shard file"  (the name: empty, ".",
//                                  "..", or holding "/" or a NUL byte)
//   each weights file, shards in name order: every check of SafetensorsFile
//   (safetensors.hpp), under limits.safetensors
//   "checkpoint index maps a tensor its shard does not hold"  (the tensor)
//   "checkpoint shard holds a tensor the index does not map to it" (the tensor)
//   then the tensor set, tensors in name order:
//   "checkpoint uses a gated gelu feed-forward"       (the gate tensor)
//   "checkpoint has bias tensors"                     (the tensor)
//   "checkpoint lacks a tensor"                       (the tensor; in the
//                                                     order of the table)
//   "checkpoint has a tensor the importer does not map"  (the tensor)
//   "checkpoint tensor has the wrong shape"           (the tensor; in the
//                                                     order of the table)
//   then the values, tensor by tensor in the order of the table:
//   "checkpoint tensor holds NaN or infinity"         (the tensor)
//   "checkpoint ties its embeddings but its lm_head differs"
// Files that cannot be opened or read throw std::filesystem::filesystem_error.
//
// Values: every stored value is widened to binary64 exactly (F64, F32, BF16
// and F16 weights alike); the import changes no value, it only reorders the
// query and key rows.
//
// Memory and size. Weights are held as doubles, 8 bytes per value whatever
// the stored dtype; import_checkpoint needs that, plus one tensor's worth
// when a tied checkpoint also stores lm_head.weight, plus 1 MiB of read
// buffer. make_model then builds the model artifact, another 8 bytes per
// value, so import_model peaks at 16 bytes per value (measured: 2383 MiB for
// 155.7 million values); loading the written artifact back needs the same.
// On a machine with 24 GiB of memory that allows models of about 1.3 billion
// values (19.4 GiB, leaving room for the system and the activations), the
// default limits.max_weight_values. A value here is a parameter, plus the
// zero gate of a gelu model.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/artifact/model.hpp"
#include "lumeth/import/import_error.hpp"
#include "lumeth/import/safetensors.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {

// Which elements of a head the checkpoint rotates together (see above).
enum class RotaryLayout : std::uint8_t {
  half_split = 0,      // (i, i + head_dim/2), published checkpoints: rows reordered
  adjacent_pairs = 1,  // (2i, 2i + 1), Lumeth's own: rows kept
};

struct CheckpointLimits {
  // config.json and the index file, 16 MiB each: real ones hold kilobytes
  // (the index of a checkpoint with a thousand tensors, about 100 KB), and
  // the parsed document takes many times the text's size.
  std::uint64_t max_json_bytes = 16777216;
  SafetensorsLimits safetensors;  // each weights file
  // Doubles the weights may hold: the parameter count, plus ffn_dim *
  // model_dim per layer for the zero gate of a gelu model.
  std::uint64_t max_weight_values = 1300000000;
};

struct ImportOptions {
  RotaryLayout rotary_layout = RotaryLayout::half_split;
  CheckpointLimits limits;
};

// Where one tensor of the imported weights came from.
struct ImportedTensor {
  std::string name;    // its name in the model artifact, e.g. "layers.0.query"
  std::string source;  // the checkpoint tensor, empty for a gelu model's zero gate
  std::string file;    // the weights file holding it, empty when source is
  SafetensorsDType dtype = SafetensorsDType::f64;  // as stored (f64 for the zero gate)

  friend bool operator==(const ImportedTensor&, const ImportedTensor&) = default;
};

struct ImportedCheckpoint {
  TransformerSpec spec;
  TransformerWeights weights;           // full_precision true
  std::vector<ImportedTensor> tensors;  // in artifact order (named_weight_tensors)
};

// The spec that the configuration text `config_json` describes; runs the
// configuration checks above, from "checkpoint configuration is not valid
// json" to "checkpoint configuration does not describe a valid model".
[[nodiscard]] TransformerSpec map_checkpoint_config(std::string_view config_json);

// Reads the checkpoint in `directory` and runs every check above. The
// result's spec passes validate_spec and its weights have the shapes the
// forward pass requires.
[[nodiscard]] ImportedCheckpoint import_checkpoint(const std::filesystem::path& directory,
                                                   const ImportOptions& options);

// import_checkpoint, then make_model (unbound) on its spec and weights. Also
// throws what make_model throws: its probe forward pass refuses weights whose
// one-token pass produces NaN or infinity.
[[nodiscard]] std::shared_ptr<const TransformerModel> import_model(
    const std::filesystem::path& directory, const ImportOptions& options);

}  // namespace Orvane::Core::Lumeth
