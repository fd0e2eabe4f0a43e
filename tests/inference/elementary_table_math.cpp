#include "tests/inference/elementary_table_math.hpp"

#include <gmp.h>
#include <mpfr.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace Orvane::Core::Lumeth::TableMath {
namespace {

constexpr mpfr_prec_t kPrecision = 600;

// An MPFR number that frees itself.
class Big {
 public:
  explicit Big(mpfr_prec_t precision = kPrecision) { mpfr_init2(v_, precision); }
  Big(const Big&) = delete;
  Big& operator=(const Big&) = delete;
  ~Big() { mpfr_clear(v_); }
  mpfr_ptr get() { return v_; }
  operator mpfr_ptr() { return v_; }

 private:
  mpfr_t v_;
};

// v rounded to `bits` significant bits (nearest, ties to even), as a double.
double round_bits(mpfr_ptr v, mpfr_prec_t bits) {
  Big t(bits);
  mpfr_set(t, v, MPFR_RNDN);
  return mpfr_get_d(t, MPFR_RNDN);
}

double nearest(mpfr_ptr v) { return mpfr_get_d(v, MPFR_RNDN); }

// (RN_bits(v), RN(v - RN_bits(v))).
void push_split(std::vector<double>& out, mpfr_ptr v, mpfr_prec_t bits) {
  const double hi = round_bits(v, bits);
  Big rest;
  mpfr_sub_d(rest, v, hi, MPFR_RNDN);
  out.push_back(hi);
  out.push_back(nearest(rest));
}

// The first `count` 64-bit limbs of the fraction of v (0 <= v < 1).
std::vector<std::uint64_t> fraction_limbs(mpfr_ptr value, std::size_t count) {
  Big v(mpfr_get_prec(value));
  mpfr_set(v, value, MPFR_RNDN);
  std::vector<std::uint64_t> limbs;
  for (std::size_t i = 0; i < count; ++i) {
    mpfr_mul_2ui(v, v, 64, MPFR_RNDN);
    static_assert(sizeof(unsigned long) == 8, "64-bit unsigned long expected");
    const unsigned long limb = mpfr_get_ui(v, MPFR_RNDZ);
    mpfr_sub_ui(v, v, limb, MPFR_RNDN);
    limbs.push_back(limb);
  }
  return limbs;
}

}  // namespace

std::string hex(double x) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%a", x);
  return buffer;
}

ExpTables exp_tables() {
  ExpTables t;
  Big ln2;
  mpfr_const_log2(ln2, MPFR_RNDN);
  Big v;
  mpfr_ui_div(v, 256, ln2, MPFR_RNDN);
  t.inverse_step = nearest(v);
  Big step;
  mpfr_div_ui(step, ln2, 256, MPFR_RNDN);
  t.step1 = round_bits(step, 35);
  mpfr_sub_d(v, step, t.step1, MPFR_RNDN);
  t.step2 = nearest(v);
  for (unsigned j = 0; j < 256; ++j) {
    mpfr_set_ui(v, j, MPFR_RNDN);
    mpfr_div_ui(v, v, 256, MPFR_RNDN);
    mpfr_exp2(v, v, MPFR_RNDN);
    push_split(t.table, v, 27);
  }
  return t;
}

TrigTables trig_tables() {
  TrigTables t;
  Big pi;
  mpfr_const_pi(pi, MPFR_RNDN);
  Big v;
  mpfr_ui_div(v, 2, pi, MPFR_RNDN);
  t.two_over_pi = nearest(v);
  Big big_two_over_pi(2000);
  {
    Big big_pi(2000);
    mpfr_const_pi(big_pi, MPFR_RNDN);
    mpfr_ui_div(big_two_over_pi, 2, big_pi, MPFR_RNDN);
  }
  t.bits = fraction_limbs(big_two_over_pi, 24);

  Big pio2;
  mpfr_div_2ui(pio2, pi, 1, MPFR_RNDN);
  t.part1 = round_bits(pio2, 33);
  Big rest;
  mpfr_sub_d(rest, pio2, t.part1, MPFR_RNDN);
  t.part2 = round_bits(rest, 33);
  mpfr_sub_d(rest, rest, t.part2, MPFR_RNDN);
  t.part3 = nearest(rest);
  t.pio2_hi = nearest(pio2);
  mpfr_sub_d(rest, pio2, t.pio2_hi, MPFR_RNDN);
  t.pio2_lo = nearest(rest);

  for (unsigned j = 0; j <= 201; ++j) {
    Big a;
    mpfr_set_ui(a, j, MPFR_RNDN);
    mpfr_div_ui(a, a, 256, MPFR_RNDN);
    mpfr_sin(v, a, MPFR_RNDN);
    push_split(t.table, v, 27);
    mpfr_cos(v, a, MPFR_RNDN);
    push_split(t.table, v, 27);
  }
  return t;
}

