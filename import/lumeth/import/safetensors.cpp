#include "lumeth/import/safetensors.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <numeric>
#include <optional>
#include <set>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "lumeth/import/internal/files.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::uint64_t kLengthFieldBytes = 8;
constexpr std::string_view kMetadataKey = "__metadata__";
// Raw bytes widened per step of a read: small enough to stay in cache and
// to keep a read's memory at the tensor's doubles, large enough that the
// per-call cost of fread does not show. A multiple of every element size.
constexpr std::size_t kReadChunkBytes = std::size_t{1} << 20;

[[noreturn]] void fail(const char* message, std::string subject = {}) {
  throw ImportError(message, std::move(subject));
}

// binary16 / bfloat16 / binary32 bits (1 sign, E exponent, F fraction bits)
// to binary64 bits. The value is the same in both formats, so this is a
// relabelling of fields: re-bias the exponent, move the fraction to the top
// of the 52-bit field; subnormals are normalised first, because all of them
// are normal numbers in binary64.
template <unsigned E, unsigned F>
constexpr std::uint64_t widenBits(std::uint64_t bits) noexcept {
  constexpr std::uint64_t kExponentMask = (std::uint64_t{1} << E) - 1;
  constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << F) - 1;
  constexpr std::int64_t kBias = (std::int64_t{1} << (E - 1)) - 1;
  constexpr std::int64_t kBias64 = 1023;
  constexpr unsigned kShift = 52 - F;

  const std::uint64_t sign = ((bits >> (E + F)) & 1U) << 63;
  const std::uint64_t exponent = (bits >> F) & kExponentMask;
  std::uint64_t fraction = bits & kFractionMask;
  if (exponent == kExponentMask) {  // infinity (fraction 0) or NaN, payload kept
    return sign | 0x7FF0000000000000U | (fraction << kShift);
  }
  if (exponent == 0) {
    if (fraction == 0) return sign;  // signed zero
    // fraction * 2^(1 - bias - F): shift the leading one up to the implicit
    // bit's place, lowering the exponent once per step.
    std::int64_t unbiased = 1 - kBias;
    while ((fraction & (std::uint64_t{1} << F)) == 0) {
      fraction <<= 1;
      --unbiased;
    }
    fraction &= kFractionMask;
    return sign | (static_cast<std::uint64_t>(unbiased + kBias64) << 52) | (fraction << kShift);
  }
  const std::int64_t unbiased = static_cast<std::int64_t>(exponent) - kBias;
  return sign | (static_cast<std::uint64_t>(unbiased + kBias64) << 52) | (fraction << kShift);
}

std::optional<SafetensorsDType> dtypeNamed(std::string_view name) {
  if (name == "F64") return SafetensorsDType::f64;
  if (name == "F32") return SafetensorsDType::f32;
  if (name == "BF16") return SafetensorsDType::bf16;
  if (name == "F16") return SafetensorsDType::f16;
  return std::nullopt;
}

// Walks the SAX events of a header that is known to be valid JSON and builds
// the tensor records, stopping at the first structural fault. The nesting it
// accepts is fixed (root object, entry objects, their two arrays, the
// metadata object), so any deeper value is a fault, not a recursion.
class HeaderReader final : public nlohmann::json_sax<nlohmann::json> {
 public:
  const char* error = nullptr;
  std::string errorSubject;
  SafetensorsHeader header;

  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override { return scalar(); }  // negative
  bool number_unsigned(number_unsigned_t value) override {
    if (state_ == State::shape) {
      entry().shape.push_back(value);
      return true;
    }
    if (state_ == State::offsets) {
      if (offsetCount_ == 2) return malformed();
      (offsetCount_ == 0 ? entry().begin : entry().end) = value;
      ++offsetCount_;
      return true;
    }
    return scalar();
  }
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool binary(binary_t&) override { return scalar(); }

  bool string(string_t& value) override {
    switch (state_) {
      case State::metadataValue:
        header.metadata.back().second = std::move(value);
        state_ = State::metadata;
        return true;
      case State::dtypeValue:
        dtypeText_ = std::move(value);
        state_ = State::entry;
        return true;
      default:
        return scalar();
    }
  }

