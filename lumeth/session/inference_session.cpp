#include "lumeth/session/inference_session.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/inference/internal/cached_step.hpp"
#include "lumeth/session/internal/session_internals.hpp"
#include "lumeth/spec/spec_description.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::string_view kInputTokensName = "input_tokens";
constexpr std::string_view kTokenizerStateName = "tokenizer_state";
constexpr std::string_view kCacheNamePrefix = "kv.";
// Rows before the first cache row: input tokens, tokenizer state.
constexpr std::uint64_t kFixedRows = 2;
constexpr std::uint64_t kTokenBytes = 4;
constexpr std::uint64_t kValueBytes = 8;

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t),
              "stored sizes and extents are taken as size_t without narrowing");

[[noreturn]] void fail(const char* message) { throw std::invalid_argument(message); }

std::string cache_name(std::uint64_t k) {
  std::string name(kCacheNamePrefix);
  name += std::to_string(k);
  return name;
}

// The session fields that follow the manifest prefix, in file order.
struct SessionFields {
  std::uint64_t identity = 0;
  std::uint64_t numeric_policy = 0;
  std::uint64_t position = 0;
  std::uint64_t setting = 0;
  std::uint64_t counter = 0;
  std::uint64_t input_count = 0;
  std::uint64_t state_size = 0;
  std::uint32_t cache_count = 0;
};

SessionFields read_session_fields(ByteCursor& cursor) {
  SessionFields f;
  f.identity = cursor.read_u64();
  f.numeric_policy = cursor.read_u64();
  f.position = cursor.read_u64();
  f.setting = cursor.read_u64();
  f.counter = cursor.read_u64();
  f.input_count = cursor.read_u64();
  f.state_size = cursor.read_u64();
  f.cache_count = cursor.read_u32();
  return f;
}

bool is_rank1_row(const TensorEntry& row, std::string_view name, ArtifactDType dtype,
                  std::uint64_t extent, std::uint64_t byte_count) {
  return row.name == name && row.dtype == dtype && row.shape.size() == 1 &&
         row.shape[0] == extent && row.byte_count == byte_count;
}

// The row's bytes; validate_tensor_table has already placed the range inside
// the payload.
std::span<const std::uint8_t> row_bytes(std::span<const std::uint8_t> payload,
                                        const TensorEntry& row) {
  return payload.subspan(static_cast<std::size_t>(row.offset),
                         static_cast<std::size_t>(row.byte_count));
}

// True when no value is a NaN or an infinity. Those are exactly the values
// whose eleven exponent bits are all ones, and only for them does adding one
// to the exponent field carry into the sign bit. Integer operations without
// an early exit, so that the loop runs several values at a time.
bool all_finite(std::span<const double> values) noexcept {
  constexpr std::uint64_t kExponentBits = 0x7FF0000000000000ULL;
  constexpr std::uint64_t kExponentOne = 0x0010000000000000ULL;
  std::uint64_t carries = 0;
  for (const double value : values) {
    carries |= (std::bit_cast<std::uint64_t>(value) & kExponentBits) + kExponentOne;
  }
  return (carries >> 63) == 0;
}

// Checks one cache row's bytes and decodes them into `tensor` (already of the
// row's shape, so it holds exactly byte_count / 8 values). `hashed` is
// fnv1a64 of `bytes`, computed with the global checksum. The checksum is
// judged before any decoded value, so a damaged row fails as damaged even
// when it also decodes to a non-finite value. The values are decoded in
// blocks small enough to be checked while still in the first-level cache.
void decode_cache_row(std::span<const std::uint8_t> bytes, std::uint64_t hashed,
                      std::uint64_t checksum, Tensor& tensor) {
  if (hashed != checksum) fail("session cache checksum mismatch");
  constexpr std::size_t kBlockValues = 512;
  const std::span<double> values(tensor.data);
  for (std::size_t start = 0; start < values.size(); start += kBlockValues) {
    const std::span<double> block =
        values.subspan(start, std::min(kBlockValues, values.size() - start));
    readF64Array(bytes.subspan(start * kValueBytes), block);
    if (!all_finite(block)) fail("session cache contains NaN/Inf");
  }
}