LogTables log_tables() {
  LogTables t;
  Big ln2;
  mpfr_const_log2(ln2, MPFR_RNDN);
  t.ln2_hi = round_bits(ln2, 42);
  Big v;
  mpfr_sub_d(v, ln2, t.ln2_hi, MPFR_RNDN);
  t.ln2_lo = nearest(v);

  // Interval i holds the bit patterns [offset + i 2^44, offset + (i + 1) 2^44);
  // the pattern of 1.0 is the middle of interval 149.
  t.unit_interval = 149;
  const std::uint64_t one = std::bit_cast<std::uint64_t>(1.0);
  t.offset = one - (2 * std::uint64_t{149} + 1) * (std::uint64_t{1} << 43);
  for (std::uint64_t i = 0; i < 256; ++i) {
    double c = 1.0;
    if (static_cast<int>(i) != t.unit_interval) {
      const double low = std::bit_cast<double>(t.offset + i * (std::uint64_t{1} << 44));
      const double high = std::bit_cast<double>(t.offset + (i + 1) * (std::uint64_t{1} << 44));
      Big centre;
      mpfr_set_d(centre, low, MPFR_RNDN);
      mpfr_add_d(centre, centre, high, MPFR_RNDN);
      mpfr_div_2ui(centre, centre, 1, MPFR_RNDN);
      mpfr_ui_div(v, 1, centre, MPFR_RNDN);
      c = round_bits(v, 20);
    }
    t.table.push_back(c);
    mpfr_set_d(v, c, MPFR_RNDN);
    mpfr_log(v, v, MPFR_RNDN);
    mpfr_neg(v, v, MPFR_RNDN);
    // The high part on the grid of 2^-42, like e * ln2_hi, so that their sum
    // is exact.
    Big scaled;
    mpfr_mul_2ui(scaled, v, 42, MPFR_RNDN);
    mpfr_rint(scaled, scaled, MPFR_RNDN);
    mpfr_div_2ui(scaled, scaled, 42, MPFR_RNDN);
    const double hi = nearest(scaled);
    mpfr_sub_d(v, v, hi, MPFR_RNDN);
    t.table.push_back(hi);
    t.table.push_back(nearest(v));
  }
  return t;
}

