#include "lumeth/import/internal/safetensors_writer.hpp"

#include <bit>

#include <nlohmann/json.hpp>

namespace Orvane::Core::Lumeth::Import {

ByteBuffer write_safetensors(std::span<const SafetensorsEntry> entries,
                             const std::vector<std::pair<std::string, std::string>>& metadata) {
  std::string header = "{";
  const auto quoted = [](const std::string& text) { return nlohmann::json(text).dump(); };
  if (!metadata.empty()) {
    header += "\"__metadata__\":{";
    for (std::size_t i = 0; i < metadata.size(); ++i) {
      if (i != 0) header += ",";
      header += quoted(metadata[i].first) + ":" + quoted(metadata[i].second);
    }
    header += "}";
  }
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const SafetensorsEntry& entry = entries[i];
    if (i != 0 || !metadata.empty()) header += ",";
    header += quoted(entry.name) + ":{\"dtype\":\"" +
              std::string(safetensors_dtype_name(entry.dtype)) + "\",\"shape\":[";
    for (std::size_t k = 0; k < entry.shape.size(); ++k) {
      if (k != 0) header += ",";
      header += std::to_string(entry.shape[k]);
    }
    header += "],\"data_offsets\":[" + std::to_string(offset) + "," +
              std::to_string(offset + entry.bytes.size()) + "]}";
    offset += entry.bytes.size();
  }
  header += "}";
  header.append((8 - header.size() % 8) % 8, ' ');

  ByteBuffer file;
  file.reserve(8 + header.size() + offset);
  appendU64(file, header.size());
  appendBytes(file, header);
  for (const SafetensorsEntry& entry : entries) appendBytes(file, entry.bytes);
  return file;
}

ByteBuffer f64_bytes(std::span<const double> values) {
  ByteBuffer bytes;
  appendF64Array(bytes, values);
  return bytes;
}

ByteBuffer f32_bytes(std::span<const float> values) {
  ByteBuffer bytes;
  bytes.reserve(values.size() * 4);
  for (const float value : values) appendU32(bytes, std::bit_cast<std::uint32_t>(value));
  return bytes;
}

ByteBuffer u16_bytes(std::span<const std::uint16_t> values) {
  ByteBuffer bytes;
  bytes.reserve(values.size() * 2);
  for (const std::uint16_t value : values) appendU16(bytes, value);
  return bytes;
}

}  // namespace Orvane::Core::Lumeth::Import
