#pragma once

// Choosing the next token from a row of logits: greedy (the highest logit),
// or a draw from the softmax at a temperature, optionally cut to the k most
// likely ids (top-k) and to the smallest set holding a share p of the
// probability (top-p). Draws come from a counter-based generator: draw n of
// seed s is a pure function of (s, n), so a generation that stops after any
// token and resumes later, in another process or on another machine, draws
// exactly what it would have drawn without stopping. A session keeps the
// seed as its `setting` and the number of draws so far as its `counter`.
//
// Sampling is exact double arithmetic in a fixed order, with the library's
// own correctly rounded exp: the same logits, options, seed and draw number
// give the same id everywhere.

#include <cstdint>
#include <optional>
#include <span>

namespace Orvane::Core::Lumeth {

// ---------------------------------------------------------------------------
// The generator
//
// Draw n (n = 0, 1, 2, ...) of seed s is
//
//   generator_draw(s, n) = mix(mix(s) + (n + 1) * kGeneratorGamma)
//
// in unsigned 64-bit arithmetic (wrapping), where mix is the SplitMix64
// finalizer:
//
//   z = (z ^ (z >> 30)) * kGeneratorMix1
//   z = (z ^ (z >> 27)) * kGeneratorMix2
//   mix(z) = z ^ (z >> 31)
//
// For a fixed seed this is the SplitMix64 sequence started from mix(s), a
// generator that passes BigCrush; mixing the seed first keeps nearby seeds
// (1, 2, 3, ...) from giving shifted copies of one stream. The uniform double
// of a draw is its top 53 bits times 2^-53, in [0, 1).

inline constexpr std::uint64_t kGeneratorGamma = 0x9E3779B97F4A7C15ULL;
inline constexpr std::uint64_t kGeneratorMix1 = 0xBF58476D1CE4E5B9ULL;
inline constexpr std::uint64_t kGeneratorMix2 = 0x94D049BB133111EBULL;

[[nodiscard]] constexpr std::uint64_t generator_mix(std::uint64_t z) noexcept {
  z = (z ^ (z >> 30)) * kGeneratorMix1;
  z = (z ^ (z >> 27)) * kGeneratorMix2;
  return z ^ (z >> 31);
}

[[nodiscard]] constexpr std::uint64_t generator_draw(std::uint64_t seed, std::uint64_t n) noexcept {
  return generator_mix(generator_mix(seed) + (n + 1) * kGeneratorGamma);
}

[[nodiscard]] constexpr double generator_uniform(std::uint64_t seed, std::uint64_t n) noexcept {
  return static_cast<double>(generator_draw(seed, n) >> 11) * 0x1p-53;
}

// ---------------------------------------------------------------------------
// Sampler options

enum class SamplingMethod : std::uint8_t {
  greedy = 0,       // the highest logit; uses no draw
  temperature = 1,  // a draw from softmax(logits / temperature); one draw per token
};

// Every field is validated whatever the method (validate_sampler_options),
// so a mistake is reported even where the method would not read it.
struct SamplerOptions {
  SamplingMethod method = SamplingMethod::greedy;
  double temperature = 1.0;  // > 0 and finite; below 1 sharpens, above 1 flattens
  std::optional<std::uint32_t> top_k =
      std::nullopt;    // keep the k most likely ids (k >= 1); none: all
  double top_p = 1.0;  // keep the smallest likeliest set of this mass; in (0, 1]
};

// Throws std::invalid_argument, checking in this order:
//   "sampler method is unknown"                       a method value above temperature;
//   "sampler temperature must be positive and finite" temperature <= 0, NaN or infinite;
//   "sampler top_k must be at least 1"                top_k holding 0;
//   "sampler top_p must be in (0, 1]"                 top_p <= 0, above 1 or NaN.
void validate_sampler_options(const SamplerOptions& options);

// Whether the method draws (one draw per token) or not (greedy).
[[nodiscard]] constexpr bool sampler_draws(const SamplerOptions& options) noexcept {
  return options.method == SamplingMethod::temperature;
}

// ---------------------------------------------------------------------------
// Choosing a token
//
// `logits` is one row [vocabulary] (as InferenceSession::append returns with
// LogitRows::last); the id returned is an index into it.
//
// Greedy: the id of the highest logit; among equal logits the lowest id.
//
// Temperature, with T = temperature, over the logits l_0 .. l_{V-1}:
//   1. Ranking: id a comes before id b when l_a > l_b, or l_a == l_b and
//      a < b (a total order; ties go to the lower id).
//   2. Candidates: the first top_k ids of the ranking when top_k < V,
//      otherwise every id.
//   3. m = the largest logit; w_i = exp((l_i - m) / T) for each candidate,
//      each operation rounded to double (w of the top candidate is exactly 1).
//   4. Top-p, only when top_p < 1: S = the sum of the candidates' w in
//      ascending id order; walking the candidates in ranking order and
//      adding their w, the nucleus ends with the first candidate at which
//      the running sum is >= top_p * S (that candidate is kept; candidates
//      with a logit equal to it but a higher id are not); if rounding keeps
//      the sum below that, every candidate is kept. The nucleus becomes the
//      candidates.
//   5. S' = the sum of the candidates' w in ascending id order; t = u * S',
//      u = generator_uniform(seed, draw).
//   6. Walking the candidates in ascending id order and adding their w, the
//      first candidate at which t < running sum is chosen; should rounding
//      leave t >= S', the highest candidate id with w > 0 is chosen. A
//      candidate whose w underflowed to 0 is never chosen.
// Every sum runs front to back in doubles, without reassociation or fused
// multiply-add. Equal logits weigh the same, so ties matter only to the cuts
// (steps 2 and 4); among the candidates they share the probability. Cost:
// O(V) for the weights (one exp per candidate, vectorised) and the running
// sum, plus an O(V) selection and an O(k log k) sort with top_k, and
// O(V + n log V) with top_p, n the nucleus size.

// Throws std::invalid_argument, in this order: "sampler needs at least one
// logit" for an empty row, "sampler vocabulary exceeds the token id range"
// for a row longer than 2^32, "sampler logits must be finite" for a NaN or
// infinite logit.
[[nodiscard]] std::uint32_t greedy_token(std::span<const double> logits);

// The token `options` chooses from `logits` with draw number `draw` of
// `seed` (ignored by greedy). Throws std::invalid_argument, in this order:
// validate_sampler_options's messages; "sampler seed must not be 0" (a
// session stores seed 0 as 1, so a seed of 0 would silently share the
// stream of seed 1); greedy_token's messages.
[[nodiscard]] std::uint32_t sample_token(std::span<const double> logits,
                                         const SamplerOptions& options, std::uint64_t seed,
                                         std::uint64_t draw);

}  // namespace Orvane::Core::Lumeth