ErfTables erf_tables() {
  ErfTables t;
  // The smallest double whose erf rounds to 1: erf is increasing, so search
  // the bit patterns between 5 and 7.
  {
    std::uint64_t low = std::bit_cast<std::uint64_t>(5.0);
    std::uint64_t high = std::bit_cast<std::uint64_t>(7.0);
    Big v;
    while (low + 1 < high) {
      const std::uint64_t mid = low + (high - low) / 2;
      mpfr_set_d(v, std::bit_cast<double>(mid), MPFR_RNDN);
      mpfr_erf(v, v, MPFR_RNDN);
      if (mpfr_get_d(v, MPFR_RNDN) == 1.0) {
        high = mid;
      } else {
        low = mid;
      }
    }
    t.one = std::bit_cast<double>(high);
  }

  Big two_over_sqrt_pi;
  {
    Big pi;
    mpfr_const_pi(pi, MPFR_RNDN);
    mpfr_sqrt(pi, pi, MPFR_RNDN);
    mpfr_ui_div(two_over_sqrt_pi, 2, pi, MPFR_RNDN);
  }

  // Taylor expansions of g(x) = erf(x) / x at a = i / 32 for i = 0..190
  // (|d| <= 1/64). From erf's: erf(a + d) = erf(a) + 2/sqrt(pi) sum g_n
  // d^(n+1) / (n + 1), with exp(-(a + d)^2) = sum e_n d^n, e_0 = exp(-a^2),
  // (n + 1) e_(n+1) = -2 a e_n - 2 e_(n-1); then (a + d) g(a + d) = erf(a + d)
  // gives g_0 = c_0 / a and g_n = (c_n - g_(n-1)) / a, or g_n = c_(n+1) at
  // a = 0.
  t.first_interval = 0;
  t.intervals = 191;
  constexpr std::size_t kTerms = 48;
  std::vector<std::vector<double>> rows;
  t.degree = 3;
  for (int i = t.first_interval; i < t.first_interval + t.intervals; ++i) {
    Big a;
    mpfr_set_si(a, i, MPFR_RNDN);
    mpfr_div_ui(a, a, 32, MPFR_RNDN);
    std::vector<std::unique_ptr<Big>> c;
    std::vector<std::unique_ptr<Big>> e;
    std::vector<std::unique_ptr<Big>> g;
    for (std::size_t n = 0; n <= kTerms + 1; ++n) {
      c.push_back(std::make_unique<Big>());
      e.push_back(std::make_unique<Big>());
      g.push_back(std::make_unique<Big>());
    }
    mpfr_erf(*c[0], a, MPFR_RNDN);
    mpfr_sqr(*e[0], a, MPFR_RNDN);
    mpfr_neg(*e[0], *e[0], MPFR_RNDN);
    mpfr_exp(*e[0], *e[0], MPFR_RNDN);
    Big u;
    for (std::size_t n = 0; n < kTerms + 1; ++n) {
      mpfr_mul(u, a, *e[n], MPFR_RNDN);
      mpfr_mul_si(u, u, -2, MPFR_RNDN);
      if (n > 0) {
        Big w;
        mpfr_mul_si(w, *e[n - 1], -2, MPFR_RNDN);
        mpfr_add(u, u, w, MPFR_RNDN);
      }
      mpfr_div_ui(*e[n + 1], u, n + 1, MPFR_RNDN);
      mpfr_mul(u, two_over_sqrt_pi, *e[n], MPFR_RNDN);
      mpfr_div_ui(*c[n + 1], u, n + 1, MPFR_RNDN);
    }
    for (std::size_t n = 0; n <= kTerms; ++n) {
      if (i == 0) {
        mpfr_set(*g[n], *c[n + 1], MPFR_RNDN);
      } else if (n == 0) {
        mpfr_div(*g[0], *c[0], a, MPFR_RNDN);
      } else {
        mpfr_sub(u, *c[n], *g[n - 1], MPFR_RNDN);
        mpfr_div(*g[n], u, a, MPFR_RNDN);
      }
    }
    // Degree: the rest beyond it below 2^-80 of the smallest value on the
    // interval, g(a + 1/64) (g decreases).
    Big low;
    mpfr_set_d(low, static_cast<double>(i) / 32.0 + 1.0 / 64.0, MPFR_RNDN);
    Big erf_low;
    mpfr_erf(erf_low, low, MPFR_RNDN);
    mpfr_div(low, erf_low, low, MPFR_RNDN);
    std::size_t degree = kTerms - 1;
    for (std::size_t n = 3; n < kTerms - 1; ++n) {
      Big rest;
      mpfr_set_ui(rest, 0, MPFR_RNDN);
      for (std::size_t m = n + 1; m <= kTerms; ++m) {
        Big term;
        mpfr_abs(term, *g[m], MPFR_RNDN);
        mpfr_div_2ui(term, term, 6 * m, MPFR_RNDN);
        mpfr_add(rest, rest, term, MPFR_RNDN);
      }
      mpfr_div(rest, rest, low, MPFR_RNDN);
      if (mpfr_cmp_d(rest, 0x1p-80) < 0) {
        degree = n;
        break;
      }
    }
    if (degree >= kTerms - 1) throw std::runtime_error("erf expansion does not converge");
    t.degree = std::max(t.degree, static_cast<int>(degree));
    std::vector<double> row;
    for (std::size_t n = 0; n <= kTerms; ++n) {
      if (n < 3) {
        push_split(row, *g[n], 53);
      } else {
        row.push_back(nearest(*g[n]));
      }
    }
    rows.push_back(row);
  }
  for (const std::vector<double>& row : rows) {
    // g_0..g_2 as pairs (6 values), then g_3..g_degree.
    for (std::size_t k = 0; k < static_cast<std::size_t>(t.degree) + 4; ++k) {
      t.table.push_back(row[k]);
    }
  }
  if (!(t.one < (static_cast<double>(t.first_interval + t.intervals) - 0.5) / 32.0)) {
    throw std::runtime_error("erf intervals end before erf rounds to 1");
  }
  return t;
}

MultiprecisionConstant mp_constant(MpConstant which) {
  Big v;
  switch (which) {
    case MpConstant::ln2:
      mpfr_const_log2(v, MPFR_RNDN);
      break;
    case MpConstant::pi_over_2:
      mpfr_const_pi(v, MPFR_RNDN);
      mpfr_div_2ui(v, v, 1, MPFR_RNDN);
      break;
    case MpConstant::two_over_sqrt_pi:
      mpfr_const_pi(v, MPFR_RNDN);
      mpfr_sqrt(v, v, MPFR_RNDN);
      mpfr_ui_div(v, 2, v, MPFR_RNDN);
      break;
  }
  MultiprecisionConstant c{};
  c.exponent = mpfr_get_exp(v);
  mpfr_mul_2si(v, v, -c.exponent, MPFR_RNDN);
  const std::vector<std::uint64_t> limbs = fraction_limbs(v, 5);
  for (std::size_t i = 0; i < 5; ++i) c.limbs[i] = limbs[i];
  return c;
}

}  // namespace Orvane::Core::Lumeth::TableMath
