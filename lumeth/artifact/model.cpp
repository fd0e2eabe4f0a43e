#include "lumeth/artifact/model.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <exception>
#include <span>
#include <stdexcept>
#include <utility>

#include "lumeth/artifact/container.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/spec/spec_description.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::uint64_t kFloat64Bytes = 8;

// An extent of a weight shape, in terms of the spec: d = model_dim,
// q = query_heads * head_dim, kv = kv_heads * head_dim, f = ffn_dim.
enum class Extent : std::uint8_t { none, d, q, kv, f };

struct LayerMember {
  const char* name;
  Tensor LayerWeights::*field;
  Extent rows;  // outer extent
  Extent cols;  // inner extent; none for the rank-1 norm weights
};

// The per-layer members in LayerWeights order, with their artifact names and
// the shapes the forward pass requires of them.
constexpr std::array<LayerMember, 9> kLayerMembers{{
    {"attention_norm", &LayerWeights::attention_norm, Extent::d, Extent::none},
    {"query", &LayerWeights::query, Extent::q, Extent::d},
    {"key", &LayerWeights::key, Extent::kv, Extent::d},
    {"value", &LayerWeights::value, Extent::kv, Extent::d},
    {"attention_output", &LayerWeights::attention_output, Extent::d, Extent::q},
    {"ffn_norm", &LayerWeights::ffn_norm, Extent::d, Extent::none},
    {"ffn_gate", &LayerWeights::ffn_gate, Extent::f, Extent::d},
    {"ffn_up", &LayerWeights::ffn_up, Extent::f, Extent::d},
    {"ffn_down", &LayerWeights::ffn_down, Extent::d, Extent::f},
}};

// Values a tensor contributes to the artifact: exactly what its shape
// promises. Storage shorter than the shape is refused; a longer one is never
// read past the shape, so the row's byte count always matches its shape.
std::size_t stored_value_count(const Tensor& tensor) {
  check_storage(tensor);
  return element_count(tensor.shape);
}

// One sequence of length one holding token id 0: the smallest batch that
// drives every weight through the forward pass.
void probe(const TransformerSpec& spec, const TransformerWeights& weights) {
  const TokenBatch batch{
      .batch_size = 1, .width = 1, .tokens = {0}, .lengths = {}, .target_mask = {}};
  const ForwardOptions options{.full_precision = true, .observer = {}, .compute_logits = true};
  (void)forward(spec, weights, batch, options);
}

}  // namespace

TransformerModel::TransformerModel(ConstructionKey, const TransformerSpec& spec,
                                   TransformerWeights weights,
                                   std::optional<std::string> tokenizerHash)
    : spec_(spec), weights_(std::move(weights)), tokenizerHash_(std::move(tokenizerHash)) {
  probe(spec_, weights_);
  artifact_ = serialize_model_artifact(spec_, weights_, tokenizerHash_);
  // The writer stored artifact_checksum of the artifact in its header; the
  // identity is that field, not a second pass over the whole artifact.
  identity_ = readU64(artifact_, kContainerChecksumOffset);
}

TransformerModel::TransformerModel(ConstructionKey, const TransformerSpec& spec,
                                   TransformerWeights weights,
                                   std::optional<std::string> tokenizerHash, ByteBuffer artifact,
                                   std::uint64_t identity)
    : spec_(spec),
      weights_(std::move(weights)),
      tokenizerHash_(std::move(tokenizerHash)),
      identity_(identity),
      artifact_(std::move(artifact)) {}

std::shared_ptr<const TransformerModel> make_model(const TransformerSpec& spec,
                                                   TransformerWeights weights) {
  return std::make_shared<const TransformerModel>(TransformerModel::ConstructionKey{}, spec,
                                                  std::move(weights), std::nullopt);
}

std::shared_ptr<const TransformerModel> make_model(const TransformerSpec& spec,
                                                   TransformerWeights weights,
                                                   std::string tokenizerHash) {
  return std::make_shared<const TransformerModel>(TransformerModel::ConstructionKey{}, spec,
                                                  std::move(weights), std::move(tokenizerHash));
}

std::vector<NamedWeightTensor> named_weight_tensors(const TransformerWeights& weights) {
  std::vector<NamedWeightTensor> named;
  named.reserve(2 + kLayerMembers.size() * weights.layers.size() + 1);
  named.push_back({"token_embedding", std::cref(weights.token_embedding)});
  for (std::size_t i = 0; i < weights.layers.size(); ++i) {
    const std::string prefix = "layers." + std::to_string(i) + ".";
    for (const LayerMember& member : kLayerMembers) {
      named.push_back({prefix + member.name, std::cref(weights.layers[i].*member.field)});
    }
  }
  named.push_back({"final_norm", std::cref(weights.final_norm)});
  if (!weights.output_embedding.data.empty()) {
    named.push_back({"output_embedding", std::cref(weights.output_embedding)});
  }
  return named;
}