// What restore reads from the manifest, once it has passed every check that
// needs no payload byte.
struct CheckedManifest {
  std::vector<TensorEntry> rows;
  SessionFields fields;
};

// The manifest and the tensor table of `file`, checked in restore's order:
// the prefix, the session fields and nothing after them, the model, binding
// and numeric policy, the limits, the tokenizer state of an unbound model,
// the table against the payload, then the two fixed rows.
CheckedManifest check_manifest(std::span<const std::uint8_t> file, const ContainerInfo& info,
                               const ArtifactLimits& limits, const TransformerModel& model) {
  const TransformerSpec& spec = model.spec();
  ByteCursor cursor = manifest_cursor(file, info);
  std::uint64_t storedSpecHash = 0;
  std::optional<std::string> storedBinding;
  CheckedManifest manifest;
  manifest.rows = read_manifest(cursor, limits, storedSpecHash, storedBinding);
  manifest.fields = read_session_fields(cursor);
  const std::vector<TensorEntry>& rows = manifest.rows;
  const SessionFields& fields = manifest.fields;
  if (cursor.remaining() != 0) fail("session manifest has trailing bytes");

  if (storedSpecHash != spec_hash(spec) || fields.identity != model.identity()) {
    fail("session model mismatch");
  }
  if (storedBinding != model.tokenizerHash()) fail("session tokenizer mismatch");
  if (fields.numeric_policy != numeric_policy_hash(spec)) fail("session numeric policy mismatch");

  if (fields.input_count > limits.max_input_tokens || fields.input_count > spec.context ||
      fields.position > spec.context || fields.state_size > limits.max_tokenizer_state_bytes ||
      fields.cache_count > limits.max_tensor_count) {
    fail("session state exceeds configured limit");
  }
  if (fields.state_size != 0 && !model.tokenizerHash()) {
    fail("unbound session contains tokenizer state");
  }

  validate_tensor_table(rows, info.payload_length, limits);
  // input_count is at most the u32 context here, so four times it cannot wrap.
  if (rows.size() != kFixedRows + fields.cache_count ||
      !is_rank1_row(rows[0], kInputTokensName, ArtifactDType::UInt32, fields.input_count,
                    kTokenBytes * fields.input_count)) {
    fail("session input manifest mismatch");
  }
  if (!is_rank1_row(rows[1], kTokenizerStateName, ArtifactDType::UInt8, fields.state_size,
                    fields.state_size)) {
    fail("session tokenizer state manifest mismatch");
  }
  return manifest;
}

// Width of one cache row: kv_heads * head_dim (two u32, so it fits).
std::size_t kv_width(const TransformerSpec& spec) {
  return std::size_t{spec.kv_heads} * std::size_t{spec.head_dim};
}

// Gives `values` room for `needed` elements, growing geometrically up to
// `most` (the most it will ever hold), so that appending a row at a time
// copies each value a bounded number of times.
template <class T>
void reserve_growing(std::vector<T>& values, std::size_t needed, std::size_t most) {
  if (values.capacity() < needed) {
    values.reserve(std::max(needed, std::min(most, 2 * values.capacity())));
  }
}

// Puts the cache tensors' storage back to `values` elements each unless
// released: a failed step leaves no rows behind. Shrinking a vector never
// allocates, so this cannot fail.
class CacheRollback {
 public:
  CacheRollback(std::vector<Tensor>& cache, std::size_t values) : cache_(cache), values_(values) {}
  CacheRollback(const CacheRollback&) = delete;
  CacheRollback& operator=(const CacheRollback&) = delete;
  ~CacheRollback() {
    if (armed_) {
      for (Tensor& tensor : cache_) tensor.data.resize(values_);
    }
  }
  void release() noexcept { armed_ = false; }

 private:
  std::vector<Tensor>& cache_;
  std::size_t values_;
  bool armed_ = true;
};

}  // namespace

std::uint64_t numeric_policy_hash(const TransformerSpec& spec) {
  return fnv1a64(describe_spec(spec));
}

