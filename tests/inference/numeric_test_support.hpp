#pragma once

// Helpers shared by the tests of the forward pass, its kernels and session
// steps: values compared bit for bit, failures compared by exception kind
// and message, and seeded random tensors.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/inference/tensor.hpp"

namespace Orvane::Core::Lumeth::Testing {

// The bit patterns of `values`: equal vectors mean the same bits, so -0.0
// differs from 0.0 and a NaN equals only the same NaN.
inline std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
  std::vector<std::uint64_t> bits;
  bits.reserve(values.size());
  for (const double v : values) bits.push_back(std::bit_cast<std::uint64_t>(v));
  return bits;
}

// "<exception kind>: <message>" of what `run` throws, or "no error".
inline std::string failure_of(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::out_of_range& e) {
    return std::string("out_of_range: ") + e.what();
  } catch (const std::overflow_error& e) {
    return std::string("overflow_error: ") + e.what();
  } catch (const std::domain_error& e) {
    return std::string("domain_error: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "no error";
}

// Seeded uniform values, indices and full-precision tensors.
class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  double value(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(engine_);
  }
  // Uniform in [0, bound); bound > 0.
  std::size_t below(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(engine_);
  }
  Tensor tensor(std::vector<std::size_t> shape, double low = -1.0, double high = 1.0) {
    Tensor t(std::move(shape), 0.0, true);
    for (double& v : t.data) v = value(low, high);
    return t;
  }

 private:
  std::mt19937_64 engine_;
};

}  // namespace Orvane::Core::Lumeth::Testing
