#pragma once

// Internal to the library: InferenceSession::append on an explicit kernel
// table, so that tests and benchmarks can step a session at every
// instruction-set level (the public append runs kernels::active_kernels()).

#include <cstdint>
#include <span>

#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/session/inference_session.hpp"

namespace Orvane::Core::Lumeth {

struct SessionInternals {
  // Exactly InferenceSession::append, on `kernels`.
  static Tensor append_with(InferenceSession& session, const kernels::KernelTable& kernels,
                            std::span<const std::uint32_t> ids, const ForwardOptions& options,
                            LogitRows rows);
};

}  // namespace Orvane::Core::Lumeth
