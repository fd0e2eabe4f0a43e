#include "lumeth/generation/sampler.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "lumeth/generation/internal/sampler_internals.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::size_t kMaxVocabulary = std::size_t{std::numeric_limits<std::uint32_t>::max()} + 1;

void check_row(std::span<const double> logits) {
  if (logits.empty()) {
    throw std::invalid_argument("sampler needs at least one logit");
  }
  if (logits.size() > kMaxVocabulary) {
    throw std::invalid_argument("sampler vocabulary exceeds the token id range");
  }
}

[[noreturn]] void throw_not_finite() {
  throw std::invalid_argument("sampler logits must be finite");
}

// The ranking order: higher logit first, the lower id first among equals.
struct Ranking {
  std::span<const double> logits;
  bool operator()(std::uint32_t a, std::uint32_t b) const noexcept {
    return logits[a] > logits[b] || (logits[a] == logits[b] && a < b);
  }
};

// The candidate ids in ascending order and their weights, w_i = exp((l_i -
// m) / T), m the largest logit.
struct Candidates {
  std::vector<std::uint32_t> ids;
  std::vector<double> weights;  // weights[j] belongs to ids[j]
};

Candidates weigh(const kernels::KernelTable& kernels, std::span<const double> logits,
                 std::vector<std::uint32_t> ids, double maximum, double temperature) {
  Candidates c;
  c.weights.resize(ids.size());
  if (ids.size() == logits.size()) {
    // Every id, in order: a straight pass the compiler vectorises.
    for (std::size_t j = 0; j < ids.size(); ++j) {
      c.weights[j] = (logits[j] - maximum) / temperature;
    }
  } else {
    for (std::size_t j = 0; j < ids.size(); ++j) {
      c.weights[j] = (logits[ids[j]] - maximum) / temperature;
    }
  }
  // All the exps in one vectorised pass (in place: each block is read before
  // it is written). Subtracting a shift of 0.0 leaves every exponent as it is.
  kernels.exp_shifted(c.weights.data(), c.weights.data(), 0.0, c.weights.size());
  c.ids = std::move(ids);
  return c;
}

double ascending_sum(const std::vector<double>& weights) {
  double sum = 0.0;
  for (const double w : weights) sum += w;
  return sum;
}

// Step 4: the nucleus of `c` for mass `top_p`, in ascending id order.
Candidates nucleus(std::span<const double> logits, const Candidates& c, double top_p) {
  const double threshold = top_p * ascending_sum(c.weights);
  // Positions into c, popped in ranking order from a heap: only the nucleus
  // is ordered, which is usually a small part of the vocabulary.
  std::vector<std::uint32_t> heap(c.ids.size());
  for (std::size_t j = 0; j < heap.size(); ++j) heap[j] = static_cast<std::uint32_t>(j);
  const Ranking ranking{logits};
  // std heaps keep the largest element (under the comparison) on top, so the
  // comparison is the reverse of the ranking: the first-ranked comes out first.
  const auto later = [&](std::uint32_t a, std::uint32_t b) { return ranking(c.ids[b], c.ids[a]); };
  std::make_heap(heap.begin(), heap.end(), later);
  std::vector<std::uint32_t> kept;
  double running = 0.0;
  auto end = heap.end();
  while (end != heap.begin()) {
    std::pop_heap(heap.begin(), end, later);
    --end;
    kept.push_back(*end);
    running += c.weights[*end];
    if (running >= threshold) break;
  }
  std::sort(kept.begin(), kept.end());  // positions ascend with the ids
  Candidates out;
  out.ids.reserve(kept.size());
  out.weights.reserve(kept.size());
  for (const std::uint32_t j : kept) {
    out.ids.push_back(c.ids[j]);
    out.weights.push_back(c.weights[j]);
  }
  return out;
}

