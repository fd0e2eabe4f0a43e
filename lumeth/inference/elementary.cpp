#include "lumeth/inference/elementary.hpp"

#include <bit>
#include <cstdint>
#include <limits>

#include "lumeth/inference/internal/elementary_core.hpp"
#include "lumeth/inference/internal/elementary_detail.hpp"
#include "lumeth/inference/internal/elementary_tables.hpp"
#include "lumeth/inference/internal/kernels/scalar_traits.hpp"
#include "lumeth/inference/internal/multiprecision.hpp"

// Double-double arithmetic: a pair (hi, lo) stands for hi + lo. Every
// operation below is an IEEE binary64 +, -, * or / rounded to nearest; the
// exactness claims (two_sum, split, two_prod, "exact" products) rely on that
// and on the absence of contraction into fused multiply-adds.

namespace Orvane::Core::Lumeth::elementary {
namespace {

using core::kShifter;
using core::kShifterBits;
using detail::Approximation;
using kernels::ScalarTraits;
namespace mp = multiprecision;
namespace t = tables;

constexpr std::uint64_t kSignBit = 0x8000000000000000ULL;
constexpr std::uint64_t kExponentMask = 0x7FF0000000000000ULL;
constexpr std::uint64_t kMantissaMask = 0x000FFFFFFFFFFFFFULL;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The relative error bound of the sin and cos fast path (analysis beside
// kernel_of and reduce; the accuracy tests hold every sampled argument to it
// and meet at most 2^-69.7).
constexpr double kTrigError = 0x1p-68;

// 1.5 * 2^18: (v + it) - it rounds |v| < 2^17 to a multiple of 2^-34.
constexpr double kGrid34 = 0x1.8p18;

// The double nearest pi/4, which lies below pi/4.
constexpr double kPiOver4 = 0x1.921fb54442d18p-1;

std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }
double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }
double magnitude(double x) { return from_bits(bits_of(x) & ~kSignBit); }
bool is_nan(double x) { return (bits_of(x) & ~kSignBit) > kExponentMask; }

// NaN results have the same bits everywhere: a NaN argument comes back with
// its quiet bit set (not x + x, whose payload rules differ between
// processors when both operands are NaN), an invalid operation gives the
// positive quiet NaN (x - x for an infinite x gives -NaN on x86-64, +NaN on
// ARM).
constexpr double kQuietNaN = std::numeric_limits<double>::quiet_NaN();
double quiet(double nan) { return from_bits(bits_of(nan) | 0x0008000000000000ULL); }
// For an infinite or NaN x.
double invalid_or_quiet(double x) { return is_nan(x) ? quiet(x) : kQuietNaN; }
// 2^k for -1022 <= k <= 1023.
double power_of_two(std::int64_t k) {
  return from_bits(static_cast<std::uint64_t>(k + 1023) << 52);
}

struct Pair {
  double hi;
  double lo;
};

// a + b exactly, for |a| >= |b| (or a = 0).
Pair fast_two_sum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

// a + b exactly.
Pair two_sum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

// a = hi + lo exactly, each of at most 26 significant bits (Veltkamp), for
// |a| below 2^996.
Pair split(double a) {
  const double t = a * 134217729.0;  // 2^27 + 1
  const double hi = t - (t - a);
  return {hi, a - hi};
}

// a * b exactly (Dekker), when no partial product underflows; `as` is
// split(a), for an operand that takes part in several products.
Pair two_prod(double a, const Pair& as, double b) {
  const double p = a * b;
  const Pair y = split(b);
  return {p, ((as.hi * y.hi - p) + as.hi * y.lo + as.lo * y.hi) + as.lo * y.lo};
}

Pair two_prod(double a, double b) { return two_prod(a, split(a), b); }

// Whether RN(hi + lo) is certainly the correctly rounded value, hi of either
// sign, the exact value within `error` of hi + lo.
bool certain(double hi, double lo, double error) {
  if (hi < 0.0) {
    hi = -hi;
    lo = -lo;
  }
  return !core::rounding_uncertain<ScalarTraits>(hi, lo, error);
}

Approximation make(Pair value, std::int64_t exponent, double relative_error) {
  Approximation a;
  a.available = true;
  a.hi = value.hi;
  a.lo = value.lo;
  a.exponent = exponent;
  a.error = magnitude(value.hi) * relative_error;
  return a;
}

// ---- sin and cos ----

// |x| = (4n + quadrant) pi/2 + (hi + lo), |hi + lo| <= pi/4 (plus a hair).
struct Reduction {
  double hi = 0.0;
  double lo = 0.0;
  unsigned quadrant = 0;
  bool accurate = false;  // the pair is accurate to 2^-77 relative
};

__extension__ using u128 = unsigned __int128;

// Bits [low, low + 64) of the integer held in q[0..n) (most significant
// limb first), zero beyond its ends.
std::uint64_t bits_at(const std::uint64_t* q, int n, int low) {
  const auto limb = [q, n](int from_bottom) -> std::uint64_t {
    return from_bottom >= 0 && from_bottom < n ? q[n - 1 - from_bottom] : 0;
  };
  const int index = low / 64;
  const int shift = low % 64;
  if (shift == 0) return limb(index);
  return (limb(index) >> shift) | (limb(index + 1) << (64 - shift));
}

// For |x| > 2^20: x * 2/pi modulo 4 from 256 bits of 2/pi starting at the
// limb that holds bit e - 1 of its fraction (earlier bits add multiples of 4),
// in integer arithmetic. The fraction keeps 128 bits (error < 2^-127).
Reduction reduce_large(double ax) {
  const std::uint64_t b = bits_of(ax);
  const std::int64_t e = static_cast<std::int64_t>(b >> 52) - 1075;
  const std::uint64_t m = (b & kMantissaMask) | (std::uint64_t{1} << 52);
  const std::int64_t first = e < 2 ? 0 : (e - 2) / 64;
  std::uint64_t q[5];
  std::uint64_t carry = 0;
  for (int i = 3; i >= 0; --i) {
    const u128 p =
        static_cast<u128>(m) * t::kTwoOverPiBits[static_cast<std::size_t>(first + i)] + carry;
    q[i + 1] = static_cast<std::uint64_t>(p);
    carry = static_cast<std::uint64_t>(p >> 64);
  }
  q[0] = carry;
  // x * 2/pi mod 4 = q * 2^-s, 190 < s <= 288 (|x| > 2^20 gives e >= -32).
  const int s = static_cast<int>(64 * (first + 4) - e);
  Reduction r;
  r.quadrant = static_cast<unsigned>(bits_at(q, 5, s) & 3);
  u128 f = (static_cast<u128>(bits_at(q, 5, s - 64)) << 64) | bits_at(q, 5, s - 128);
  bool negative = false;
  if ((f >> 127) != 0) {  // fraction >= 1/2: take fraction - 1
    f = -f;
    negative = true;
    r.quadrant = (r.quadrant + 1) & 3;
  }
  // Below 2^-40 the 2^-127 error is no longer small enough.
  if ((f >> 88) == 0) return r;
  const int lz = static_cast<int>(__builtin_clzll(static_cast<std::uint64_t>(f >> 64)));
  f <<= lz;
  const std::uint64_t high = static_cast<std::uint64_t>(f >> 64);
  const std::uint64_t low = static_cast<std::uint64_t>(f);
  const std::uint64_t top = high >> 11;                             // 53 bits
  const std::uint64_t rest = ((high & 0x7FF) << 52) | (low >> 12);  // next 63 bits
  const double fh = static_cast<double>(static_cast<std::int64_t>(top)) * power_of_two(-53 - lz);
  const double fl = static_cast<double>(static_cast<std::int64_t>(rest)) * power_of_two(-116 - lz);
  Pair p = two_prod(fh, t::kPiOver2Hi);
  p.lo = p.lo + (fh * t::kPiOver2Lo + fl * t::kPiOver2Hi);
  const Pair v = fast_two_sum(p.hi, p.lo);
  r.hi = negative ? -v.hi : v.hi;
  r.lo = negative ? -v.lo : v.lo;
  r.accurate = true;
  return r;
}

// For RN(pi/4) < |x| <= 2^20: Cody and Waite with pi/2 in three parts (33 +
// 33 + 53 bits); k < 2^20, so k * part1 and k * part2 are exact and so is
// x - k * part1 (Sterbenz). Absolute error below 2^-100, enough while |r| >=
// 2^-24.
Reduction reduce(double ax) {
  if (ax <= kPiOver4) return {ax, 0.0, 0, true};
  if (ax > 0x1p20) return reduce_large(ax);
  const double kz = ax * t::kTwoOverPi + kShifter;
  const double kd = kz - kShifter;
  Reduction r;
  r.quadrant = static_cast<unsigned>((bits_of(kz) - kShifterBits) & 3);
  const double a = ax - kd * t::kPiOver2Part1;
  const Pair b = two_sum(a, -(kd * t::kPiOver2Part2));
  r.hi = b.hi;
  r.lo = b.lo - kd * t::kPiOver2Part3;
  r.accurate = magnitude(r.hi) >= 0x1p-24;
  return r;
}

// sin r and cos r for r = rh + rl, |rh| <= pi/4 + 2^-30, as pairs.
//
// |r| = a + d with a = j/256 and |d| <= 1/512; with the table's
// S = sin a = S27 + Sl and C = cos a = C27 + Cl,
//   sin(a + d) = S + C sin d - S u,   cos(a + d) = C - S sin d - C u,
// where sin d = dh + s_lo (dh exact, s_lo = rl + d^3 (-1/6 + ...)) and
// u = 1 - cos d = d^2/2 - ...: C27 dh and S27 dh are exact as two products
// with the 26-bit halves of dh, everything else is below 2^-19 and summed in
// doubles. Relative error below 2^-69.
//
// The part both results share; sine_of and cosine_of finish one each, so
// that sin_cos computes exactly the operations of sin and of cos.
struct Kernel {
  bool negative;  // r < 0
  double dh;
  double s_lo;
  double sin_d;
  double u;
  Pair h;  // dh in 26-bit halves
  double s27, sl, c27, cl;
};

inline Kernel kernel_of(double rh, double rl) {
  Kernel k;
  k.negative = rh < 0.0;
  const double ah = k.negative ? -rh : rh;
  const double al = k.negative ? -rl : rl;
  const double jz = ah * 256.0 + kShifter;
  const double jd = jz - kShifter;
  const std::size_t j = static_cast<std::size_t>(bits_of(jz) - kShifterBits);
  k.dh = ah - jd * 0x1p-8;  // exact
  const double d = k.dh + al;
  const double d2 = d * d;
  const double d4 = d2 * d2;
  k.s_lo = al + (d * d2) * ((-1.0 / 6.0 + d2 * (1.0 / 120.0)) + d4 * (-1.0 / 5040.0));
  k.u = d2 * ((0.5 - d2 * (1.0 / 24.0)) + d4 * (1.0 / 720.0));
  const double* const e = t::kSinCosTable + 4 * j;
  k.s27 = e[0];
  k.sl = e[1];
  k.c27 = e[2];
  k.cl = e[3];
  k.h = split(k.dh);
  k.sin_d = k.dh + k.s_lo;
  return k;
}

inline Pair sine_of(const Kernel& k) {
  const double p1 = k.c27 * k.h.hi;
  const double p2 = k.c27 * k.h.lo;
  const double hi = k.s27 + p1;
  const double e0 = p1 - (hi - k.s27);
  const double lo = e0 + ((p2 + k.sl) + ((k.c27 * k.s_lo + k.cl * k.sin_d) - (k.s27 + k.sl) * k.u));
  Pair v = fast_two_sum(hi, lo);
  if (k.negative) {
    v.hi = -v.hi;
    v.lo = -v.lo;
  }
  return v;
}

inline Pair cosine_of(const Kernel& k) {
  const double p1 = k.s27 * k.h.hi;
  const double p2 = k.s27 * k.h.lo;
  const double hi = k.c27 - p1;
  const double e0 = (k.c27 - hi) - p1;
  const double lo = e0 + ((k.cl - p2) - ((k.s27 * k.s_lo + k.sl * k.sin_d) + (k.c27 + k.cl) * k.u));
  return fast_two_sum(hi, lo);
}

// The function of the quadrant: sin x = [sin r, cos r, -sin r, -cos r] and
// cos x = [cos r, -sin r, -cos r, sin r] for quadrants 0..3; sin is odd, so
// the sign of x applies to sin x only.
struct QuadrantRule {
  bool use_cosine;
  bool negate;
};
QuadrantRule rule(unsigned quadrant, bool cosine, bool negative_x) {
  const unsigned q = cosine ? quadrant + 1 : quadrant;
  return {(q & 1) != 0, ((q & 2) != 0) != (!cosine && negative_x)};
}

Pair apply(const QuadrantRule& q, const Kernel& k) {
  Pair v = q.use_cosine ? cosine_of(k) : sine_of(k);
  if (q.negate) {
    v.hi = -v.hi;
    v.lo = -v.lo;
  }
  return v;
}

// sin x or cos x as a pair, for 2^-27 <= |x| < inf; false where the fast
// path does not apply (a reduction too close to a multiple of pi/2).
inline bool trig_fast(double x, bool cosine, Pair& v) {
  const Reduction r = reduce(magnitude(x));
  if (!r.accurate) return false;
  v = apply(rule(r.quadrant, cosine, x < 0.0), kernel_of(r.hi, r.lo));
  return true;
}

Approximation trig_approximation(double x, bool cosine) {
  const double ax = magnitude(x);
  if (!(ax >= 0x1p-27) || !(ax < kInfinity)) return {};
  Pair v{};
  if (!trig_fast(x, cosine, v)) return {};
  return make(v, 0, kTrigError);
}

[[gnu::noinline, gnu::cold]] double trig_slow(double x, bool cosine) {
  const double ax = magnitude(x);
  mp::Reduced r;
  if (ax <= kPiOver4) {
    r.r = mp::from_double(ax);
  } else {
    r = mp::reduce_half_pi(ax);
  }
  const QuadrantRule q = rule(r.quadrant, cosine, x < 0.0);
  mp::Float v = q.use_cosine ? mp::cos(r.r) : mp::sin(r.r);
  if (q.negate) v = mp::negate(v);
  return mp::to_double(v);
}

// ---- ln, for pow ----

// ln v as a pair with a bound on its absolute error.
struct Logarithm {
  double hi;
  double lo;
  double error;
};

// ln v for v positive and normal, times 2^extra_exponent.
//
// v = 2^e z with z in [z0, 2 z0), z0 = 0.708; z lies in one of 256 intervals
// with a table value c (20 bits, about 1/centre; exactly 1 for the interval
// around 1.0) and -ln c as a pair L (its high part a multiple of 2^-42):
// ln v = e ln2 + L + ln(1 + t) with t = z c - 1 computed exactly (z's 26-bit
// halves times c are exact, and so is the difference with 1) and |t| <
// 2^-9 + 2^-20. e ln2_hi + L_hi is exact (multiples of 2^-42 below 2^10).
// ln(1 + t) = t - t^2/2 + t^3 (1/3 - t/4 + ... - t^5/8), with t^2 = t1^2 +
// t2 (2 t1 + t2) for t1 = t rounded to a multiple of 2^-34 (at most 26 bits,
// so t1^2 is exact) and the rest in doubles.
//
// Error: the t^3 tail carries at most 6 roundings (2^-50.4 of it), its
// truncation 2^-84; the low part of L is rounded once and passes three sums
// (2^-51 of it); the rounded part of t^2/2 is off by 2^-87 |t|; ln 2 as two
// doubles is off by 2^-96 per unit of e; the other low-order sums about
// 2^-103 of the larger terms. So |error| <= (|t|^3 + |L_lo|) 2^-50 +
// |e| 2^-95 + |t| 2^-85 + (|L| + |ln v|) 2^-94, which is relative (about
// t^2 2^-50 + 2^-85) around 1.0, where e = 0 and L = 0.
Logarithm log_pair(double v, std::int64_t extra_exponent) {
  const std::uint64_t iv = bits_of(v);
  const std::uint64_t tmp = iv - t::kLogOffset;
  const std::size_t i = static_cast<std::size_t>((tmp >> 44) & 255);
  const std::int64_t e = (static_cast<std::int64_t>(tmp) >> 52) + extra_exponent;
  const double z = from_bits(iv - (tmp & 0xFFF0000000000000ULL));
  const double* const row = t::kLogTable + 3 * i;
  const double c = row[0];
  const Pair zs = split(z);
  const Pair tt = two_sum(zs.hi * c - 1.0, zs.lo * c);
  const double th = tt.hi;
  const double t1 = (th + kGrid34) - kGrid34;
  const double t2 = th - t1;
  const double square_hi = t1 * t1;                // exact
  const double square_lo = t2 * ((t1 + t1) + t2);  // rounded, 2^-87 |t|
  const double square = square_hi + square_lo;     // RN(th^2)
  const double series =
      ((1.0 / 3.0) - th * (1.0 / 4.0)) +
      square * (((1.0 / 5.0) - th * (1.0 / 6.0)) + square * ((1.0 / 7.0) - th * (1.0 / 8.0)));
  const double cube = th * square;
  const double tail = cube * series;
  Pair u = fast_two_sum(th, -0.5 * square_hi);
  u.lo = u.lo + (((tt.lo - 0.5 * square_lo) - th * tt.lo) + tail);
  const double ed = static_cast<double>(e);
  const double s1 = ed * t::kLn2Hi + row[1];  // exact
  const Pair s2 = two_sum(s1, u.hi);
  const double lo = ((row[2] + ed * t::kLn2Lo) + u.lo) + s2.lo;
  const Pair r = fast_two_sum(s2.hi, lo);
  const double error = (magnitude(cube) + magnitude(row[2])) * 0x1p-50 + magnitude(ed) * 0x1p-95 +
                       magnitude(th) * 0x1p-85 + (magnitude(row[1]) + magnitude(r.hi)) * 0x1p-94;
  return {r.hi, r.lo, error};
}

// ln of a positive finite x, subnormals included.
Logarithm log_of(double x) {
  if (x < 0x1p-1022) return log_pair(x * 0x1p52, -52);
  return log_pair(x, 0);
}

// 0: not an integer; 1: an odd integer; 2: an even integer (every finite
// |y| >= 2^53). y finite and nonzero.
int integer_class(double y) {
  const std::uint64_t b = bits_of(y);
  const std::int64_t e = static_cast<std::int64_t>((b >> 52) & 0x7FF) - 1023;
  if (e < 0) return 0;
  if (e >= 53) return 2;
  const std::uint64_t m = (b & kMantissaMask) | (std::uint64_t{1} << 52);
  const int fraction_bits = static_cast<int>(52 - e);
  if ((m & ((std::uint64_t{1} << fraction_bits) - 1)) != 0) return 0;
  return ((m >> fraction_bits) & 1) != 0 ? 1 : 2;
}

[[gnu::noinline, gnu::cold]] double exp_slow(double x) {
  if (is_nan(x)) return quiet(x);
  // Beyond ln(2^1024 (1 - 2^-54)) every result overflows; below
  // ln(2^-1075) every result rounds to +0.
  if (x > 709.79) return kInfinity;
  if (x < -745.14) return 0.0;
  return mp::to_double(mp::exp(mp::from_double(x)));
}

[[gnu::noinline, gnu::cold]] double erf_slow(double x) {
  if (is_nan(x)) return quiet(x);
  const double ax = magnitude(x);
  if (ax == 0.0) return x;
  if (ax >= t::kErfOne) return x < 0.0 ? -1.0 : 1.0;
  return mp::to_double(mp::erf(x));
}

[[gnu::noinline, gnu::cold]] double pow_slow(double x, double y) {
  const Logarithm l = log_of(x);
  const double zh = y * l.hi;
  if (zh > 720.0) return kInfinity;
  if (zh < -760.0) return 0.0;
  const mp::Float ln = mp::log(x, mp::add(mp::from_double(l.hi), mp::from_double(l.lo)));
  return mp::to_double_snapped(mp::exp(mp::multiply(ln, mp::from_double(y))));
}

// The fast path of pow for x > 0 finite, x != 1, y finite and nonzero:
// exp(y ln x) with y ln x = zh + zl from the pair ln x (two_prod keeps y times
// its high part exact). The exponent's error, |y| times the logarithm's plus
// 2^-102 |zh| for rounding zl, adds to exp's own as a relative error; hi < 2,
// so `error`, on hi's scale, is twice the relative bound. False when |zh| is
// beyond exp's fast path.
inline bool pow_fast(double x, double y, core::ExpParts<ScalarTraits>& parts, double& error) {
  const Logarithm l = log_of(x);
  if (!(magnitude(y * l.hi) < core::kExpFastLimit)) return false;
  Pair z = two_prod(y, l.hi);
  z.lo = z.lo + y * l.lo;
  parts = core::exp_parts<ScalarTraits>(z.hi, z.lo);
  const double exponent_error = magnitude(y) * l.error + magnitude(z.hi) * 0x1p-102;
  error = 2 * (core::kExpFastError + exponent_error);
  return true;
}

// |x|^y for x > 0 finite, x != 1, y finite and nonzero.
double pow_positive(double x, double y) {
  core::ExpParts<ScalarTraits> p;
  double error = 0.0;
  if (pow_fast(x, y, p, error) && !core::rounding_uncertain<ScalarTraits>(p.hi, p.lo, error)) {
    return from_bits(bits_of(p.hi) + p.exponent);
  }
  return pow_slow(x, y);
}

}  // namespace

