#pragma once

// The constants and tables of the library's elementary functions, computed
// with MPFR (600 bits, each value rounded once to nearest). The table
// generator prints them as C++; the accuracy tests compare the library's
// compiled tables with them entry by entry. Test-only: links MPFR.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace Orvane::Core::Lumeth::TableMath {

// A C++ hexadecimal floating literal for x ("0x1.8p+52").
[[nodiscard]] std::string hex(double x);

struct ExpTables {
  double inverse_step;        // RN(256 / ln 2)
  double step1;               // ln 2 / 256 to 35 bits
  double step2;               // RN(ln 2 / 256 - step1)
  std::vector<double> table;  // 256 pairs (RN27(2^(j/256)), rest)
};
[[nodiscard]] ExpTables exp_tables();

struct TrigTables {
  double two_over_pi;
  double part1, part2, part3;  // pi / 2 as 33 + 33 + 53 bits
  double pio2_hi, pio2_lo;
  std::vector<double> table;        // 202 quadruples for a = j / 256
  std::vector<std::uint64_t> bits;  // 24 limbs of the fraction of 2 / pi
};
[[nodiscard]] TrigTables trig_tables();

struct LogTables {
  double ln2_hi, ln2_lo;
  std::uint64_t offset;
  int unit_interval;
  std::vector<double> table;  // 128 triples (c, -ln c as a pair)
};
[[nodiscard]] LogTables log_tables();

struct ErfTables {
  double one;
  int first_interval;
  int intervals;
  int degree;
  std::vector<double> table;
};
[[nodiscard]] ErfTables erf_tables();

enum class MpConstant { ln2, pi_over_2, two_over_sqrt_pi };

struct MultiprecisionConstant {
  std::array<std::uint64_t, 5> limbs;
  std::int64_t exponent;
};
[[nodiscard]] MultiprecisionConstant mp_constant(MpConstant which);

}  // namespace Orvane::Core::Lumeth::TableMath