// Steps 5 and 6. The running sums are the same additions in the same order
// whichever way they are used, so one pass stores them all (the sum is one
// dependent chain, the cost that matters for a large vocabulary), S' is the
// last, and the first running sum above t is found by binary search (they
// never decrease).
std::uint32_t draw_from(const Candidates& c, double u) {
  std::vector<double> running(c.weights.size());
  double sum = 0.0;
  for (std::size_t j = 0; j < running.size(); ++j) {
    sum += c.weights[j];
    running[j] = sum;
  }
  const double t = u * sum;
  const auto above = std::upper_bound(running.begin(), running.end(), t);
  if (above != running.end()) return c.ids[static_cast<std::size_t>(above - running.begin())];
  // t rounded up to the whole sum: the last id that can be chosen at all.
  for (std::size_t j = c.ids.size(); j-- > 0;) {
    if (c.weights[j] > 0.0) return c.ids[j];
  }
  return c.ids.front();  // unreachable: the top candidate weighs exactly 1
}

std::uint32_t temperature_token(const kernels::KernelTable& kernels, std::span<const double> logits,
                                const SamplerOptions& options, double u) {
  const std::size_t vocabulary = logits.size();
  const std::uint32_t top = greedy_token(logits);  // also checks every logit
  const double maximum = logits[top];
  std::vector<std::uint32_t> ids(vocabulary);
  for (std::size_t i = 0; i < vocabulary; ++i) ids[i] = static_cast<std::uint32_t>(i);
  if (options.top_k && *options.top_k < vocabulary) {
    const auto kth = ids.begin() + static_cast<std::ptrdiff_t>(*options.top_k);
    // A total order, so the first k are the same set whatever the algorithm.
    std::nth_element(ids.begin(), kth - 1, ids.end(), Ranking{logits});
    ids.resize(*options.top_k);
    std::sort(ids.begin(), ids.end());
  }
  Candidates c = weigh(kernels, logits, std::move(ids), maximum, options.temperature);
  if (options.top_p < 1.0) c = nucleus(logits, c, options.top_p);
  return draw_from(c, u);
}

}  // namespace

void validate_sampler_options(const SamplerOptions& options) {
  if (static_cast<std::uint8_t>(options.method) >
      static_cast<std::uint8_t>(SamplingMethod::temperature)) {
    throw std::invalid_argument("sampler method is unknown");
  }
  if (!(options.temperature > 0.0) || !std::isfinite(options.temperature)) {
    throw std::invalid_argument("sampler temperature must be positive and finite");
  }
  if (options.top_k && *options.top_k == 0) {
    throw std::invalid_argument("sampler top_k must be at least 1");
  }
  if (!(options.top_p > 0.0 && options.top_p <= 1.0)) {
    throw std::invalid_argument("sampler top_p must be in (0, 1]");
  }
}

std::uint32_t greedy_token(std::span<const double> logits) {
  check_row(logits);
  std::size_t best = 0;
  for (std::size_t i = 0; i < logits.size(); ++i) {
    if (!std::isfinite(logits[i])) throw_not_finite();
    if (logits[i] > logits[best]) best = i;  // strictly: ties keep the lower id
  }
  return static_cast<std::uint32_t>(best);
}

std::uint32_t sample_token_with(const kernels::KernelTable& kernels, std::span<const double> logits,
                                const SamplerOptions& options, std::uint64_t seed,
                                std::uint64_t draw) {
  validate_sampler_options(options);
  if (seed == 0) {
    throw std::invalid_argument("sampler seed must not be 0");
  }
  if (options.method == SamplingMethod::greedy) return greedy_token(logits);
  check_row(logits);
  return temperature_token(kernels, logits, options, generator_uniform(seed, draw));
}

std::uint32_t sample_token(std::span<const double> logits, const SamplerOptions& options,
                           std::uint64_t seed, std::uint64_t draw) {
  return sample_token_with(kernels::active_kernels(), logits, options, seed, draw);
}

}  // namespace Orvane::Core::Lumeth