namespace detail {

Approximation exp_approximation(double x) noexcept {
  if (!(magnitude(x) < core::kExpFastLimit)) return {};
  const core::ExpParts<ScalarTraits> p = core::exp_parts<ScalarTraits>(x, 0.0);
  Approximation a = make({p.hi, p.lo}, static_cast<std::int64_t>(p.exponent) >> 52, 0.0);
  a.error = 2 * core::kExpFastError;
  return a;
}

Approximation sin_approximation(double x) noexcept { return trig_approximation(x, false); }

Approximation cos_approximation(double x) noexcept { return trig_approximation(x, true); }

Approximation erf_approximation(double x) noexcept {
  const double ax = magnitude(x);
  if (!(ax >= core::kErfTiny) || !(ax < t::kErfOne)) return {};
  const core::PairOf<ScalarTraits> v = core::erf_parts<ScalarTraits>(ax);
  const double sign = x < 0.0 ? -1.0 : 1.0;
  return make({v.hi * sign, v.lo * sign}, 0, core::kErfFastError);
}

Approximation log_approximation(double x) noexcept {
  if (!(x > 0.0) || !(x < kInfinity)) return {};
  const Logarithm l = log_of(x);
  Approximation a = make({l.hi, l.lo}, 0, 0.0);
  a.error = l.error;
  return a;
}

Approximation pow_approximation(double x, double y) noexcept {
  core::ExpParts<ScalarTraits> p;
  double error = 0.0;
  if (!pow_fast(x, y, p, error)) return {};
  Approximation a = make({p.hi, p.lo}, static_cast<std::int64_t>(p.exponent) >> 52, 0.0);
  a.error = error;
  return a;
}

}  // namespace detail