InferenceSession::InferenceSession(std::shared_ptr<const TransformerModel> model,
                                   std::uint64_t setting)
    : model_(std::move(model)), setting_(setting == 0 ? 1 : setting) {
  if (!model_) fail("session requires a model");
}

InferenceSession::InferenceSession(InferenceSession&& other) noexcept
    : model_(other.model_),
      position_(other.position_),
      setting_(other.setting_),
      counter_(other.counter_),
      input_tokens_(std::move(other.input_tokens_)),
      tokenizer_state_(std::move(other.tokenizer_state_)),
      cache_(std::move(other.cache_)) {}

void InferenceSession::set_tokenizer_state(ByteBuffer state) {
  if (!state.empty() && !model_->tokenizerHash()) {
    fail("tokenizer state requires a tokenizer-bound model");
  }
  tokenizer_state_ = std::move(state);
}

// Session file: a container with magic "LUMECTS1". Tensor table, 2 + C rows,
// back to back in the payload in this order:
//
//   row    name               dtype    shape              bytes
//   0      "input_tokens"     UInt32   [token count]      each id, u32
//   1      "tokenizer_state"  UInt8    [state bytes]      the bytes as they are
//   2 + k  "kv.<k>"           Float64  shape of cache[k]  each value, row-major,
//                                                         u64 of its binary64 bits
//
// Rows 0 and 1 are present even when empty. The manifest is the shared
// prefix (spec_hash, binding, rows), then:
//
//   u64 model identity, u64 numeric_policy_hash, u64 position, u64 setting,
//   u64 counter, u64 input token count, u64 tokenizer state size,
//   u32 cache tensor count C
//
// and nothing after it.
ByteBuffer InferenceSession::save() const {
  const TransformerModel& model = *model_;

  // The table first, with every offset and size; a session's own vectors
  // cannot hold more bytes than fit in memory, so these products do not wrap.
  // The checksums are filled in once the payload is written.
  std::vector<TensorEntry> rows;
  rows.reserve(kFixedRows + cache_.size());
  std::uint64_t payloadBytes = 0;
  const auto addRow = [&](std::string name, ArtifactDType dtype, std::vector<std::uint64_t> shape,
                          std::uint64_t byteCount) {
    rows.push_back({std::move(name), dtype, std::move(shape), payloadBytes, byteCount, 0});
    payloadBytes = checked_add(payloadBytes, byteCount);
  };
  addRow(std::string(kInputTokensName), ArtifactDType::UInt32, {input_tokens_.size()},
         kTokenBytes * input_tokens_.size());
  addRow(std::string(kTokenizerStateName), ArtifactDType::UInt8, {tokenizer_state_.size()},
         tokenizer_state_.size());
  for (std::size_t k = 0; k < cache_.size(); ++k) {
    const Tensor& tensor = cache_[k];
    addRow(cache_name(k), ArtifactDType::Float64,
           std::vector<std::uint64_t>(tensor.shape.begin(), tensor.shape.end()),
           kValueBytes * tensor.data.size());
  }

  const std::uint64_t specHash = spec_hash(model.spec());
  const auto manifestOf = [&] {
    ByteBuffer manifest;
    write_manifest(manifest, rows, specHash, model.tokenizerHash());
    appendU64(manifest, model.identity());
    appendU64(manifest, numeric_policy_hash(model.spec()));
    appendU64(manifest, position_);
    appendU64(manifest, setting_);
    appendU64(manifest, counter_);
    appendU64(manifest, input_tokens_.size());
    appendU64(manifest, tokenizer_state_.size());
    appendU32(manifest, static_cast<std::uint32_t>(cache_.size()));
    return manifest;
  };

  // The manifest's size does not depend on the checksums, so the file can be
  // laid out before they are known and the payload encoded straight into it:
  // no payload buffer, no copy.
  ByteBuffer file = begin_container(kSessionFileMagic, manifestOf().size(), payloadBytes);
  const std::size_t payloadOffset = file.size();
  appendU32Array(file, input_tokens_);
  appendBytes(file, tokenizer_state_);
  for (const Tensor& tensor : cache_) appendF64Array(file, tensor.data);
  checksum_rows(rows, std::span(file).subspan(payloadOffset));
  (void)finish_container(file, manifestOf());
  return file;
}

