#pragma once

// Shared by the session tests: a session file spelled out field by field,
// and a snapshot of every member of a session for before/after comparisons.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/artifact/container.hpp"
#include "lumeth/artifact/model.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/session/inference_session.hpp"
#include "lumeth/spec/spec_description.hpp"

namespace Orvane::Core::Lumeth::Testing {

// A session file spelled out field by field, written with the container
// writer, so that tests can build files the library never writes (input
// tokens, cache rows, damaged fields) and edit one thing at a time.

struct SessionFile {
  std::string magic = "LUMECTS1";
  std::uint64_t specHash = 0;
  std::optional<std::string> binding;
  std::vector<TensorEntry> rows;
  ByteBuffer payload;
  std::uint64_t identity = 0;
  std::uint64_t numericPolicy = 0;
  std::uint64_t position = 0;
  std::uint64_t setting = 1;
  std::uint64_t counter = 0;
  std::uint64_t inputCount = 0;
  std::uint64_t stateSize = 0;
  std::uint32_t cacheCount = 0;
  ByteBuffer manifestTail;  // bytes after the last field

  // Appends `bytes` to the payload as the next row, with its checksum.
  void addRow(std::string name, ArtifactDType dtype, std::vector<std::uint64_t> shape,
              const ByteBuffer& bytes) {
    rows.push_back(
        {std::move(name), dtype, std::move(shape), payload.size(), bytes.size(), fnv1a64(bytes)});
    appendBytes(payload, bytes);
  }

  void addCache(std::vector<std::uint64_t> shape, const std::vector<double>& values) {
    ByteBuffer bytes;
    for (const double value : values) appendU64(bytes, std::bit_cast<std::uint64_t>(value));
    addRow("kv." + std::to_string(cacheCount), ArtifactDType::Float64, std::move(shape), bytes);
    ++cacheCount;
  }

  [[nodiscard]] ByteBuffer bytes() const {
    ByteBuffer manifest;
    write_manifest(manifest, rows, specHash, binding);
    appendU64(manifest, identity);
    appendU64(manifest, numericPolicy);
    appendU64(manifest, position);
    appendU64(manifest, setting);
    appendU64(manifest, counter);
    appendU64(manifest, inputCount);
    appendU64(manifest, stateSize);
    appendU32(manifest, cacheCount);
    appendBytes(manifest, manifestTail);
    return write_container(magic, manifest, payload);
  }
};

// A file for `model` holding `tokens` and `state`; add cache rows with
// addCache.
inline SessionFile sessionFile(const TransformerModel& model,
                               const std::vector<std::uint32_t>& tokens, const ByteBuffer& state) {
  SessionFile file;
  file.specHash = spec_hash(model.spec());
  file.binding = model.tokenizerHash();
  file.identity = model.identity();
  file.numericPolicy = fnv1a64(describe_spec(model.spec()));
  ByteBuffer tokenBytes;
  for (const std::uint32_t id : tokens) appendU32(tokenBytes, id);
  file.addRow("input_tokens", ArtifactDType::UInt32, {tokens.size()}, tokenBytes);
  file.addRow("tokenizer_state", ArtifactDType::UInt8, {state.size()}, state);
  file.inputCount = tokens.size();
  file.stateSize = state.size();
  return file;
}

// Every member, for before/after comparisons.
struct Snapshot {
  const TransformerModel* model;
  std::uint64_t position, setting, counter;
  std::vector<std::uint32_t> inputTokens;
  ByteBuffer tokenizerState;
  std::vector<std::vector<std::size_t>> cacheShapes;
  std::vector<std::vector<std::uint64_t>> cacheBits;
  ByteBuffer saved;

  explicit Snapshot(const InferenceSession& s)
      : model(s.model().get()),
        position(s.position()),
        setting(s.setting()),
        counter(s.counter()),
        inputTokens(s.input_tokens()),
        tokenizerState(s.tokenizer_state()),
        saved(s.save()) {
    for (const Tensor& tensor : s.cache()) {
      cacheShapes.push_back(tensor.shape);
      std::vector<std::uint64_t> bits;
      for (const double value : tensor.data) bits.push_back(std::bit_cast<std::uint64_t>(value));
      cacheBits.push_back(std::move(bits));
      EXPECT_TRUE(tensor.full_precision);
    }
  }
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

}  // namespace Orvane::Core::Lumeth::Testing