double exp(double x) noexcept {
  bool uncertain = false;
  const double fast = core::exp_fast<ScalarTraits>(x, uncertain);
  if (!uncertain) return fast;
  return exp_slow(x);
}

double sin(double x) noexcept {
  const double ax = magnitude(x);
  // Below 2^-26, x^3/6 < ulp(x)/2: sin x rounds to x (zeros and subnormals
  // included).
  if (ax < 0x1p-26) return x;
  if (!(ax < kInfinity)) return invalid_or_quiet(x);
  Pair v{};
  if (trig_fast(x, false, v) && certain(v.hi, v.lo, magnitude(v.hi) * kTrigError)) return v.hi;
  return trig_slow(x, false);
}

double cos(double x) noexcept {
  const double ax = magnitude(x);
  // Below 2^-27, x^2/2 < 2^-55: cos x rounds to 1.
  if (ax < 0x1p-27) return 1.0;
  if (!(ax < kInfinity)) return invalid_or_quiet(x);
  Pair v{};
  if (trig_fast(x, true, v) && certain(v.hi, v.lo, magnitude(v.hi) * kTrigError)) return v.hi;
  return trig_slow(x, true);
}

SinCos sin_cos(double x) noexcept {
  const double ax = magnitude(x);
  if (ax < 0x1p-26 || !(ax < kInfinity)) return {sin(x), cos(x)};
  const Reduction r = reduce(ax);
  if (!r.accurate) return {trig_slow(x, false), trig_slow(x, true)};
  const Kernel k = kernel_of(r.hi, r.lo);
  const Pair s = apply(rule(r.quadrant, false, x < 0.0), k);
  const Pair c = apply(rule(r.quadrant, true, x < 0.0), k);
  SinCos out;
  out.sine = certain(s.hi, s.lo, magnitude(s.hi) * kTrigError) ? s.hi : trig_slow(x, false);
  out.cosine = certain(c.hi, c.lo, magnitude(c.hi) * kTrigError) ? c.hi : trig_slow(x, true);
  return out;
}

