// A consumer of the inference headers, compiled (never linked) by
// fast_math_refused.cmake under different floating-point options.

#include "inference/attention.hpp"
#include "inference/feed_forward.hpp"
#include "inference/forward.hpp"
#include "inference/operators.hpp"

double stored_value(double x) {
  return Orvane::Core::Lumeth::guard_value(x, true, Orvane::Core::Lumeth::GuardLevel::forward);
}