  bool start_object(std::size_t) override {
    switch (state_) {
      case State::start:
        state_ = State::root;
        return true;
      case State::metadataStart:
        state_ = State::metadata;
        return true;
      case State::entryStart:
        state_ = State::entry;
        seen_ = {};
        offsetCount_ = 0;
        dtypeText_.clear();
        return true;
      default:
        return scalar();
    }
  }

  bool key(string_t& name) override {
    switch (state_) {
      case State::root:
        if (!names_.insert(name).second) {
          return stop("safetensors header names a tensor twice", std::move(name));
        }
        if (name == kMetadataKey) {
          state_ = State::metadataStart;
        } else {
          header.tensors.emplace_back();
          header.tensors.back().name = std::move(name);
          state_ = State::entryStart;
        }
        return true;
      case State::metadata:
        if (!metadataKeys_.insert(name).second) return metadataFault();
        header.metadata.emplace_back(std::move(name), std::string());
        state_ = State::metadataValue;
        return true;
      case State::entry: {
        std::size_t field = 0;
        if (name == "dtype") {
          field = 0;
          state_ = State::dtypeValue;
        } else if (name == "shape") {
          field = 1;
          state_ = State::shapeStart;
        } else if (name == "data_offsets") {
          field = 2;
          state_ = State::offsetsStart;
        } else {
          return malformed();
        }
        if (seen_[field]) return malformed();
        seen_[field] = true;
        return true;
      }
      default:  // keys appear only inside objects, all of which are handled
        return malformed();
    }
  }

  bool end_object() override {
    switch (state_) {
      case State::root:
        state_ = State::done;
        return true;
      case State::metadata:
        state_ = State::root;
        return true;
      case State::entry: {
        if (!seen_[0] || !seen_[1] || !seen_[2]) return malformed();
        const std::optional<SafetensorsDType> dtype = dtypeNamed(dtypeText_);
        if (!dtype) return stop("safetensors tensor has an unsupported dtype", entry().name);
        entry().dtype = *dtype;
        state_ = State::root;
        return true;
      }
      default:
        return malformed();
    }
  }

  bool start_array(std::size_t) override {
    if (state_ == State::shapeStart) {
      state_ = State::shape;
      return true;
    }
    if (state_ == State::offsetsStart) {
      state_ = State::offsets;
      return true;
    }
    return scalar();
  }

  bool end_array() override {
    if (state_ == State::shape) {
      state_ = State::entry;
      return true;
    }
    if (state_ == State::offsets && offsetCount_ == 2) {
      state_ = State::entry;
      return true;
    }
    return malformed();
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    // Unreachable after json::accept, kept for a complete interface.
    return stop("safetensors header is not valid json", {});
  }

 private:
  enum class State {
    start,          // before the root value
    root,           // inside the root object, expecting a member name
    metadataStart,  // after "__metadata__", expecting its object
    metadata,       // inside the metadata object, expecting a name
    metadataValue,  // expecting a metadata value
    entryStart,     // after a tensor name, expecting its object
    entry,          // inside a tensor entry, expecting a key
    dtypeValue,
    shapeStart,
    shape,
    offsetsStart,
    offsets,
    done,
  };

  SafetensorsTensor& entry() { return header.tensors.back(); }

  bool stop(const char* message, std::string subject) {
    error = message;
    errorSubject = std::move(subject);
    return false;
  }
  bool malformed() { return stop("safetensors tensor entry is malformed", entry().name); }
  bool metadataFault() { return stop("safetensors metadata is not a map of strings", {}); }

  // A value that is not welcome where it stands.
  bool scalar() {
    switch (state_) {
      case State::start:
        return stop("safetensors header is not a json object", {});
      case State::metadataStart:
      case State::metadataValue:
        return metadataFault();
      default:
        return malformed();
    }
  }

  State state_ = State::start;
  std::set<std::string, std::less<>> names_;
  std::set<std::string, std::less<>> metadataKeys_;
  std::array<bool, 3> seen_{};
  std::size_t offsetCount_ = 0;
  std::string dtypeText_;
};

// Element count times element size, or nullopt when it exceeds 2^64 - 1.
std::optional<std::uint64_t> byteCountOf(const SafetensorsTensor& tensor) {
  std::uint64_t count = 1;
  for (const std::uint64_t extent : tensor.shape) {
    if (extent == 0) return 0;
  }
  for (const std::uint64_t extent : tensor.shape) {
    if (count > std::numeric_limits<std::uint64_t>::max() / extent) return std::nullopt;
    count *= extent;
  }
  const std::uint64_t size = safetensors_dtype_size(tensor.dtype);
  if (count > std::numeric_limits<std::uint64_t>::max() / size) return std::nullopt;
  return count * size;
}