double erf(double x) noexcept {
  bool uncertain = false;
  const double fast = core::erf_fast<ScalarTraits>(x, uncertain);
  if (!uncertain) return fast;
  return erf_slow(x);
}

double pow(double x, double y) noexcept {
  const std::uint64_t bx = bits_of(x);
  const std::uint64_t by = bits_of(y);
  // The common case first: x positive, normal and finite, y finite and
  // nonzero.
  if (bx - 0x0010000000000000ULL < 0x7FE0000000000000ULL &&
      (by << 1) - 1 < 0xFFE0000000000000ULL - 1) {
    return x == 1.0 ? 1.0 : pow_positive(x, y);
  }
  if ((by << 1) == 0) return 1.0;  // y = ±0, even for a NaN x
  if (x == 1.0) return 1.0;        // even for a NaN y
  if (is_nan(x)) return quiet(x);
  if (is_nan(y)) return quiet(y);
  const double ax = magnitude(x);
  const double ay = magnitude(y);
  if (ay == kInfinity) {
    if (ax == 1.0) return 1.0;  // (-1)^±inf
    return (ax < 1.0) == (y > 0.0) ? 0.0 : kInfinity;
  }
  const int y_class = integer_class(y);
  // The sign bit, not x < 0: (-0)^3 is -0.
  const bool negative = (bx & kSignBit) != 0 && y_class == 1;
  const double sign = negative ? -1.0 : 1.0;
  if (ax == 0.0 || ax == kInfinity) {
    // 0^y and inf^y: zero or infinity by the sign of y (and of the base's
    // exponent: inf^y = (1/0)^y), signed for odd integer y.
    const bool huge = (y < 0.0) == (ax == 0.0);
    return sign * (huge ? kInfinity : 0.0);
  }
  if (x < 0.0 && y_class == 0) return kQuietNaN;
  if (ax == 1.0) return sign;  // (-1)^y for an integer y
  return sign * pow_positive(ax, y);
}

}  // namespace Orvane::Core::Lumeth::elementary
