#pragma once

// The one exp the samplers call: the library's correctly rounded exp, the same
// bits on every machine. Every softmax weight of a sampler goes through here.

#include <cmath>

namespace Orvane::Core::Lumeth::sampling {

[[nodiscard]] inline double exp(double x) noexcept { return std::exp(x); }

}  // namespace Orvane::Core::Lumeth::sampling
