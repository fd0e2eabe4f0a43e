#include "lumeth/inference/tensor.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace Orvane::Core::Lumeth {
namespace {

constexpr const char* kExtentMessage = "tensor extent must be positive";
constexpr const char* kOverflowMessage = "tensor shape overflows size_t";
constexpr const char* kRankMessage = "tensor rank mismatch";
constexpr const char* kBoundsMessage = "tensor index out of bounds";

}  // namespace

std::size_t element_count(std::span<const std::size_t> shape) {
  std::size_t product = 1;
  for (const std::size_t extent : shape) {
    if (extent == 0) {
      throw std::invalid_argument(kExtentMessage);
    }
    if (extent > std::numeric_limits<std::size_t>::max() / product) {
      throw std::overflow_error(kOverflowMessage);
    }
    product *= extent;
  }
  return product;
}

std::size_t checked_product(std::size_t a, std::size_t b) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    throw std::overflow_error(kOverflowMessage);
  }
  return product;
}

Tensor::Tensor(std::vector<std::size_t> shape_, double fill, bool full_precision_)
    : shape(std::move(shape_)), full_precision(full_precision_) {
  data.assign(element_count(shape), fill);
}

Tensor::Tensor(Tensor&& other) noexcept
    : shape(std::move(other.shape)),
      data(std::move(other.data)),
      full_precision(other.full_precision) {
  other.shape.clear();
  other.data.clear();
}

Tensor& Tensor::operator=(Tensor&& other) noexcept {
  if (this != &other) {
    shape = std::move(other.shape);
    data = std::move(other.data);
    full_precision = other.full_precision;
    other.shape.clear();
    other.data.clear();
  }
  return *this;
}

std::size_t Tensor::offset(std::span<const std::size_t> index) const {
  if (index.size() != shape.size()) {
    throw std::out_of_range(kRankMessage);
  }
  std::size_t result = 0;
  for (std::size_t d = 0; d < shape.size(); ++d) {
    if (index[d] >= shape[d]) {
      throw std::out_of_range(kBoundsMessage);
    }
    // The fields are public, so the shape may promise more elements than
    // size_t can count (the storage then holds far fewer): an offset that
    // would wrap is out of bounds, never a smaller, valid-looking one.
    if (__builtin_mul_overflow(result, shape[d], &result) ||
        __builtin_add_overflow(result, index[d], &result)) {
      throw std::out_of_range(kBoundsMessage);
    }
  }
  if (result >= data.size()) {
    throw std::out_of_range(kBoundsMessage);
  }
  return result;
}

std::size_t Tensor::offset(std::initializer_list<std::size_t> index) const {
  return offset(std::span<const std::size_t>(index.begin(), index.size()));
}

double Tensor::at(std::span<const std::size_t> index) const { return data[offset(index)]; }

double Tensor::at(std::initializer_list<std::size_t> index) const { return data[offset(index)]; }

double& Tensor::at(std::span<const std::size_t> index) { return data[offset(index)]; }

double& Tensor::at(std::initializer_list<std::size_t> index) { return data[offset(index)]; }

void check_shape(const Tensor& tensor, std::span<const std::size_t> expected,
                 std::string_view label) {
  if (!std::equal(tensor.shape.begin(), tensor.shape.end(), expected.begin(), expected.end())) {
    std::string message(label);
    message += " has an invalid shape";
    throw std::invalid_argument(message);
  }
}

void check_shape(const Tensor& tensor, std::initializer_list<std::size_t> expected,
                 std::string_view label) {
  check_shape(tensor, std::span<const std::size_t>(expected.begin(), expected.size()), label);
}

void check_storage(const Tensor& tensor) {
  if (tensor.data.size() < element_count(tensor.shape)) {
    throw std::out_of_range(kBoundsMessage);
  }
}

}  // namespace Orvane::Core::Lumeth
