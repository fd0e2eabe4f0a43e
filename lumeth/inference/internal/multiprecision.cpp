#include "lumeth/inference/internal/multiprecision.hpp"

#include <bit>
#include <cstddef>

namespace Orvane::Core::Lumeth::multiprecision {
namespace {

__extension__ using u128 = unsigned __int128;

// Significands in work buffers are most significant limb first: limb i weighs
// 2^(-64 (i + 1)).
constexpr int kWork = kLimbs + 2;

// Terms smaller than the running sum by this many binary orders no longer
// change its 256 bits.
constexpr std::int64_t kNegligible = 260;

Float one() noexcept {
  Float f;
  f.limbs[0] = std::uint64_t{1} << 63;
  f.exponent = 1;
  return f;
}

// Normalises the value 0.buffer[0..n) * 2^exponent and keeps its first kLimbs
// limbs (truncation).
Float pack(const std::uint64_t* buffer, int n, std::int64_t exponent, bool negative) noexcept {
  int first = 0;
  while (first < n && buffer[first] == 0) ++first;
  Float f;
  if (first == n) return f;
  const int shift = std::countl_zero(buffer[first]);
  exponent -= 64 * static_cast<std::int64_t>(first) + shift;
  for (int i = 0; i < kLimbs; ++i) {
    const int source = first + i;
    const std::uint64_t high = source < n ? buffer[source] : 0;
    const std::uint64_t low = source + 1 < n ? buffer[source + 1] : 0;
    f.limbs[static_cast<std::size_t>(i)] =
        shift == 0 ? high : (high << shift) | (low >> (64 - shift));
  }
  f.exponent = exponent;
  f.negative = negative;
  return f;
}

// -1, 0 or 1 as |a| is below, equal to or above |b|.
int compare_magnitude(const Float& a, const Float& b) noexcept {
  if (is_zero(a) || is_zero(b)) return is_zero(a) ? (is_zero(b) ? 0 : -1) : 1;
  if (a.exponent != b.exponent) return a.exponent < b.exponent ? -1 : 1;
  for (std::size_t i = 0; i < kLimbs; ++i) {
    if (a.limbs[i] != b.limbs[i]) return a.limbs[i] < b.limbs[i] ? -1 : 1;
  }
  return 0;
}

// |big| + |small| or |big| - |small| (|big| >= |small|), with the sign of big.
Float combine(const Float& big, const Float& small, bool subtract_magnitudes) noexcept {
  std::uint64_t a[kWork] = {};
  std::uint64_t b[kWork] = {};
  for (int i = 0; i < kLimbs; ++i) a[i] = big.limbs[static_cast<std::size_t>(i)];
  const std::int64_t distance = big.exponent - small.exponent;
  if (distance >= 64 * kWork) return big;
  const int limb_shift = static_cast<int>(distance / 64);
  const int bit_shift = static_cast<int>(distance % 64);
  for (int i = 0; i < kLimbs; ++i) {
    const std::uint64_t v = small.limbs[static_cast<std::size_t>(i)];
    const int target = i + limb_shift;
    if (target < kWork) b[target] |= bit_shift == 0 ? v : v >> bit_shift;
    if (bit_shift != 0 && target + 1 < kWork) b[target + 1] |= v << (64 - bit_shift);
  }
  std::uint64_t out[kWork + 1] = {};
  if (!subtract_magnitudes) {
    std::uint64_t carry = 0;
    for (int i = kWork - 1; i >= 0; --i) {
      const u128 t = static_cast<u128>(a[i]) + b[i] + carry;
      out[i + 1] = static_cast<std::uint64_t>(t);
      carry = static_cast<std::uint64_t>(t >> 64);
    }
    out[0] = carry;
    return pack(out, kWork + 1, big.exponent + 64, big.negative);
  }
  std::uint64_t borrow = 0;
  for (int i = kWork - 1; i >= 0; --i) {
    const std::uint64_t d = a[i] - b[i] - borrow;
    borrow = (a[i] < b[i] || (a[i] == b[i] && borrow != 0)) ? 1 : 0;
    out[i] = d;
  }
  return pack(out, kWork, big.exponent, big.negative);
}

}  // namespace

bool is_zero(const Float& a) noexcept { return a.limbs[0] == 0; }

Float from_double(double x) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const int field = static_cast<int>((bits >> 52) & 0x7FF);
  std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
  std::int64_t k = -1074;
  if (field != 0) {
    m |= std::uint64_t{1} << 52;
    k = field - 1075;
  }
  // x = m * 2^k = 0.m (one limb) * 2^(k + 64).
  return pack(&m, 1, k + 64, (bits >> 63) != 0);
}