void InferenceSession::restore(std::span<const std::uint8_t> file, const ArtifactLimits& limits) {
  const TransformerModel& model = *model_;
  const TransformerSpec& spec = model.spec();

  // The header checks that precede the global checksum, then every check of
  // the manifest and the table, then the global checksum. Checking the
  // manifest first lets one pass over the bytes compute the global checksum
  // and every row's checksum together (independent hash chains run side by
  // side at the cost of one). A manifest failure is held back until the
  // global checksum has passed, so a file damaged in both still reports the
  // global checksum, as the order of the checks demands.
  const ContainerInfo info = read_container_layout(file, kSessionFileMagic, limits);
  std::optional<CheckedManifest> manifest;
  std::exception_ptr manifestFailure;
  try {
    manifest = check_manifest(file, info, limits, model);
  } catch (...) {
    manifestFailure = std::current_exception();
  }
  const std::vector<std::uint64_t> hashed = verify_container_checksum(
      file, info,
      manifest ? std::span<const TensorEntry>(manifest->rows) : std::span<const TensorEntry>{});
  if (manifestFailure) std::rethrow_exception(manifestFailure);
  const std::vector<TensorEntry>& rows = manifest->rows;
  const SessionFields& fields = manifest->fields;

  const std::span<const std::uint8_t> payload = file.subspan(
      static_cast<std::size_t>(info.payload_offset), static_cast<std::size_t>(info.payload_length));

  // Everything below is decoded into temporaries. Each allocation is bounded
  // by bytes the table validation placed inside the payload.
  if (hashed[0] != rows[0].checksum) fail("session input checksum mismatch");
  std::vector<std::uint32_t> tokens(static_cast<std::size_t>(fields.input_count));
  readU32Array(row_bytes(payload, rows[0]), tokens);
  for (const std::uint32_t id : tokens) {
    if (id >= spec.vocabulary) fail("session token exceeds vocabulary");
  }

  const std::span<const std::uint8_t> stateBytes = row_bytes(payload, rows[1]);
  if (hashed[1] != rows[1].checksum) fail("session tokenizer state checksum mismatch");
  ByteBuffer state(stateBytes.begin(), stateBytes.end());

  std::vector<Tensor> cache;
  cache.reserve(fields.cache_count);
  std::uint64_t cacheBytes = 0;
  for (std::uint64_t k = 0; k < fields.cache_count; ++k) {
    const std::size_t index = static_cast<std::size_t>(kFixedRows + k);
    const TensorEntry& row = rows[index];
    if (row.name != cache_name(k) || row.dtype != ArtifactDType::Float64) {
      fail("session cache identity mismatch");
    }
    cacheBytes = checked_add(cacheBytes, row.byte_count);
    if (cacheBytes > limits.max_cache_bytes) fail("session cache exceeds limit");
    // The table validation tied byte_count to the shape, so this tensor holds
    // byte_count / 8 values; a zero extent is refused by the tensor itself.
    Tensor tensor(std::vector<std::size_t>(row.shape.begin(), row.shape.end()), 0.0, true);
    decode_cache_row(row_bytes(payload, row), hashed[index], row.checksum, tensor);
    cache.push_back(std::move(tensor));
  }

  // Every check passed: commit all six members at once; nothing below throws.
  position_ = fields.position;
  setting_ = fields.setting == 0 ? 1 : fields.setting;
  counter_ = fields.counter;
  input_tokens_.swap(tokens);
  tokenizer_state_.swap(state);
  cache_.swap(cache);
}

}  // namespace Orvane::Core::Lumeth