// Model artifact: a container with magic "LUMECTM1" whose manifest is exactly
// the shared prefix (nothing follows the rows) and whose payload is
//
//   row k    dtype Float64, shape = tensor shape
//            bytes: each value in row-major order as the little-endian u64 of
//            its binary64 bits; offset = bytes of the rows before it
//
// for the named tensors in named_weight_tensors order, back to back, without
// padding or alignment.
ByteBuffer serialize_model_artifact(const TransformerSpec& spec, const TransformerWeights& weights,
                                    std::optional<std::string_view> tokenizerHash) {
  const std::vector<NamedWeightTensor> named = named_weight_tensors(weights);

  // The table first, with every offset and size; each count fits, since a
  // vector of doubles never holds more than SIZE_MAX / 8 values. The
  // checksums are filled in once the payload is written.
  std::vector<TensorEntry> rows;
  rows.reserve(named.size());
  std::uint64_t payloadBytes = 0;
  for (const NamedWeightTensor& entry : named) {
    const Tensor& tensor = entry.tensor;
    const std::uint64_t byteCount = kFloat64Bytes * stored_value_count(tensor);
    rows.push_back({entry.name, ArtifactDType::Float64,
                    std::vector<std::uint64_t>(tensor.shape.begin(), tensor.shape.end()),
                    payloadBytes, byteCount, 0});
    payloadBytes = checked_add(payloadBytes, byteCount);
  }

  // The manifest's size does not depend on the checksums, so the container
  // can be laid out before they are known and the values encoded straight
  // into it: no payload buffer, no copy.
  const std::uint64_t specHash = spec_hash(spec);
  ByteBuffer manifest;
  write_manifest(manifest, rows, specHash, tokenizerHash);
  ByteBuffer artifact = begin_container(kModelArtifactMagic, manifest.size(), payloadBytes);
  const std::size_t payloadOffset = artifact.size();
  for (const NamedWeightTensor& entry : named) {
    const Tensor& tensor = entry.tensor;
    appendF64Array(artifact, std::span(tensor.data).first(stored_value_count(tensor)));
  }
  checksum_rows(rows, std::span(artifact).subspan(payloadOffset));

  manifest.clear();
  write_manifest(manifest, rows, specHash, tokenizerHash);
  (void)finish_container(artifact, manifest);
  return artifact;
}

// ---------------------------------------------------------------------------
// Loading

namespace {

[[noreturn]] void fail(const char* message) { throw std::invalid_argument(message); }

constexpr const char* kTableMismatch = "model tensor table does not match spec";

// The spec's extents as u64: none of these products can wrap (two u32
// factors), and a valid spec has q equal to d.
struct SpecExtents {
  std::uint64_t vocabulary;
  std::uint64_t d;
  std::uint64_t q;
  std::uint64_t kv;
  std::uint64_t f;

  explicit SpecExtents(const TransformerSpec& spec)
      : vocabulary(spec.vocabulary),
        d(spec.model_dim),
        q(std::uint64_t{spec.query_heads} * spec.head_dim),
        kv(std::uint64_t{spec.kv_heads} * spec.head_dim),
        f(spec.ffn_dim) {}