Float from_constant(const elementary::tables::MultiprecisionConstant& c) noexcept {
  Float f;
  for (std::size_t i = 0; i < kLimbs; ++i) f.limbs[i] = c.limbs[i];
  f.exponent = c.exponent;
  return f;
}

Float from_fraction(const std::uint64_t* limbs, int count, int s) noexcept {
  std::uint64_t buffer[12] = {};
  for (int i = 0; i < count; ++i) buffer[i] = limbs[i];
  // Clear the bits at and above position s (counted from the least
  // significant bit of the last limb).
  for (int i = 0; i < count; ++i) {
    const int low_bit = 64 * (count - 1 - i);  // position of this limb's lowest bit
    if (low_bit >= s) {
      buffer[i] = 0;
    } else if (low_bit + 64 > s) {
      buffer[i] &= (std::uint64_t{1} << (s - low_bit)) - 1;
    }
  }
  return pack(buffer, count, 64 * static_cast<std::int64_t>(count) - s, false);
}

Float negate(Float a) noexcept {
  a.negative = !a.negative;
  return a;
}

Float add(const Float& a, const Float& b) noexcept {
  if (is_zero(a)) return b;
  if (is_zero(b)) return a;
  const bool a_larger = compare_magnitude(a, b) >= 0;
  const Float& big = a_larger ? a : b;
  const Float& small = a_larger ? b : a;
  return combine(big, small, a.negative != b.negative);
}

Float subtract(const Float& a, const Float& b) noexcept { return add(a, negate(b)); }

Float multiply(const Float& a, const Float& b) noexcept {
  if (is_zero(a) || is_zero(b)) return Float{};
  std::uint64_t p[2 * kLimbs] = {};
  for (int i = kLimbs - 1; i >= 0; --i) {
    std::uint64_t carry = 0;
    for (int j = kLimbs - 1; j >= 0; --j) {
      const u128 t = static_cast<u128>(a.limbs[static_cast<std::size_t>(i)]) *
                         b.limbs[static_cast<std::size_t>(j)] +
                     p[i + j + 1] + carry;
      p[i + j + 1] = static_cast<std::uint64_t>(t);
      carry = static_cast<std::uint64_t>(t >> 64);
    }
    p[i] = carry;
  }
  return pack(p, 2 * kLimbs, a.exponent + b.exponent, a.negative != b.negative);
}

Float multiply(const Float& a, std::uint64_t k) noexcept {
  if (is_zero(a) || k == 0) return Float{};
  std::uint64_t out[kLimbs + 1] = {};
  std::uint64_t carry = 0;
  for (int i = kLimbs - 1; i >= 0; --i) {
    const u128 t = static_cast<u128>(a.limbs[static_cast<std::size_t>(i)]) * k + carry;
    out[i + 1] = static_cast<std::uint64_t>(t);
    carry = static_cast<std::uint64_t>(t >> 64);
  }
  out[0] = carry;
  return pack(out, kLimbs + 1, a.exponent + 64, a.negative);
}

Float divide(const Float& a, std::uint64_t k) noexcept {
  if (is_zero(a)) return a;
  std::uint64_t q[kLimbs + 1] = {};
  u128 remainder = 0;
  for (int i = 0; i <= kLimbs; ++i) {
    const std::uint64_t limb = i < kLimbs ? a.limbs[static_cast<std::size_t>(i)] : 0;
    const u128 current = (remainder << 64) | limb;
    q[i] = static_cast<std::uint64_t>(current / k);
    remainder = current % k;
  }
  return pack(q, kLimbs + 1, a.exponent, a.negative);
}

Float scale(Float a, std::int64_t k) noexcept {
  a.exponent += k;
  return a;
}

