#pragma once

// Internal to the library: sample_token on an explicit kernel table, so that
// generation on a given instruction-set level samples on it too (the public
// sample_token runs kernels::active_kernels()). The softmax weights go through
// the table's exp_shifted, the library's correctly rounded exp at every
// level, so the level never changes a weight.

#include <cstdint>
#include <span>

#include "lumeth/generation/sampler.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"

namespace Orvane::Core::Lumeth {

// Exactly sample_token, on `kernels`.
[[nodiscard]] std::uint32_t sample_token_with(const kernels::KernelTable& kernels,
                                              std::span<const double> logits,
                                              const SamplerOptions& options, std::uint64_t seed,
                                              std::uint64_t draw);

}  // namespace Orvane::Core::Lumeth
