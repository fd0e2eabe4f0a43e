// The safetensors reader over any bytes: SafetensorsFile::from_bytes, then a
// read of every tensor of an accepted file.
//
// Input: one flag byte (bit 0: small limits, 4096-byte files and 512-byte
// headers, instead of the defaults), then the file.
//
// Properties:
// - only ImportError escapes, and its message is the one a plain restatement
//   of the checks expects: the size and length checks and the range checks
//   exactly, in their order; for faults in the header's structure, which the
//   reader finds front to back in one pass, one of the faults that the
//   restatement finds in the whole document (it builds a DOM with
//   nlohmann-json instead of following the parse);
// - an accepted file is described exactly as the restatement reads it
//   (names, dtypes, shapes, offsets, metadata, in header order);
// - every tensor of an accepted file reads with its element count, each
//   value widened to the bits a separate widening gives (ldexp for F16, the
//   host's float for F32 and BF16); a tensor with an extent of 0 is refused
//   with "safetensors tensor has no elements";
// - writing the accepted tensors' bytes again and reading that file gives
//   the same tensors and values.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_support.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/import/internal/safetensors_writer.hpp"
#include "lumeth/import/safetensors.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

using Ordered = nlohmann::ordered_json;
using Failure = std::pair<std::string, std::string>;  // message, subject

// What the restatement concludes: a failure from a check whose outcome is
// exact, a set of possible structural failures, or an accepted header.
struct Expected {
  std::optional<Failure> exact;
  std::set<Failure> structural;
  SafetensorsHeader header;
};

bool isCount(const Ordered& value) { return value.is_number_unsigned(); }

std::optional<SafetensorsDType> dtypeOf(const std::string& text) {
  if (text == "F64") return SafetensorsDType::f64;
  if (text == "F32") return SafetensorsDType::f32;
  if (text == "BF16") return SafetensorsDType::bf16;
  if (text == "F16") return SafetensorsDType::f16;
  return std::nullopt;
}

// Structure of the document, every fault collected; duplicated member names
// are found by the parser callback, which also drops the later member.
void structuralFaults(std::string_view text, Expected& out) {
  std::set<std::string> rootNames;
  std::set<std::string> memberKeys;  // keys of the root member being parsed
  std::string currentRoot;
  const Ordered::parser_callback_t callback = [&](int depth, Ordered::parse_event_t event,
                                                  Ordered& parsed) {
    if (event == Ordered::parse_event_t::object_start && depth == 1) memberKeys.clear();
    if (event != Ordered::parse_event_t::key) return true;
    const std::string key = parsed.get<std::string>();
    if (depth == 1) {
      currentRoot = key;
      if (!rootNames.insert(key).second) {
        out.structural.insert({"safetensors header names a tensor twice", key});
        return false;
      }
    } else if (depth == 2 && !memberKeys.insert(key).second) {
      out.structural.insert(currentRoot == "__metadata__"
                                ? Failure{"safetensors metadata is not a map of strings", ""}
                                : Failure{"safetensors tensor entry is malformed", currentRoot});
    }
    return true;
  };
  const Ordered document = Ordered::parse(text.begin(), text.end(), callback);
  if (!document.is_object()) {
    out.structural.insert({"safetensors header is not a json object", ""});
    return;
  }
  for (const auto& [name, value] : document.items()) {
    if (name == "__metadata__") {
      bool good = value.is_object();
      if (good) {
        for (const auto& [key, text_value] : value.items()) {
          if (!text_value.is_string())
            good = false;
          else
            out.header.metadata.emplace_back(key, text_value.get<std::string>());
        }
      }
      if (!good) out.structural.insert({"safetensors metadata is not a map of strings", ""});
      continue;
    }
    const Failure malformed{"safetensors tensor entry is malformed", name};
    if (!value.is_object() || value.size() != 3 || !value.contains("dtype") ||
        !value.contains("shape") || !value.contains("data_offsets") ||
        !value["dtype"].is_string() || !value["shape"].is_array() ||
        !value["data_offsets"].is_array() || value["data_offsets"].size() != 2 ||
        !std::all_of(value["shape"].begin(), value["shape"].end(), isCount) ||
        !std::all_of(value["data_offsets"].begin(), value["data_offsets"].end(), isCount)) {
      out.structural.insert(malformed);
      continue;
    }
    const std::optional<SafetensorsDType> dtype = dtypeOf(value["dtype"].get<std::string>());
    if (!dtype) {
      out.structural.insert({"safetensors tensor has an unsupported dtype", name});
      continue;
    }
    SafetensorsTensor tensor;
    tensor.name = name;
    tensor.dtype = *dtype;
    for (const auto& extent : value["shape"]) tensor.shape.push_back(extent.get<std::uint64_t>());
    tensor.begin = value["data_offsets"][0].get<std::uint64_t>();
    tensor.end = value["data_offsets"][1].get<std::uint64_t>();
    out.header.tensors.push_back(std::move(tensor));
  }
}