namespace {

// Rounds |a| (nonzero) to a double's bits, ties to even. When `snap`, a value
// within 2^-150 of a unit in the last place of a rounding boundary is taken
// to lie on it.
std::uint64_t round_magnitude(const Float& a, bool snap) noexcept {
  // |a| = 1.f * 2^e2 with e2 = exponent - 1; p significant bits survive.
  const std::int64_t e2 = a.exponent - 1;
  if (e2 > 1023) return 0x7FF0000000000000ULL;
  std::int64_t p = 53;
  if (e2 < -1022) p = e2 + 1075;  // gradual underflow
  if (p < 0) return 0;
  // Bit i of the significand, counted from its top bit (i = 0).
  const auto bit = [&a](std::int64_t i) -> std::uint64_t {
    if (i < 0 || i >= 64 * kLimbs) return 0;
    return (a.limbs[static_cast<std::size_t>(i / 64)] >> (63 - i % 64)) & 1;
  };
  std::uint64_t mantissa = 0;
  for (std::int64_t i = 0; i < p; ++i) mantissa = (mantissa << 1) | bit(i);
  std::uint64_t round = bit(p);
  bool sticky = false;
  bool all_ones = true;
  bool all_zeros = true;
  constexpr std::int64_t kSnapBits = 150;
  for (std::int64_t i = p + 1; i < 64 * kLimbs; ++i) {
    const std::uint64_t b = bit(i);
    if (b != 0) sticky = true;
    if (i <= p + kSnapBits) {
      if (b != 0) all_zeros = false;
      if (b == 0) all_ones = false;
    }
  }
  if (snap) {
    if (all_zeros) {
      sticky = false;  // on a double (round 0) or a midpoint (round 1)
    } else if (round == 0 && all_ones) {
      round = 1;  // just below a midpoint
      sticky = false;
    }
  }
  if (round != 0 && (sticky || (mantissa & 1) != 0)) ++mantissa;
  // A carry out of the significand moves into the exponent field by itself.
  if (p == 53) {
    const std::uint64_t bits =
        (static_cast<std::uint64_t>(e2 + 1022) << 52) + mantissa;  // mantissa >= 2^52
    return bits >= 0x7FF0000000000000ULL ? 0x7FF0000000000000ULL : bits;
  }
  return mantissa;  // subnormal: mantissa * 2^-1074 (2^52 is the least normal)
}

double finish(const Float& a, bool snap) noexcept {
  const std::uint64_t sign = a.negative ? 0x8000000000000000ULL : 0;
  if (is_zero(a)) return std::bit_cast<double>(sign);
  return std::bit_cast<double>(sign | round_magnitude(a, snap));
}

}  // namespace

double to_double(const Float& a) noexcept { return finish(a, false); }

double to_double_snapped(const Float& a) noexcept { return finish(a, true); }

Float exp(const Float& x) noexcept {
  if (is_zero(x)) return one();
  // x = k ln 2 + r with |r| <= about ln 2 / 2; exp(r) = exp(r / 256)^256.
  const double approximate = to_double(x) * 1.4426950408889634;
  const std::int64_t k = static_cast<std::int64_t>(approximate + (approximate >= 0.0 ? 0.5 : -0.5));
  const Float ln2 = from_constant(elementary::tables::kMpLn2);
  Float k_ln2 = multiply(ln2, static_cast<std::uint64_t>(k >= 0 ? k : -k));
  if (k < 0) k_ln2 = negate(k_ln2);
  const Float r = scale(subtract(x, k_ln2), -8);
  Float sum = one();
  Float term = one();
  for (std::uint64_t n = 1; n < 64; ++n) {
    term = divide(multiply(term, r), n);
    if (is_zero(term)) break;
    sum = add(sum, term);
    if (term.exponent < sum.exponent - kNegligible) break;
  }
  for (int i = 0; i < 8; ++i) sum = multiply(sum, sum);
  return scale(sum, k);
}

Float log(double x, const Float& guess) noexcept {
  // Newton's step for exp(y) = x: y + x exp(-y) - 1, twice (2^-60 -> 2^-120
  // -> beyond the working precision).
  const Float value = from_double(x);
  Float y = guess;
  for (int i = 0; i < 2; ++i) {
    y = add(y, subtract(multiply(value, exp(negate(y))), one()));
  }
  return y;
}

