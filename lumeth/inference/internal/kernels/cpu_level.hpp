#pragma once

// The instruction-set levels the exact kernels are built for, and the level
// this process runs on.
//
// One portable build carries every level; the widest one the processor
// supports is chosen once per process. The level is a fact of the machine,
// not a setting: nothing can change it, and all levels compute bit-identical
// results.

#include <cstdint>
#include <span>
#include <string_view>

namespace Orvane::Core::Lumeth::kernels {

enum class CpuLevel : std::uint8_t {
  portable = 0,  // plain C++, one double at a time; every platform
  sse2 = 1,      // x86-64 baseline, 2 doubles per vector
  avx2 = 2,      // 4 doubles per vector
  // AVX-512F/DQ/VL instructions on 4-double vectors, with 32 vector registers: for
  // processors that execute 512-bit operations as two 256-bit halves
  // (AMD family 19h), where the narrower blocks run faster.
  avx512_256 = 3,
  avx512 = 4,  // 8 doubles per vector; like avx512_256 it needs AVX-512F/DQ/VL
};

// Every level compiled into this build, narrowest first.
[[nodiscard]] std::span<const CpuLevel> compiled_levels() noexcept;

// Whether this processor (and its operating system) can run `level`.
[[nodiscard]] bool cpu_supports(CpuLevel level) noexcept;

// The level for this processor, detected on first use: the widest
// supported, except avx512_256 instead of avx512 where 512-bit operations
// run as two halves.
[[nodiscard]] CpuLevel detected_cpu_level() noexcept;

// "portable", "sse2", "avx2", "avx512_256" or "avx512".
[[nodiscard]] std::string_view level_name(CpuLevel level) noexcept;

}  // namespace Orvane::Core::Lumeth::kernels
