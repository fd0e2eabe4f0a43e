#pragma once

// Tensor: the one numeric container of the inference code, a dense row-major
// array of doubles with an explicit shape, plus the precision flag that
// producers honour when they store values.
//
// Row-major: for shape [e0, e1, ..., ek] the index (i0, i1, ..., ik) lives at
// offset ((i0 * e1 + i1) * e2 + i2) ... + ik. Every extent is at least 1; the
// empty shape is a scalar of one element. A default-constructed tensor (empty
// shape, empty data) is the empty state, not a scalar, and so is a moved-from
// tensor.

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "lumeth/inference/floating_point.hpp"

namespace Orvane::Core::Lumeth {

struct Tensor {
  std::vector<std::size_t> shape;  // extents, outermost first
  std::vector<double> data;        // element_count(shape) values, row-major
  // true: values are full doubles. false: producers store every value rounded
  // to the nearest single-precision value, widened back to double.
  bool full_precision = true;

  Tensor() = default;
  // Takes `shape` and fills element_count(shape) copies of `fill`. Throws as
  // element_count does, and std::length_error when the count is beyond what a
  // vector of doubles can hold.
  Tensor(std::vector<std::size_t> shape, double fill, bool full_precision);

  Tensor(const Tensor&) = default;
  Tensor& operator=(const Tensor&) = default;
  // The source keeps its flag and is left with empty shape and data.
  Tensor(Tensor&& other) noexcept;
  Tensor& operator=(Tensor&& other) noexcept;
  ~Tensor() = default;

  // Row-major offset of `index` (one entry per dimension). Throws
  // std::out_of_range "tensor rank mismatch" when the entry count differs from
  // the rank, and "tensor index out of bounds" at the first entry not below
  // its extent, when the offset does not fit in size_t, or when the storage
  // is shorter than the offset.
  [[nodiscard]] std::size_t offset(std::span<const std::size_t> index) const;
  [[nodiscard]] std::size_t offset(std::initializer_list<std::size_t> index) const;

  // Checked element access; same failures as offset(). A failed access changes
  // nothing.
  [[nodiscard]] double at(std::span<const std::size_t> index) const;
  [[nodiscard]] double at(std::initializer_list<std::size_t> index) const;
  [[nodiscard]] double& at(std::span<const std::size_t> index);
  [[nodiscard]] double& at(std::initializer_list<std::size_t> index);
};

// The number of elements of `shape`: 1 for the empty shape, else the product
// of the extents. Extents are checked in order: a zero extent throws
// std::invalid_argument "tensor extent must be positive"; a product beyond
// size_t throws std::overflow_error "tensor shape overflows size_t".
[[nodiscard]] std::size_t element_count(std::span<const std::size_t> shape);

// a * b, throwing std::overflow_error "tensor shape overflows size_t" when the
// product does not fit. For products of caller-given sizes that become a shape
// or an index (batch * seq, heads * head_dim, ...).
[[nodiscard]] std::size_t checked_product(std::size_t a, std::size_t b);

// Returns normally when tensor.shape equals `expected` exactly (same rank,
// same extents in order); otherwise throws std::invalid_argument with `label`
// followed by " has an invalid shape".
void check_shape(const Tensor& tensor, std::span<const std::size_t> expected,
                 std::string_view label);
void check_shape(const Tensor& tensor, std::initializer_list<std::size_t> expected,
                 std::string_view label);

// For code that walks tensor.data directly after check_shape: throws
// std::out_of_range "tensor index out of bounds" when the storage holds fewer
// values than the shape promises (fields are public, so a caller can break
// that invariant), and as element_count for a malformed shape.
void check_storage(const Tensor& tensor);

}  // namespace Orvane::Core::Lumeth