void checkRanges(const SafetensorsHeader& header) {
  for (const SafetensorsTensor& tensor : header.tensors) {
    const std::optional<std::uint64_t> bytes = byteCountOf(tensor);
    if (!bytes) fail("safetensors tensor shape overflows", tensor.name);
    if (tensor.begin > tensor.end) fail("safetensors tensor offsets are reversed", tensor.name);
    if (tensor.end > header.data_bytes) {
      fail("safetensors tensor lies outside the data section", tensor.name);
    }
    if (tensor.end - tensor.begin != *bytes) {
      fail("safetensors tensor byte count does not match its shape", tensor.name);
    }
  }
  std::vector<std::size_t> order(header.tensors.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const SafetensorsTensor& x = header.tensors[a];
    const SafetensorsTensor& y = header.tensors[b];
    return x.begin != y.begin ? x.begin < y.begin : x.end < y.end;
  });
  std::uint64_t covered = 0;
  for (const std::size_t position : order) {
    const SafetensorsTensor& tensor = header.tensors[position];
    if (tensor.begin < covered) fail("safetensors tensors overlap", tensor.name);
    if (tensor.begin > covered) {
      fail("safetensors data section has bytes outside every tensor", tensor.name);
    }
    covered = tensor.end;
  }
  if (covered != header.data_bytes) {
    fail("safetensors data section has bytes outside every tensor", {});
  }
}

// Widens `raw` (a whole number of elements) into `out`, one value per element.
void widenInto(SafetensorsDType dtype, std::span<const std::uint8_t> raw, double* out) {
  const std::size_t size = static_cast<std::size_t>(safetensors_dtype_size(dtype));
  const std::size_t count = raw.size() / size;
  switch (dtype) {
    case SafetensorsDType::f64:
      readF64Array(raw, std::span<double>(out, count));
      return;
    case SafetensorsDType::f32:
      for (std::size_t i = 0; i < count; ++i) out[i] = widen_f32(readU32(raw, 4 * i));
      return;
    case SafetensorsDType::bf16:
      for (std::size_t i = 0; i < count; ++i) out[i] = widen_bf16(readU16(raw, 2 * i));
      return;
    case SafetensorsDType::f16:
      for (std::size_t i = 0; i < count; ++i) out[i] = widen_f16(readU16(raw, 2 * i));
      return;
  }
}

}  // namespace

std::uint64_t safetensors_dtype_size(SafetensorsDType dtype) noexcept {
  switch (dtype) {
    case SafetensorsDType::f64:
      return 8;
    case SafetensorsDType::f32:
      return 4;
    case SafetensorsDType::bf16:
    case SafetensorsDType::f16:
      return 2;
  }
  return 0;
}

std::string_view safetensors_dtype_name(SafetensorsDType dtype) noexcept {
  switch (dtype) {
    case SafetensorsDType::f64:
      return "F64";
    case SafetensorsDType::f32:
      return "F32";
    case SafetensorsDType::bf16:
      return "BF16";
    case SafetensorsDType::f16:
      return "F16";
  }
  return {};
}

double widen_f16(std::uint16_t bits) noexcept {
  return std::bit_cast<double>(widenBits<5, 10>(bits));
}

double widen_bf16(std::uint16_t bits) noexcept {
  return std::bit_cast<double>(widenBits<8, 7>(bits));
}

double widen_f32(std::uint32_t bits) noexcept {
  return std::bit_cast<double>(widenBits<8, 23>(bits));
}

SafetensorsHeader parse_safetensors_header(std::string_view header, std::uint64_t data_bytes) {
  // Syntax first, over the whole text, so that a syntax error anywhere wins
  // over a structural one found earlier; then the structure in one pass.
  if (!nlohmann::json::accept(header.begin(), header.end())) {
    fail("safetensors header is not valid json");
  }
  HeaderReader reader;
  nlohmann::json::sax_parse(header.begin(), header.end(), &reader);
  if (reader.error != nullptr) fail(reader.error, std::move(reader.errorSubject));
  reader.header.header_bytes = header.size();
  reader.header.data_bytes = data_bytes;
  checkRanges(reader.header);
  return std::move(reader.header);
}

