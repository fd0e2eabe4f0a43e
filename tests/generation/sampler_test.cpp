#include "lumeth/generation/sampler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace Orvane::Core::Lumeth {
namespace {

using Logits = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

SamplerOptions temperature(double t, std::optional<std::uint32_t> top_k = std::nullopt,
                           double top_p = 1.0) {
  return {.method = SamplingMethod::temperature, .temperature = t, .top_k = top_k, .top_p = top_p};
}

void expectInvalid(const std::function<void()>& action, const std::string& message) {
  try {
    action();
    ADD_FAILURE() << "expected \"" << message << "\"";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(error.what(), message);
  }
}

TEST(Generator, IsSplitMix64FromTheMixedSeed) {
  // mix(0) = 0, so seed 0 gives the SplitMix64 sequence started from state
  // 0, whose first outputs are published with the generator.
  EXPECT_EQ(generator_draw(0, 0), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(generator_draw(0, 1), 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(generator_draw(0, 2), 0x06C45D188009454FULL);
  // A pure function of (seed, n): usable at compile time, no hidden state.
  static_assert(generator_draw(7, 1000) == generator_draw(7, 1000));
  static_assert(generator_draw(1, 0) != generator_draw(2, 0));
  static_assert(generator_uniform(1, 0) >= 0.0 && generator_uniform(1, 0) < 1.0);
  EXPECT_EQ(generator_uniform(5, 9),
            static_cast<double>(generator_draw(5, 9) >> 11) / 9007199254740992.0);
}

TEST(Generator, NearbySeedsGiveUnrelatedStreams) {
  // Without mixing the seed, seed s + gamma would replay seed s shifted by one
  // draw, and small seeds would start from nearly equal states.
  for (std::uint64_t seed = 1; seed < 64; ++seed) {
    for (std::uint64_t n = 0; n < 64; ++n) {
      ASSERT_NE(generator_draw(seed, n + 1), generator_draw(seed + 1, n));
      ASSERT_NE(generator_draw(seed, n), generator_draw(seed + 1, n));
    }
  }
  EXPECT_NE(generator_draw(1, 1), generator_draw(1 + kGeneratorGamma, 0));
}

TEST(SamplerOptions, AreValidatedInOrderWithClearMessages) {
  struct Case {
    SamplerOptions options;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{.method = static_cast<SamplingMethod>(2)}, "sampler method is unknown"},
      {{.method = static_cast<SamplingMethod>(2), .temperature = 0.0}, "sampler method is unknown"},
      {temperature(0.0), "sampler temperature must be positive and finite"},
      {temperature(-1.0), "sampler temperature must be positive and finite"},
      {temperature(kNaN), "sampler temperature must be positive and finite"},
      {temperature(kInf), "sampler temperature must be positive and finite"},
      {temperature(0.0, 0u, 2.0), "sampler temperature must be positive and finite"},
      {temperature(1.0, 0u), "sampler top_k must be at least 1"},
      {temperature(1.0, 0u, 0.0), "sampler top_k must be at least 1"},
      {temperature(1.0, std::nullopt, 0.0), "sampler top_p must be in (0, 1]"},
      {temperature(1.0, std::nullopt, -0.5), "sampler top_p must be in (0, 1]"},
      {temperature(1.0, std::nullopt, 1.0000000001), "sampler top_p must be in (0, 1]"},
      {temperature(1.0, std::nullopt, kNaN), "sampler top_p must be in (0, 1]"},
      // Greedy reads none of them, but a mistake is still a mistake.
      {{.method = SamplingMethod::greedy, .temperature = 0.0},
       "sampler temperature must be positive and finite"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    expectInvalid([&] { validate_sampler_options(c.options); }, c.message);
    expectInvalid([&] { (void)sample_token(Logits{1.0}, c.options, 1, 0); }, c.message);
  }
  validate_sampler_options({});
  validate_sampler_options(temperature(1e-300, 1u, 1.0));
  validate_sampler_options(temperature(1e300, 4000000000u, 1e-300));
}

TEST(Sampler, RefusesSeedZeroAndRowsItCannotRead) {
  const Logits row{0.5, 1.5};
  expectInvalid([&] { (void)sample_token(row, temperature(1.0), 0, 0); },
                "sampler seed must not be 0");
  expectInvalid([&] { (void)sample_token(row, SamplerOptions{}, 0, 0); },
                "sampler seed must not be 0");
  for (const SamplerOptions& options : {SamplerOptions{}, temperature(1.0)}) {
    expectInvalid([&] { (void)sample_token(Logits{}, options, 1, 0); },
                  "sampler needs at least one logit");
    for (const double bad : {kNaN, kInf, -kInf}) {
      expectInvalid(
          [&] {
            (void)sample_token(Logits{0.0, bad, 1.0}, options, 1, 0);
          },
          "sampler logits must be finite");
    }
  }
  expectInvalid([&] { (void)greedy_token(Logits{}); }, "sampler needs at least one logit");
}

TEST(Sampler, GreedyTakesTheHighestLogitAndTiesGoToTheLowestId) {
  EXPECT_EQ(greedy_token(Logits{1.0, 3.0, 3.0, 2.0}), 1u);
  EXPECT_EQ(greedy_token(Logits{-0.0, 0.0}), 0u);
  EXPECT_EQ(greedy_token(Logits{-5.0}), 0u);
  EXPECT_EQ(greedy_token(Logits{-1e308, -1e308, 1e308}), 2u);
  // Greedy never draws: the draw number and seed do not matter.
  EXPECT_EQ(sample_token(Logits{0.0, 2.0, 2.0}, SamplerOptions{}, 99, 12345), 1u);
  EXPECT_FALSE(sampler_draws(SamplerOptions{}));
  EXPECT_TRUE(sampler_draws(temperature(1.0)));
}

TEST(Sampler, CutsResolveTiesByIdAndTheTopPBoundaryKeepsItsCandidate) {
  struct Case {
    const char* name;
    Logits logits;
    SamplerOptions options;
    std::vector<std::uint32_t> possible;  // exactly the ids that may come out
  };
  const std::vector<Case> cases = {
      // top-k 2 among three equal logits: the two lower ids.
      {"top-k tie", {0.0, 1.0, 1.0, 1.0}, temperature(1.0, 2u), {1, 2}},
      // Weights 1, 1, 1, 1/e: half the mass (1.68) is reached at the second
      // candidate, which is kept; the third, equal to it, is not.
      {"top-p tie", {1.0, 1.0, 1.0, 0.0}, temperature(1.0, std::nullopt, 0.5), {0, 1}},
      // Mass reached exactly at a boundary: 1 + 1 >= 0.5 * 4.
      {"top-p exact", {2.0, 2.0, 2.0, 2.0}, temperature(1.0, std::nullopt, 0.5), {0, 1}},
      {"top-k 1 is greedy", {0.3, 0.2, 0.9, 0.9}, temperature(5.0, 1u), {2}},
      {"tiny top-p is greedy", {0.3, 0.2, 0.9, 0.8}, temperature(5.0, std::nullopt, 1e-9), {2}},
      // Weights below the smallest double never come out; equal maxima stay.
      {"underflow", {0.0, 1.0, -1.0, 1.0}, temperature(1e-300), {1, 3}},
      {"top-k above the vocabulary", {0.0, 0.1}, temperature(1.0, 7u), {0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::size_t> counts(c.logits.size());
    for (std::uint64_t draw = 0; draw < 4000; ++draw) {
      ++counts[sample_token(c.logits, c.options, 3, draw)];
    }
    for (std::uint32_t id = 0; id < counts.size(); ++id) {
      const bool possible = std::count(c.possible.begin(), c.possible.end(), id) > 0;
      EXPECT_EQ(counts[id] > 0, possible) << "id " << id << " came out " << counts[id] << " times";
    }
  }
}

// Chi-square statistic of `counts` against `probabilities` (which sum to 1).
double chiSquare(const std::vector<std::size_t>& counts, const std::vector<double>& probabilities) {
  const double total =
      static_cast<double>(std::accumulate(counts.begin(), counts.end(), std::size_t{0}));
  double statistic = 0.0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (probabilities[i] == 0.0) {
      if (counts[i] != 0) return kInf;
      continue;
    }
    const double expected = total * probabilities[i];
    const double diff = static_cast<double>(counts[i]) - expected;
    statistic += diff * diff / expected;
  }
  return statistic;
}

// The probabilities the sampler must follow, worked out independently:
// softmax(l / T) over the top_k highest logits (ties to the lower id), then
// over the smallest likeliest prefix whose mass reaches top_p.
std::vector<double> expectedProbabilities(const Logits& logits, const SamplerOptions& options) {
  std::vector<std::uint32_t> order(logits.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return logits[a] > logits[b]; });
  if (options.top_k) order.resize(std::min<std::size_t>(order.size(), *options.top_k));
  std::vector<double> weight(logits.size(), 0.0);
  double sum = 0.0;
  for (const std::uint32_t id : order) {
    weight[id] = std::exp((logits[id] - logits[order[0]]) / options.temperature);
    sum += weight[id];
  }
  double mass = 0.0;
  std::size_t kept = 0;
  while (kept < order.size() && mass < options.top_p * sum) mass += weight[order[kept++]];
  std::vector<double> probabilities(logits.size(), 0.0);
  for (std::size_t k = 0; k < kept; ++k) probabilities[order[k]] = weight[order[k]] / mass;
  return probabilities;
}

TEST(Sampler, FrequenciesFollowTheSoftmaxProbabilities) {
  // 100000 draws of a fixed seed: the statistic is one fixed number, and the
  // bound of 50 (with at most 7 degrees of freedom, a correct sampler exceeds
  // it with probability 1.4e-8) leaves no room for an unlucky seed. A
  // temperature off by a tenth gives over 400.
  const Logits logits{2.0, 1.0, 0.5, 0.0, -1.0, -3.0, 0.5, 1.7};
  const std::vector<SamplerOptions> cases = {
      temperature(1.0),
      temperature(0.5),
      temperature(2.5),
      temperature(1.5, 3u),
      temperature(1.0, std::nullopt, 0.8),
      temperature(0.8, 5u, 0.9),
  };
  constexpr std::uint64_t kDraws = 100000;
  for (std::size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE("case " + std::to_string(c));
    std::vector<std::size_t> counts(logits.size());
    for (std::uint64_t draw = 0; draw < kDraws; ++draw) {
      ++counts[sample_token(logits, cases[c], 20240601 + c, draw)];
    }
    const std::vector<double> probabilities = expectedProbabilities(logits, cases[c]);
    EXPECT_LT(chiSquare(counts, probabilities), 50.0);
    if (c == 0) {
      // The test can tell: the same counts against another temperature.
      EXPECT_GT(chiSquare(counts, expectedProbabilities(logits, temperature(1.1))), 200.0);
    }
  }
}

TEST(Sampler, KnownAnswersHoldOnEveryMachine) {
  // The weights come from the library's correctly rounded exp and every sum
  // has a fixed order, so these ids are the same wherever the test runs.
  Logits logits(64);
  for (std::size_t i = 0; i < logits.size(); ++i) {
    logits[i] = static_cast<double>((i * 37) % 64) / 16.0 - 2.0;
  }
  const std::vector<SamplerOptions> cases = {temperature(0.7), temperature(1.3, 9u),
                                             temperature(1.0, std::nullopt, 0.6)};
  std::vector<std::vector<std::uint32_t>> ids(cases.size());
  for (std::size_t c = 0; c < cases.size(); ++c) {
    for (std::uint64_t draw = 0; draw < 12; ++draw) {
      ids[c].push_back(sample_token(logits, cases[c], 1234, draw));
    }
  }
  EXPECT_EQ(ids[0], (std::vector<std::uint32_t>{31, 38, 3, 43, 19, 12, 3, 58, 31, 31, 17, 4}));
  EXPECT_EQ(ids[1], (std::vector<std::uint32_t>{31, 38, 5, 43, 19, 12, 5, 57, 31, 31, 19, 5}));
  EXPECT_EQ(ids[2], (std::vector<std::uint32_t>{31, 38, 5, 43, 19, 12, 5, 57, 31, 31, 17, 5}));
}

TEST(Sampler, TheSameSeedAndDrawGiveTheSameIdAndDrawsVary) {
  Logits logits(300);
  for (std::size_t i = 0; i < logits.size(); ++i) {
    logits[i] = std::sin(static_cast<double>(i) * 0.37) * 3.0;
  }
  const SamplerOptions options = temperature(0.9, 100u, 0.95);
  std::vector<std::uint32_t> first;
  for (std::uint64_t draw = 0; draw < 50; ++draw) {
    first.push_back(sample_token(logits, options, 42, draw));
  }
  for (std::uint64_t draw = 50; draw-- > 0;) {
    EXPECT_EQ(sample_token(logits, options, 42, draw), first[draw]);
  }
  std::vector<std::uint32_t> other;
  for (std::uint64_t draw = 0; draw < 50; ++draw) {
    other.push_back(sample_token(logits, options, 43, draw));
  }
  EXPECT_NE(first, other);
  EXPECT_GT(std::set<std::uint32_t>(first.begin(), first.end()).size(), 10u);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
