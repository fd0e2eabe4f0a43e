#pragma once

// The one exp the samplers call: the library's correctly rounded exp, the same
// bits on every machine. Every softmax weight of a sampler goes through here.

#include <cmath>
#include <span>

namespace Orvane::Core::Lumeth::sampling {

// values[k] = exp(values[k]) for every k.
inline void exp_in_place(std::span<double> values) noexcept {
  for (double& v : values) v = std::exp(v);
}

}  // namespace Orvane::Core::Lumeth::sampling