std::optional<Failure> rangeFailure(const SafetensorsHeader& header) {
  for (const SafetensorsTensor& t : header.tensors) {
    unsigned __int128 bytes = safetensors_dtype_size(t.dtype);
    bool empty = false;
    for (const std::uint64_t extent : t.shape) empty = empty || extent == 0;
    bool overflow = false;
    if (empty) {
      bytes = 0;
    } else {
      // Element count first, then times the size; either may overflow.
      unsigned __int128 count = 1;
      for (const std::uint64_t extent : t.shape) {
        count *= extent;
        if (count > std::numeric_limits<std::uint64_t>::max()) overflow = true;
        if (overflow) break;
      }
      bytes = count * bytes;
      if (bytes > std::numeric_limits<std::uint64_t>::max()) overflow = true;
    }
    if (overflow) return Failure{"safetensors tensor shape overflows", t.name};
    if (t.begin > t.end) return Failure{"safetensors tensor offsets are reversed", t.name};
    if (t.end > header.data_bytes) {
      return Failure{"safetensors tensor lies outside the data section", t.name};
    }
    if (t.end - t.begin != bytes) {
      return Failure{"safetensors tensor byte count does not match its shape", t.name};
    }
  }
  // Every byte of the data section, in offset order, belongs to exactly the
  // next tensor: a plain walk over the ranges sorted by (begin, end).
  std::vector<const SafetensorsTensor*> sorted;
  for (const SafetensorsTensor& t : header.tensors) sorted.push_back(&t);
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) {
    return std::pair(a->begin, a->end) < std::pair(b->begin, b->end);
  });
  std::uint64_t end = 0;
  for (const SafetensorsTensor* t : sorted) {
    if (t->begin < end) return Failure{"safetensors tensors overlap", t->name};
    if (t->begin > end) {
      return Failure{"safetensors data section has bytes outside every tensor", t->name};
    }
    end = t->end;
  }
  if (end != header.data_bytes) {
    return Failure{"safetensors data section has bytes outside every tensor", ""};
  }
  return std::nullopt;
}

Expected expectedOutcome(std::span<const std::uint8_t> file, const SafetensorsLimits& limits) {
  Expected out;
  const auto fail = [&](const char* message) {
    out.exact = Failure{message, ""};
    return out;
  };
  if (file.size() > limits.max_file_bytes) return fail("safetensors file exceeds size limit");
  if (file.size() < 8) return fail("safetensors file is too short");
  const std::uint64_t length = readU64(file, 0);
  if (length > limits.max_header_bytes) return fail("safetensors header exceeds size limit");
  if (length > file.size() - 8) return fail("safetensors header length exceeds file size");
  const std::string_view text = asText(file.subspan(8, static_cast<std::size_t>(length)));
  if (!nlohmann::json::accept(text.begin(), text.end())) {
    return fail("safetensors header is not valid json");
  }
  out.header.header_bytes = length;
  out.header.data_bytes = file.size() - 8 - length;
  structuralFaults(text, out);
  if (out.structural.empty()) out.exact = rangeFailure(out.header);
  return out;
}

double widenedByReference(SafetensorsDType dtype, std::span<const std::uint8_t> raw) {
  switch (dtype) {
    case SafetensorsDType::f64:
      return std::bit_cast<double>(readU64(raw, 0));
    case SafetensorsDType::f32:
      return static_cast<double>(std::bit_cast<float>(readU32(raw, 0)));
    case SafetensorsDType::bf16:
      return static_cast<double>(std::bit_cast<float>(std::uint32_t{readU16(raw, 0)} << 16));
    case SafetensorsDType::f16: {
      const std::uint16_t h = readU16(raw, 0);
      const double sign = (h & 0x8000U) != 0 ? -1.0 : 1.0;
      const int exponent = (h >> 10) & 0x1F;
      const int fraction = h & 0x3FF;
      if (exponent == 0x1F) {
        return fraction == 0 ? sign * std::numeric_limits<double>::infinity()
                             : std::numeric_limits<double>::quiet_NaN();
      }
      if (exponent == 0) return sign * std::ldexp(fraction, -24);
      return sign * std::ldexp(1024 + fraction, exponent - 25);
    }
  }
  return 0.0;
}