  [[nodiscard]] std::uint64_t of(Extent extent) const noexcept {
    switch (extent) {
      case Extent::d:
        return d;
      case Extent::q:
        return q;
      case Extent::kv:
        return kv;
      case Extent::f:
        return f;
      case Extent::none:
        break;
    }
    return 0;
  }
};

// Rows of the artifact of a model with `layers` layers, in
// named_weight_tensors order: token_embedding, 9 per layer, final_norm, then
// the optional output_embedding. Index arithmetic instead of a list, so that
// nothing is allocated from the spec's layer count.
constexpr std::uint64_t kRowsPerLayer = kLayerMembers.size();

struct RowPlace {
  enum class Kind : std::uint8_t { token_embedding, layer, final_norm, output_embedding };
  Kind kind;
  std::uint64_t layer = 0;
  const LayerMember* member = nullptr;
};

RowPlace place_of(std::uint64_t index, std::uint64_t layers) {
  if (index == 0) return {RowPlace::Kind::token_embedding};
  const std::uint64_t layerRows = kRowsPerLayer * layers;
  if (index <= layerRows) {
    const std::uint64_t within = index - 1;
    return {RowPlace::Kind::layer, within / kRowsPerLayer,
            &kLayerMembers[static_cast<std::size_t>(within % kRowsPerLayer)]};
  }
  if (index == layerRows + 1) return {RowPlace::Kind::final_norm};
  return {RowPlace::Kind::output_embedding};
}

std::string name_of(const RowPlace& place) {
  switch (place.kind) {
    case RowPlace::Kind::token_embedding:
      return "token_embedding";
    case RowPlace::Kind::layer:
      return "layers." + std::to_string(place.layer) + "." + place.member->name;
    case RowPlace::Kind::final_norm:
      return "final_norm";
    case RowPlace::Kind::output_embedding:
      break;
  }
  return "output_embedding";
}

std::vector<std::uint64_t> shape_of(const RowPlace& place, const SpecExtents& extents) {
  switch (place.kind) {
    case RowPlace::Kind::token_embedding:
    case RowPlace::Kind::output_embedding:
      return {extents.vocabulary, extents.d};
    case RowPlace::Kind::final_norm:
      return {extents.d};
    case RowPlace::Kind::layer:
      break;
  }
  if (place.member->cols == Extent::none) return {extents.of(place.member->rows)};
  return {extents.of(place.member->rows), extents.of(place.member->cols)};
}

Tensor& slot_of(const RowPlace& place, TransformerWeights& weights) {
  switch (place.kind) {
    case RowPlace::Kind::token_embedding:
      return weights.token_embedding;
    case RowPlace::Kind::final_norm:
      return weights.final_norm;
    case RowPlace::Kind::output_embedding:
      return weights.output_embedding;
    case RowPlace::Kind::layer:
      break;
  }
  return weights.layers[static_cast<std::size_t>(place.layer)].*(place.member->field);
}

// A tied model's output_embedding: stored when it holds values, never read by
// the forward pass. make_model takes it in any shape and with any values, so
// the loader does too, and a model it wrote always loads back.
bool ignored_by_forward(const RowPlace& place, const TransformerSpec& spec) {
  return place.kind == RowPlace::Kind::output_embedding && spec.tied_embeddings;
}

// The rows against the rows a model of `spec` writes: count, then row by row
// name, dtype, shape and place in the payload (back to back from 0, as the
// writer lays them out, so that a loaded model's artifact is also the one
// make_model would write for it).
void check_rows_against_spec(std::span<const TensorEntry> rows, const TransformerSpec& spec,
                             std::uint64_t payload_length) {
  const std::uint64_t layers = spec.layers;
  const std::uint64_t withoutOutput = 2 + kRowsPerLayer * layers;
  const std::uint64_t count = rows.size();
  if (count != withoutOutput + 1 && !(spec.tied_embeddings && count == withoutOutput)) {
    fail(kTableMismatch);
  }

  const SpecExtents extents(spec);
  std::uint64_t end = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const TensorEntry& row = rows[static_cast<std::size_t>(i)];
    const RowPlace place = place_of(i, layers);
    if (row.name != name_of(place)) fail(kTableMismatch);
    if (row.dtype != ArtifactDType::Float64) fail("model tensor dtype is not float64");
    if (ignored_by_forward(place, spec)) {
      // Any shape make_model can write: every extent positive.
      if (std::find(row.shape.begin(), row.shape.end(), 0) != row.shape.end()) {
        fail("model tensor shape does not match spec");
      }
    } else if (row.shape != shape_of(place, extents)) {
      fail("model tensor shape does not match spec");
    }
    // validate_tensor_table placed the row inside the payload, so its end
    // does not wrap.
    if (row.offset != end) fail("model tensor layout is not canonical");
    end = row.offset + row.byte_count;
  }
  if (end != payload_length) fail("model tensor layout is not canonical");
}

// What the loader reads from the manifest once every check that needs no
// payload byte has passed.
struct CheckedTable {
  std::vector<TensorEntry> rows;
  std::optional<std::string> tokenizerHash;
};

CheckedTable check_table(std::span<const std::uint8_t> artifact, const ContainerInfo& info,
                         const TransformerSpec& spec, const ArtifactLimits& limits) {
  ByteCursor cursor = manifest_cursor(artifact, info);
  std::uint64_t storedSpecHash = 0;
  CheckedTable table;
  table.rows = read_manifest(cursor, limits, storedSpecHash, table.tokenizerHash);
  if (cursor.remaining() != 0) fail("model manifest has trailing bytes");
  if (storedSpecHash != spec_hash(spec)) fail("model spec hash mismatch");
  validate_tensor_table(table.rows, info.payload_length, limits);
  check_rows_against_spec(table.rows, spec, info.payload_length);
  return table;
}