Float sin(const Float& r) noexcept {
  if (is_zero(r)) return r;
  const Float r2 = multiply(r, r);
  Float sum = r;
  Float term = r;
  for (std::uint64_t n = 1; n < 64; ++n) {
    term = negate(divide(multiply(term, r2), (2 * n) * (2 * n + 1)));
    if (is_zero(term)) break;
    sum = add(sum, term);
    if (term.exponent < sum.exponent - kNegligible) break;
  }
  return sum;
}

Float cos(const Float& r) noexcept {
  const Float r2 = multiply(r, r);
  Float sum = one();
  Float term = one();
  for (std::uint64_t n = 1; n < 64; ++n) {
    term = negate(divide(multiply(term, r2), (2 * n - 1) * (2 * n)));
    if (is_zero(term)) break;
    sum = add(sum, term);
    if (term.exponent < sum.exponent - kNegligible) break;
  }
  return sum;
}

Reduced reduce_half_pi(double x) noexcept {
  // |x| = m * 2^e with m < 2^53. With 2/pi = sum of bits b_i 2^-i, the bits
  // with e - i >= 2 add multiples of 4 to x * 2/pi and are skipped: the
  // window starts at the limb holding bit e - 1 (or at the first bit).
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x) & 0x7FFFFFFFFFFFFFFFULL;
  const std::int64_t e = static_cast<std::int64_t>(bits >> 52) - 1075;
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const std::int64_t first = e < 2 ? 0 : (e - 2) / 64;
  constexpr int kWindow = 8;
  // q = m * window, most significant limb first.
  std::uint64_t q[kWindow + 1] = {};
  std::uint64_t carry = 0;
  for (int i = kWindow - 1; i >= 0; --i) {
    const u128 t = static_cast<u128>(m) *
                       elementary::tables::kTwoOverPiBits[static_cast<std::size_t>(first + i)] +
                   carry;
    q[i + 1] = static_cast<std::uint64_t>(t);
    carry = static_cast<std::uint64_t>(t >> 64);
  }
  q[0] = carry;
  // x * 2/pi mod 4 = q * 2^-s (the truncated tail of 2/pi adds less than
  // 2^(53 - s) <= 2^-390).
  const int s = static_cast<int>(64 * (first + kWindow) - e);
  const auto bit = [&q](int position) {  // counted from the least significant bit
    return static_cast<unsigned>((q[kWindow - position / 64] >> (position % 64)) & 1);
  };
  Reduced out;
  out.quadrant = bit(s) | (bit(s + 1) << 1);
  bool negative = false;
  if (bit(s - 1) != 0) {
    // Fraction >= 1/2: take fraction - 1, whose magnitude is the two's
    // complement of the low s bits.
    std::uint64_t borrow = 1;
    for (int i = kWindow; i >= 0; --i) {
      const std::uint64_t inverted = ~q[i];
      q[i] = inverted + borrow;
      borrow = (borrow != 0 && q[i] == 0) ? 1 : 0;
    }
    negative = true;
    out.quadrant = (out.quadrant + 1) & 3;
  }
  Float fraction = from_fraction(q, kWindow + 1, s);
  fraction.negative = negative;
  out.r = multiply(fraction, from_constant(elementary::tables::kMpPiOver2));
  return out;
}

Float erf(double x) noexcept {
  // erf(x) = 2/sqrt(pi) exp(-x^2) sum over n of 2^n x^(2n+1) / (1 3 5 ... (2n+1)):
  // every term positive, so no cancellation.
  Float value = from_double(x);
  const bool negative = value.negative;
  value.negative = false;
  const Float square = multiply(value, value);  // exact: 106 bits
  Float sum = value;
  Float term = value;
  for (std::uint64_t n = 1; n < 1000; ++n) {
    term = divide(scale(multiply(term, square), 1), 2 * n + 1);
    sum = add(sum, term);
    if (term.exponent < sum.exponent - kNegligible) break;
  }
  Float result = multiply(
      multiply(from_constant(elementary::tables::kMpTwoOverSqrtPi), exp(negate(square))), sum);
  result.negative = negative;
  return result;
}

}  // namespace Orvane::Core::Lumeth::multiprecision