// Where a reader's bytes come from: a buffer it owns, or an open file.
struct SafetensorsFile::Source {
  ByteBuffer bytes;
  Import::OpenFile file;

  std::uint64_t size() const { return file ? file.size() : bytes.size(); }

  // Fills `out` from the bytes at `offset`; the caller has checked the range
  // against size().
  void readAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (file) {
      file.readAt(offset, out);
      return;
    }
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
  }
};

namespace {

// Source is private to SafetensorsFile; deduced here, never named.
template <typename Source>
SafetensorsHeader checkSource(const Source& source, const SafetensorsLimits& limits) {
  const std::uint64_t size = source.size();
  if (size > limits.max_file_bytes) fail("safetensors file exceeds size limit");
  if (size < kLengthFieldBytes) fail("safetensors file is too short");
  std::array<std::uint8_t, kLengthFieldBytes> field{};
  source.readAt(0, field);
  const std::uint64_t length = readU64(field, 0);
  if (length > limits.max_header_bytes) fail("safetensors header exceeds size limit");
  if (length > size - kLengthFieldBytes) fail("safetensors header length exceeds file size");
  std::string text(static_cast<std::size_t>(length), '\0');
  source.readAt(kLengthFieldBytes,
                std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
  return parse_safetensors_header(text, size - kLengthFieldBytes - length);
}

}  // namespace

SafetensorsFile::SafetensorsFile(std::unique_ptr<Source> source, SafetensorsHeader header)
    : source_(std::move(source)), header_(std::move(header)) {
  for (std::size_t i = 0; i < header_.tensors.size(); ++i) {
    index_.emplace(header_.tensors[i].name, i);
  }
}

SafetensorsFile::SafetensorsFile(SafetensorsFile&&) noexcept = default;
SafetensorsFile& SafetensorsFile::operator=(SafetensorsFile&&) noexcept = default;
SafetensorsFile::~SafetensorsFile() = default;

SafetensorsFile SafetensorsFile::open(const std::filesystem::path& path,
                                      const SafetensorsLimits& limits) {
  auto source = std::make_unique<Source>();
  source->file = Import::OpenFile::open(path);
  SafetensorsHeader header = checkSource(*source, limits);
  return SafetensorsFile(std::move(source), std::move(header));
}

SafetensorsFile SafetensorsFile::from_bytes(ByteBuffer bytes, const SafetensorsLimits& limits) {
  auto source = std::make_unique<Source>();
  source->bytes = std::move(bytes);
  SafetensorsHeader header = checkSource(*source, limits);
  return SafetensorsFile(std::move(source), std::move(header));
}

const SafetensorsTensor* SafetensorsFile::find(std::string_view name) const noexcept {
  const auto found = index_.find(name);
  return found == index_.end() ? nullptr : &header_.tensors[found->second];
}

Tensor SafetensorsFile::read(std::string_view name) const {
  const SafetensorsTensor* tensor = find(name);
  if (tensor == nullptr) fail("safetensors file has no such tensor", std::string(name));
  std::vector<std::size_t> shape(tensor->shape.begin(), tensor->shape.end());
  if (std::find(shape.begin(), shape.end(), std::size_t{0}) != shape.end()) {
    fail("safetensors tensor has no elements", tensor->name);
  }
  // The header check proved count * size == end - begin <= the data present,
  // so this allocation is bounded by the file.
  Tensor out(std::move(shape), 0.0, true);
  const std::uint64_t base = kLengthFieldBytes + header_.header_bytes + tensor->begin;
  const std::uint64_t total = tensor->end - tensor->begin;
  const std::size_t elementSize = static_cast<std::size_t>(safetensors_dtype_size(tensor->dtype));
  std::vector<std::uint8_t> chunk(
      static_cast<std::size_t>(std::min<std::uint64_t>(total, kReadChunkBytes)));
  std::uint64_t done = 0;
  while (done < total) {
    const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(total - done, chunk.size()));
    const std::span<std::uint8_t> raw(chunk.data(), step);
    source_->readAt(base + done, raw);
    widenInto(tensor->dtype, raw, out.data.data() + done / elementSize);
    done += step;
  }
  return out;
}

}  // namespace Orvane::Core::Lumeth