bool sameValue(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

void checkAccepted(const SafetensorsFile& file, std::span<const std::uint8_t> bytes) {
  const SafetensorsHeader& header = file.header();
  std::vector<Import::SafetensorsEntry> entries;
  std::vector<Tensor> values;
  for (const SafetensorsTensor& tensor : header.tensors) {
    const auto raw = bytes.subspan(static_cast<std::size_t>(8 + header.header_bytes + tensor.begin),
                                   static_cast<std::size_t>(tensor.end - tensor.begin));
    entries.push_back(
        {tensor.name, tensor.dtype, tensor.shape, ByteBuffer(raw.begin(), raw.end())});
    const std::optional<std::string> refused =
        invalidArgumentOutcome([&] { values.push_back(file.read(tensor.name)); });
    const bool empty =
        std::find(tensor.shape.begin(), tensor.shape.end(), 0U) != tensor.shape.end();
    if (empty) {
      LUMETH_FUZZ_CHECK(refused == "safetensors tensor has no elements");
      values.emplace_back();
      continue;
    }
    LUMETH_FUZZ_CHECK(!refused);
    const Tensor& read = values.back();
    LUMETH_FUZZ_CHECK(
        std::equal(read.shape.begin(), read.shape.end(), tensor.shape.begin(), tensor.shape.end()));
    const std::size_t size = static_cast<std::size_t>(safetensors_dtype_size(tensor.dtype));
    LUMETH_FUZZ_CHECK(read.data.size() * size == raw.size());
    for (std::size_t i = 0; i < read.data.size(); ++i) {
      LUMETH_FUZZ_CHECK(
          sameValue(read.data[i], widenedByReference(tensor.dtype, raw.subspan(i * size, size))));
    }
  }

  // Written again (the writer's own layout: header order, no padding
  // between tensors), the same tensors and values come back. Names that the
  // writer cannot spell (invalid UTF-8 is refused by the reader anyway) do
  // not occur in an accepted file.
  const ByteBuffer rewritten = Import::write_safetensors(entries, header.metadata);
  const SafetensorsFile again = SafetensorsFile::from_bytes(rewritten, {});
  LUMETH_FUZZ_CHECK(again.header().metadata == header.metadata);
  LUMETH_FUZZ_CHECK(again.header().tensors.size() == header.tensors.size());
  for (std::size_t k = 0; k < header.tensors.size(); ++k) {
    const SafetensorsTensor& a = header.tensors[k];
    const SafetensorsTensor& b = again.header().tensors[k];
    LUMETH_FUZZ_CHECK(a.name == b.name && a.dtype == b.dtype && a.shape == b.shape);
    if (values[k].data.empty()) continue;
    const Tensor reread = again.read(b.name);
    LUMETH_FUZZ_CHECK(reread.data.size() == values[k].data.size());
    for (std::size_t i = 0; i < reread.data.size(); ++i) {
      LUMETH_FUZZ_CHECK(std::bit_cast<std::uint64_t>(reread.data[i]) ==
                        std::bit_cast<std::uint64_t>(values[k].data[i]));
    }
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  if (size == 0) return 0;
  SafetensorsLimits limits;
  if ((data[0] & 1U) != 0) {
    limits.max_file_bytes = 4096;
    limits.max_header_bytes = 512;
  }
  const std::span<const std::uint8_t> file = bytesOf(data + 1, size - 1);
  const Expected expected = expectedOutcome(file, limits);

  std::optional<SafetensorsFile> accepted;
  std::optional<Failure> failure;
  try {
    accepted.emplace(SafetensorsFile::from_bytes(ByteBuffer(file.begin(), file.end()), limits));
  } catch (const ImportError& error) {
    failure = Failure{error.what(), error.subject()};
  } catch (const std::exception& error) {
    undocumentedException(error.what());
  } catch (...) {
    undocumentedException("(not a std::exception)");
  }

  if (!expected.structural.empty()) {
    LUMETH_FUZZ_CHECK(failure && expected.structural.contains(*failure));
    return 0;
  }
  LUMETH_FUZZ_CHECK(failure == expected.exact);
  if (!accepted) return 0;
  const SafetensorsHeader& header = accepted->header();
  LUMETH_FUZZ_CHECK(header.header_bytes == expected.header.header_bytes);
  LUMETH_FUZZ_CHECK(header.data_bytes == expected.header.data_bytes);
  LUMETH_FUZZ_CHECK(header.tensors == expected.header.tensors);
  LUMETH_FUZZ_CHECK(header.metadata == expected.header.metadata);
  checkAccepted(*accepted, file);
  return 0;
}
