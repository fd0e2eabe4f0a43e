// A consumer of the inference headers, compiled (never linked) by
// fast_math_refused.cmake under different floating-point options.

#include "lumeth/inference/attention.hpp"
#include "lumeth/inference/feed_forward.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/operators.hpp"

double stored_value(double x) {
  return Orvane::Core::Lumeth::guard_value(x, true, Orvane::Core::Lumeth::GuardLevel::forward);
}
