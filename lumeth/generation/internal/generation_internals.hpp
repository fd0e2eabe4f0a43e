#pragma once

// Internal to the library: generate on an explicit kernel table, so that
// tests and benchmarks can run generation at every instruction-set level (the
// public generate runs kernels::active_kernels()).

#include <optional>
#include <span>
#include <string_view>

#include "lumeth/generation/generate.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"

namespace Orvane::Core::Lumeth {

struct GenerationPrompt {
  std::span<const std::uint32_t> ids{};
  // When set, encoded with the tokenizer instead of `ids`.
  std::optional<std::string_view> text{};
};

// Exactly generate, on `kernels`; `tokenizer` null for ids only.
GenerationResult generate_with(const kernels::KernelTable& kernels, InferenceSession& session,
                               const ITransformerTokenizer* tokenizer,
                               const GenerationPrompt& prompt, const GenerationOptions& options,
                               const GenerationCallback& callback);

}  // namespace Orvane::Core::Lumeth