namespace Orvane::Core::Lumeth {

void InferenceSession::check_cache() const {
  const TransformerSpec& spec = model_->spec();
  if (input_tokens_.size() != position_) fail("session position does not match its input tokens");
  const std::size_t tensors = position_ == 0 ? 0 : 2 * std::size_t{spec.layers};
  if (cache_.size() != tensors) fail("session cache tensor count does not match the model");
  const std::vector<std::size_t> shape{static_cast<std::size_t>(position_), kv_width(spec)};
  for (const Tensor& tensor : cache_) {
    if (tensor.shape != shape) fail("session cache shape does not match the model");
  }
}

Tensor InferenceSession::append(std::span<const std::uint32_t> ids, const ForwardOptions& options,
                                LogitRows rows) {
  return SessionInternals::append_with(*this, kernels::active_kernels(), ids, options, rows);
}

Tensor SessionInternals::append_with(InferenceSession& session, const kernels::KernelTable& kernels,
                                     std::span<const std::uint32_t> ids,
                                     const ForwardOptions& options, LogitRows rows) {
  const TransformerModel& model = *session.model_;
  const TransformerSpec& spec = model.spec();
  session.check_cache();
  if (ids.empty()) fail("session step has no tokens");
  const std::size_t position = static_cast<std::size_t>(session.position_);
  if (ids.size() > spec.context - position) fail("session step exceeds the context");
  for (const std::uint32_t id : ids) {
    if (id >= spec.vocabulary) throw std::out_of_range("token id exceeds vocabulary");
  }

  // Everything that allocates happens before the first cache row is
  // written; from the step's start to its commit the only changes are rows
  // written past the cache tensors' old ends, which the rollback drops again.
  const std::size_t total = position + ids.size();
  const std::size_t kv = kv_width(spec);
  const std::size_t values = checked_product(total, kv);  // per cache tensor
  const std::size_t layers = spec.layers;
  std::vector<Tensor>& cache = session.cache_;
  reserve_growing(session.input_tokens_, total, spec.context);
  std::vector<LayerHistory> history(layers);
  // The first step builds the cache in new tensors (empty shapes are not
  // tensors); later steps extend the session's own.
  std::vector<Tensor> fresh;
  if (position == 0) {
    fresh.reserve(2 * layers);
    for (std::size_t i = 0; i < 2 * layers; ++i) {
      fresh.emplace_back(std::vector<std::size_t>{total, kv}, 0.0, true);
    }
  } else {
    std::size_t most = 0;  // the values of a full context, or as many as fit
    if (__builtin_mul_overflow(std::size_t{spec.context}, kv, &most)) most = values;
    for (Tensor& tensor : cache) reserve_growing(tensor.data, values, most);
  }
  std::vector<Tensor>& target = position == 0 ? fresh : cache;
  CacheRollback rollback(cache, position * kv);
  for (std::size_t i = 0; i < layers; ++i) {
    Tensor& key_cache = target[2 * i];
    Tensor& value_cache = target[2 * i + 1];
    key_cache.data.resize(values);  // within the capacity reserved above
    value_cache.data.resize(values);
    history[i] = LayerHistory{key_cache.data.data(), value_cache.data.data()};
  }

  Tensor logits = cached_step_with(kernels, spec, model.weights(), ids, position, history, options,
                                   rows == LogitRows::last);

  // Commit; nothing below allocates or throws.
  rollback.release();
  if (position == 0) {
    cache.swap(fresh);
  } else {
    for (Tensor& tensor : cache) tensor.shape[0] = total;
  }
  session.input_tokens_.insert(session.input_tokens_.end(), ids.begin(), ids.end());
  session.position_ = total;
  return logits;
}

void InferenceSession::rewind(std::uint64_t count) {
  check_cache();
  if (count > position_) fail("session rewind exceeds position");
  const std::size_t kept = static_cast<std::size_t>(position_ - count);
  if (kept == 0) {
    cache_.clear();
  } else {
    const std::size_t values = kept * kv_width(model_->spec());
    for (Tensor& tensor : cache_) {
      tensor.data.resize(values);
      tensor.shape[0] = kept;
    }
  }
  input_tokens_.resize(kept);
  position_ = kept;
}

}  // namespace Orvane::Core::Lumeth