// True when no value is a NaN or an infinity: exactly the values whose
// eleven exponent bits are all ones, the only ones for which adding one to
// the exponent field carries into the sign bit. No early exit, so the loop
// runs several values at a time.
bool all_finite(std::span<const double> values) noexcept {
  constexpr std::uint64_t kExponentBits = 0x7FF0000000000000ULL;
  constexpr std::uint64_t kExponentOne = 0x0010000000000000ULL;
  std::uint64_t carries = 0;
  for (const double value : values) {
    carries |= (std::bit_cast<std::uint64_t>(value) & kExponentBits) + kExponentOne;
  }
  return (carries >> 63) == 0;
}

// Decodes a row's bytes (checked against its checksum already) into a tensor
// of its shape, in blocks small enough to be checked for non-finite values
// while still in the first-level cache.
Tensor decode_row(std::span<const std::uint8_t> bytes, const TensorEntry& row, bool anyValues) {
  Tensor tensor(std::vector<std::size_t>(row.shape.begin(), row.shape.end()), 0.0, true);
  constexpr std::size_t kBlockValues = 512;
  const std::span<double> values(tensor.data);
  for (std::size_t start = 0; start < values.size(); start += kBlockValues) {
    const std::span<double> block =
        values.subspan(start, std::min(kBlockValues, values.size() - start));
    readF64Array(bytes.subspan(start * kFloat64Bytes), block);
    if (!anyValues && !all_finite(block)) fail("model weights contain NaN/Inf");
  }
  return tensor;
}

}  // namespace

std::shared_ptr<const TransformerModel> load_model(ByteBuffer artifact, const TransformerSpec& spec,
                                                   const ArtifactLimits& limits) {
  // The spec decides every expected row: an invalid one could not have been
  // probed by make_model, so nothing is read for it.
  if (!validate_spec(spec).empty()) fail("model spec is invalid");

  // The header checks before the global checksum, then every check of the
  // manifest and the table, then the global checksum and every row's
  // checksum in one pass over the bytes (independent hash chains run side by
  // side at the cost of one). A manifest or table failure is held back until
  // the global checksum has passed, so a file damaged in both still reports
  // the global checksum, as the container's order demands.
  const ContainerInfo info = read_container_layout(artifact, kModelArtifactMagic, limits);
  std::optional<CheckedTable> table;
  std::exception_ptr tableFailure;
  try {
    table = check_table(artifact, info, spec, limits);
  } catch (...) {
    tableFailure = std::current_exception();
  }
  const std::vector<std::uint64_t> hashed = verify_container_checksum(
      artifact, info,
      table ? std::span<const TensorEntry>(table->rows) : std::span<const TensorEntry>{});
  if (tableFailure) std::rethrow_exception(tableFailure);
  const std::vector<TensorEntry>& rows = table->rows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (hashed[i] != rows[i].checksum) fail("model tensor checksum mismatch");
  }

  // Every allocation below is bounded by bytes the table validation placed
  // inside the payload: the layer count matched the row count, and each
  // tensor holds its row's byte_count / 8 values.
  const std::span<const std::uint8_t> payload = std::span<const std::uint8_t>(artifact).subspan(
      static_cast<std::size_t>(info.payload_offset), static_cast<std::size_t>(info.payload_length));
  TransformerWeights weights;
  weights.layers.resize(spec.layers);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TensorEntry& row = rows[i];
    const RowPlace place = place_of(i, spec.layers);
    slot_of(place, weights) = decode_row(payload.subspan(static_cast<std::size_t>(row.offset),
                                                         static_cast<std::size_t>(row.byte_count)),
                                         row, ignored_by_forward(place, spec));
  }

  // The values are finite and the shapes fit, but finite weights can still
  // overflow in the pass; make_model refuses those, so the loader does too.
  try {
    probe(spec, weights);
  } catch (const std::logic_error&) {
    fail("model weights fail the forward probe");
  } catch (const std::overflow_error&) {
    fail("model weights fail the forward probe");
  }

  // The writer stored artifact_checksum of the container in its header and
  // the global check confirmed it: that field is the identity.
  const std::uint64_t identity = readU64(artifact, kContainerChecksumOffset);
  return std::make_shared<const TransformerModel>(
      TransformerModel::ConstructionKey{}, spec, std::move(weights),
      std::move(table->tokenizerHash), std::move(artifact), identity);
}

}  // namespace Orvane::Core::Lumeth
