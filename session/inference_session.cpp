#include "session/inference_session.hpp"

#include <bit>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "foundation/fnv1a.hpp"
#include "spec/spec_description.hpp"

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

// Checks one cache row's bytes and decodes them into `tensor` (already of the
// row's shape, so it holds exactly byte_count / 8 values). The checksum is
// judged before any decoded value, so a damaged row fails as damaged even
// when it also decodes to a non-finite value. Hashing and decoding in one
// fused loop, eight bytes per hash call, measured no faster than a hashing
// pass followed by a decoding pass.
void decode_cache_row(std::span<const std::uint8_t> bytes, std::uint64_t checksum, Tensor& tensor) {
  if (fnv1a64(bytes) != checksum) fail("session cache checksum mismatch");
  double* const out = tensor.data.data();
  const std::size_t count = tensor.data.size();
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = std::bit_cast<double>(readU64(bytes, i * kValueBytes));
    if (!std::isfinite(out[i])) fail("session cache contains NaN/Inf");
  }
}

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

InferenceSession& InferenceSession::operator=(InferenceSession&& other) noexcept {
  if (this != &other) {
    model_ = other.model_;
    position_ = other.position_;
    setting_ = other.setting_;
    counter_ = other.counter_;
    input_tokens_ = std::move(other.input_tokens_);
    tokenizer_state_ = std::move(other.tokenizer_state_);
    cache_ = std::move(other.cache_);
  }
  return *this;
}

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

  // Sized before the first byte is written; a session's own vectors cannot
  // hold more bytes than fit in memory, so these products do not wrap.
  std::uint64_t payloadBytes =
      checked_add(kTokenBytes * input_tokens_.size(), tokenizer_state_.size());
  for (const Tensor& tensor : cache_) {
    payloadBytes = checked_add(payloadBytes, kValueBytes * tensor.data.size());
  }
  ByteBuffer payload;
  payload.reserve(static_cast<std::size_t>(payloadBytes));

  std::vector<TensorEntry> rows;
  rows.reserve(kFixedRows + cache_.size());
  const auto addRow = [&](std::string name, ArtifactDType dtype, std::vector<std::uint64_t> shape,
                          std::size_t offset) {
    const std::span<const std::uint8_t> bytes = std::span(payload).subspan(offset);
    rows.push_back(
        {std::move(name), dtype, std::move(shape), offset, bytes.size(), fnv1a64(bytes)});
  };

  for (const std::uint32_t id : input_tokens_) appendU32(payload, id);
  addRow(std::string(kInputTokensName), ArtifactDType::UInt32, {input_tokens_.size()}, 0);

  std::size_t offset = payload.size();
  appendBytes(payload, tokenizer_state_);
  addRow(std::string(kTokenizerStateName), ArtifactDType::UInt8, {tokenizer_state_.size()}, offset);

  for (std::size_t k = 0; k < cache_.size(); ++k) {
    const Tensor& tensor = cache_[k];
    offset = payload.size();
    for (const double value : tensor.data) appendU64(payload, std::bit_cast<std::uint64_t>(value));
    addRow(cache_name(k), ArtifactDType::Float64,
           std::vector<std::uint64_t>(tensor.shape.begin(), tensor.shape.end()), offset);
  }

  ByteBuffer manifest;
  write_manifest(manifest, rows, spec_hash(model.spec()), model.tokenizerHash());
  appendU64(manifest, model.identity());
  appendU64(manifest, numeric_policy_hash(model.spec()));
  appendU64(manifest, position_);
  appendU64(manifest, setting_);
  appendU64(manifest, counter_);
  appendU64(manifest, input_tokens_.size());
  appendU64(manifest, tokenizer_state_.size());
  appendU32(manifest, static_cast<std::uint32_t>(cache_.size()));
  return write_container(kSessionFileMagic, manifest, payload);
}

void InferenceSession::restore(std::span<const std::uint8_t> file, const ArtifactLimits& limits) {
  const TransformerModel& model = *model_;
  const TransformerSpec& spec = model.spec();

  const ContainerInfo info = read_container_header(file, kSessionFileMagic, limits);
  ByteCursor cursor = manifest_cursor(file, info);
  std::uint64_t storedSpecHash = 0;
  std::optional<std::string> storedBinding;
  const std::vector<TensorEntry> rows =
      read_manifest(cursor, limits, storedSpecHash, storedBinding);
  const SessionFields fields = read_session_fields(cursor);
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

  const std::span<const std::uint8_t> payload = file.subspan(
      static_cast<std::size_t>(info.payload_offset), static_cast<std::size_t>(info.payload_length));

  // Everything below is decoded into temporaries. Each allocation is bounded
  // by bytes the table validation placed inside the payload.
  const std::span<const std::uint8_t> tokenBytes = row_bytes(payload, rows[0]);
  if (fnv1a64(tokenBytes) != rows[0].checksum) fail("session input checksum mismatch");
  std::vector<std::uint32_t> tokens(static_cast<std::size_t>(fields.input_count));
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    tokens[i] = readU32(tokenBytes, i * kTokenBytes);
    if (tokens[i] >= spec.vocabulary) fail("session token exceeds vocabulary");
  }

  const std::span<const std::uint8_t> stateBytes = row_bytes(payload, rows[1]);
  if (fnv1a64(stateBytes) != rows[1].checksum) fail("session tokenizer state checksum mismatch");
  ByteBuffer state(stateBytes.begin(), stateBytes.end());

  std::vector<Tensor> cache;
  cache.reserve(fields.cache_count);
  std::uint64_t cacheBytes = 0;
  for (std::uint64_t k = 0; k < fields.cache_count; ++k) {
    const TensorEntry& row = rows[kFixedRows + k];
    if (row.name != cache_name(k) || row.dtype != ArtifactDType::Float64) {
      fail("session cache identity mismatch");
    }
    cacheBytes = checked_add(cacheBytes, row.byte_count);
    if (cacheBytes > limits.max_cache_bytes) fail("session cache exceeds limit");
    // The table validation tied byte_count to the shape, so this tensor holds
    // byte_count / 8 values; a zero extent is refused by the tensor itself.
    Tensor tensor(std::vector<std::size_t>(row.shape.begin(), row.shape.end()), 0.0, true);
    decode_cache_row(row_bytes(payload, row), row.checksum, tensor);
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
