#pragma once

// The fast paths of exp and erf, written once over a vector-traits type S
// (see kernel_templates.hpp for the operations S provides, scalar_traits.hpp
// for the one-double form). The scalar elementary::exp and elementary::erf
// and the vector kernels instantiate the same templates, so every lane of a
// vector computes exactly the operations of the scalar function: results
// never depend on the vector width.
//
// Include this header like kernel_templates.hpp: after the level's target
// pragma in a level's source file, so that the instantiations get the level's
// instructions (it holds only templates over S and constant data).
//
// Arithmetic: IEEE binary64 add, subtract and multiply in round-to-nearest,
// never fused, plus exact integer operations on the bits.

#include <cstdint>

#include "lumeth/inference/internal/elementary_tables.hpp"

namespace Orvane::Core::Lumeth::elementary::core {

// |x| below this takes the fast path: exp(x) is then a normal double with
// room to spare, and k below stays under 2^18.
inline constexpr double kExpFastLimit = 708.0;

// A bound on the error of the fast path, relative to exp(x): the exact value
// lies within kExpFastError * |hi| of (hi + lo) * 2^e. Analysis, on the scale
// of T (1 + r) in [1, 2): reduction 2^-78.4, rounding of r inside the
// polynomial 2^-72, the polynomial's own rounding 2^-71.4, truncation 2^-79,
// the low-order sums 4 x 2^-72, the table 2^-81: 2^-69.4 in all. The accuracy
// tests measure at most 2^-70.7.
inline constexpr double kExpFastError = 0x1p-68;

// 1.5 * 2^52: adding it rounds any |v| < 2^51 to an integer held in the low
// bits of the sum (round to nearest, ties to even).
inline constexpr double kShifter = 0x1.8p52;
inline constexpr std::uint64_t kShifterBits = 0x4338000000000000ULL;

// 1.5 * 2^26: (v + it) - it rounds |v| < 2^25 to a multiple of 2^-26.
inline constexpr double kGrid26 = 0x1.8p26;

template <class S>
struct ExpParts {
  typename S::V hi;         // in [0.998, 1.998]
  typename S::V lo;         // |lo| <= ulp(hi) / 2
  typename S::VI exponent;  // 2^e as bits to add to a double's exponent field: e << 52
};

// exp(x + x_lo) = (hi + lo) * 2^e, for |x| <= kExpFastLimit and |x_lo| <=
// 2^-40 (x_lo is 0.0 for exp itself and the low part of y * ln x for pow).
//
// x = k ln2/256 + r, |r| <= ln2/512: k * step1 is exact (35-bit step1, |k| <
// 2^18) and so is x - k * step1 (Sterbenz); r_lo carries the rest.
// exp(r) = 1 + r + q with q = r^2 (1/2 + r/6 + ... + r^4/720) in doubles
// (|q| < 2^-20); 2^(j/256) = T27 + Tl with T27 of 27 bits.
template <class S>
inline ExpParts<S> exp_parts(typename S::V x, typename S::V x_lo) {
  using V = typename S::V;
  using VI = typename S::VI;
  const V shifter = S::broadcast(kShifter);
  const V z = S::add(S::mul(x, S::broadcast(tables::kExpInverseStep)), shifter);
  const V kd = S::sub(z, shifter);
  const VI k = S::isub(S::bits(z), S::ibroadcast(kShifterBits));
  const VI pair = S::template ishl<1>(S::iand(k, S::ibroadcast(255)));
  const V t27 = S::gather(tables::kExp2Table, pair);
  const V tl = S::gather(tables::kExp2Table + 1, pair);

  const V r_hi = S::sub(x, S::mul(kd, S::broadcast(tables::kExpStep1)));
  const V r_lo = S::sub(x_lo, S::mul(kd, S::broadcast(tables::kExpStep2)));
  const V r = S::add(r_hi, r_lo);

  // Estrin's scheme: (1/2 + r/6) + r^2 ((1/24 + r/120) + r^2/720).
  const V rr = S::mul(r, r);
  const V c01 = S::add(S::broadcast(0.5), S::mul(r, S::broadcast(1.0 / 6.0)));
  const V c23 = S::add(S::broadcast(1.0 / 24.0), S::mul(r, S::broadcast(1.0 / 120.0)));
  const V c = S::add(c01, S::mul(rr, S::add(c23, S::mul(rr, S::broadcast(1.0 / 720.0)))));
  const V q = S::mul(rr, c);
  const V s = S::add(r_lo, q);  // exp(r) = 1 + r_hi + s

  // r1 = r_hi rounded to a multiple of 2^-26 (at most 17 bits), so that
  // T27 r1 is exact and T27 + T27 r1, a multiple of 2^-52 below 2, is exact
  // too; T27 r2 (|r2| <= 2^-27) is rounded once, 2^-79.
  const V grid = S::broadcast(kGrid26);
  const V r1 = S::sub(S::add(r_hi, grid), grid);
  const V r2 = S::sub(r_hi, r1);
  const V hi = S::add(t27, S::mul(t27, r1));  // exact

  // T (1 + r_hi + s) = hi + [T27 r2 + Tl + T27 s + Tl (r_hi + s)].
  const V small = S::add(S::add(S::mul(t27, r2), tl), S::mul(tl, S::add(r_hi, s)));
  const V lo = S::add(S::mul(t27, s), small);
  ExpParts<S> parts;
  parts.hi = S::add(hi, lo);
  parts.lo = S::sub(lo, S::sub(parts.hi, hi));
  // e = k >> 8 (arithmetic), placed at bit 52: (k & ~255) << 44 modulo 2^64.
  parts.exponent = S::template ishl<44>(S::iand(k, S::ibroadcast(~std::uint64_t{255})));
  return parts;
}

// Lanes where rounding hi + lo to nearest is not certain: the exact value
// lies within `error` of hi + lo, hi is positive and normal and |lo| <=
// ulp(hi) / 2. The double below hi has the exponent E of the smaller of the
// two gaps around hi (they differ only at a power of two), so hi is the
// rounded value when |lo| + error < 2^(E - 53), computed sum included
// (rounding is monotonic and the bound is a double). The least normal double
// gives a bound of 0: always uncertain.
template <class S>
inline typename S::Mask rounding_uncertain(typename S::V hi, typename S::V lo,
                                           typename S::V error) {
  const typename S::VI below = S::isub(S::bits(hi), S::ibroadcast(1));
  const typename S::V scale = S::from_bits(S::iand(below, S::ibroadcast(0x7FF0000000000000ULL)));
  return S::not_less(S::add(S::abs(lo), error), S::mul(scale, S::broadcast(0x1p-53)));
}

// exp(x) rounded to nearest where the fast path can be certain of it; lanes
// in `uncertain` (|x| > kExpFastLimit, NaN, or a rounding too close to call)
// hold garbage and must be recomputed by the scalar elementary::exp.
template <class S>
inline typename S::V exp_fast(typename S::V x, typename S::Mask& uncertain) {
  const ExpParts<S> parts = exp_parts<S>(x, S::zero());
  // hi < 2, so the absolute error bound on hi's scale is 2 * kExpFastError.
  uncertain = S::merge(S::failure(x, S::broadcast(kExpFastLimit)),
                       rounding_uncertain<S>(parts.hi, parts.lo, S::broadcast(2 * kExpFastError)));
  return S::from_bits(S::iadd(S::bits(parts.hi), parts.exponent));
}

// ---- erf ----

// Arguments with kErfTiny <= |x| < tables::kErfOne take the fast path; below,
// erf(x) is about 1.128 x, near or in the subnormal range, and at and above
// kErfOne it rounds to ±1.
inline constexpr double kErfTiny = 0x1p-900;

// A bound on the fast path's error relative to erf(x) (analysis beside
// erf_parts; the accuracy tests measure at most 2^-71.9).
inline constexpr double kErfFastError = 0x1p-68;

// Double-double helpers over S, as in elementary.cpp: every result exact
// under the stated conditions.
template <class S>
struct PairOf {
  typename S::V hi;
  typename S::V lo;
};

// a + b exactly for |a| >= |b| (or a = 0).
template <class S>
inline PairOf<S> fast_two_sum(typename S::V a, typename S::V b) {
  const typename S::V s = S::add(a, b);
  return {s, S::sub(b, S::sub(s, a))};
}

// a + b exactly.
template <class S>
inline PairOf<S> two_sum(typename S::V a, typename S::V b) {
  const typename S::V s = S::add(a, b);
  const typename S::V bb = S::sub(s, a);
  return {s, S::add(S::sub(a, S::sub(s, bb)), S::sub(b, bb))};
}

// a = hi + lo, each of at most 26 significant bits (Veltkamp), |a| < 2^996.
template <class S>
inline PairOf<S> split(typename S::V a) {
  const typename S::V t = S::mul(a, S::broadcast(134217729.0));
  const typename S::V hi = S::sub(t, S::sub(t, a));
  return {hi, S::sub(a, hi)};
}

// a * b exactly (Dekker) with `as` = split(a), when no partial product
// underflows.
template <class S>
inline PairOf<S> two_prod(typename S::V a, const PairOf<S>& as, typename S::V b) {
  const typename S::V p = S::mul(a, b);
  const PairOf<S> bs = split<S>(b);
  const typename S::V e = S::add(
      S::add(S::add(S::sub(S::mul(as.hi, bs.hi), p), S::mul(as.hi, bs.lo)), S::mul(as.lo, bs.hi)),
      S::mul(as.lo, bs.lo));
  return {p, e};
}

// sum of c[k] d^k for k < N, by Estrin's scheme (pairs, then pairs of pairs).
template <class S, int N>
inline typename S::V estrin(const typename S::V* c, typename S::V d) {
  if constexpr (N == 1) {
    return c[0];
  } else if constexpr (N == 2) {
    return S::add(c[0], S::mul(c[1], d));
  } else {
    constexpr int kLow = N <= 4 ? 2 : (N <= 8 ? 4 : (N <= 16 ? 8 : 16));
    typename S::V power = S::mul(d, d);  // d^kLow
    for (int k = 2; k < kLow; k *= 2) power = S::mul(power, power);
    return S::add(estrin<S, kLow>(c, d), S::mul(power, estrin<S, N - kLow>(c + kLow, d)));
  }
}

// erf(ax) = ax g(ax) as hi + lo for kErfTiny <= ax < kErfOne (other lanes,
// NaN included, get a finite or NaN value that the caller discards), where g
// is erf(x) / x, even and smooth, with g(0) = 2/sqrt(pi).
//
// g is expanded at a = i/32, i = round(32 ax) (191 intervals cover [0, 6)):
// g(a + d) = g_0 + d (g_1 + d (g_2 + d T(d))), |d| <= 1/64, d = ax - a exact.
// The terms of g_3 on stay below 2^-20 of g and are summed in doubles; the
// outer three steps in double-double (g_2 + d T with an exact sum, as g_2
// passes through zero near ax = 1; d times the running value as an exact
// product; g_1 and g_0 dominate what is added to them); then ax times the
// pair, the high product exact. Analysis: the tail's roundings reach
// 2^-71, the truncation 2^-80, the coefficient pairs 2^-106: below 2^-69
// in all.
template <class S>
inline PairOf<S> erf_parts(typename S::V ax) {
  using V = typename S::V;
  using VI = typename S::VI;
  static_assert(tables::kErfStride == 15 && tables::kErfFirstInterval == 0,
                "erf_parts indexes rows of 15 coefficients from interval 0");
  const V shifter = S::broadcast(kShifter);
  // Beyond the last interval (and for NaN) the index stays on it.
  const V clamped = S::min(ax, S::broadcast(190.0 / 32.0));
  const V iz = S::add(S::mul(clamped, S::broadcast(32.0)), shifter);
  const V id = S::sub(iz, shifter);
  const VI i = S::isub(S::bits(iz), S::ibroadcast(kShifterBits));
  const VI row = S::isub(S::template ishl<4>(i), i);  // 15 i
  V c[15];
  for (int k = 0; k < 15; ++k) c[k] = S::gather(tables::kErfTable + k, row);
  const V d = S::sub(ax, S::mul(id, S::broadcast(0x1p-5)));
  const PairOf<S> ds = split<S>(d);

  const V tail = estrin<S, tables::kErfDegree - 2>(c + 6, d);
  PairOf<S> w = two_sum<S>(c[4], S::mul(d, tail));
  w.lo = S::add(w.lo, c[5]);
  PairOf<S> p = two_prod<S>(d, ds, w.hi);
  p.lo = S::add(p.lo, S::mul(d, w.lo));
  PairOf<S> y = fast_two_sum<S>(c[2], p.hi);
  y.lo = S::add(y.lo, S::add(c[3], p.lo));
  p = two_prod<S>(d, ds, y.hi);
  p.lo = S::add(p.lo, S::mul(d, y.lo));
  PairOf<S> g = fast_two_sum<S>(c[0], p.hi);
  g.lo = S::add(g.lo, S::add(c[1], p.lo));
  PairOf<S> r = two_prod<S>(ax, split<S>(ax), g.hi);
  r.lo = S::add(r.lo, S::mul(ax, g.lo));
  return fast_two_sum<S>(r.hi, r.lo);
}

// erf(x) rounded to nearest where the fast path can be certain of it; lanes
// in `uncertain` (|x| outside [kErfTiny, kErfOne), NaN, or a rounding too
// close to call) hold garbage and must be recomputed by the scalar
// elementary::erf.
template <class S>
inline typename S::V erf_fast(typename S::V x, typename S::Mask& uncertain) {
  using V = typename S::V;
  const V ax = S::abs(x);
  const PairOf<S> parts = erf_parts<S>(ax);
  uncertain = S::merge(
      S::merge(S::not_less(ax, S::broadcast(tables::kErfOne)),
               S::not_less(S::broadcast(kErfTiny), ax)),
      rounding_uncertain<S>(parts.hi, parts.lo, S::mul(parts.hi, S::broadcast(kErfFastError))));
  // erf is odd: the sign of x, as a factor of ±1.0.
  const V sign = S::from_bits(S::ior(S::bits(S::broadcast(1.0)),
                                     S::iand(S::bits(x), S::ibroadcast(0x8000000000000000ULL))));
  return S::mul(parts.hi, sign);
}

}  // namespace Orvane::Core::Lumeth::elementary::core
