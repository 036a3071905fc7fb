#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "common/error.hpp"
#include "common/format.hpp"

#include "test_support.hpp"

namespace vorsk {
namespace {

using test_support::kInf;
using test_support::kNaN;

TEST(FormatNumber, ShortestPlainDecimal) {
  struct Case {
    double value;
    const char* expected;
  };
  const Case cases[] = {
      {0.0, "0"},
      {1.5, "1.5"},
      {3.0, "3"},
      {-1.0, "-1"},
      {1e-7, "0.0000001"},
      {1e21, "1000000000000000000000"},
      {0.1 + 0.2, "0.30000000000000004"},
      {-2.25e-3, "-0.00225"},
      {123456789012.5, "123456789012.5"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {kNaN, "NaN"},
      {-kNaN, "NaN"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_number(c.value), c.expected) << c.expected;
}

TEST(FormatNumber, ExtremeMagnitudesStayPlainAndRoundTrip) {
  for (double v : {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                   -1e-300, 5e-324 * 3}) {
    const std::string text = format_number(v);
    EXPECT_EQ(text.find('e'), std::string::npos) << text;
    // strtod, unlike stod, accepts subnormal results.
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
  }
}

TEST(FormatExp3, ThreeDecimalsUnpaddedExponent) {
  struct Case {
    double value;
    const char* expected;
  };
  const Case cases[] = {
      {0.001, "1.000e-3"}, {25.0, "2.500e1"},    {0.0, "0.000e0"},      {1.0, "1.000e0"},
      {-0.5, "-5.000e-1"}, {1.23456e-12, "1.235e-12"}, {9.9996, "1.000e1"}, {2e300, "2.000e300"},
      {kNaN, "NaN"},       {kInf, "inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_exp3(c.value), c.expected) << c.expected;
}

TEST(Fmt, SequentialAndPositionalPlaceholders) {
  EXPECT_EQ(fmt("{} requires y ≥ 0; got y={} at row {}", "Poisson", -1.0, 3),
            "Poisson requires y ≥ 0; got y=-1 at row 3");
  EXPECT_EQ(fmt("{1} before {0}, {1} again", "a", 2.5), "2.5 before a, 2.5 again");
  EXPECT_EQ(fmt("no placeholders"), "no placeholders");
  EXPECT_EQ(fmt("{}{}", std::string("x"), std::uint64_t{18446744073709551615ULL}),
            "x18446744073709551615");
  // Braces that are not placeholders are kept as written.
  EXPECT_EQ(fmt("{a} {", 1), "{a} {");
}

TEST(VorskErrorDisplay, FourVariants) {
  EXPECT_EQ(VorskError::invalid_parameter("k must be at least 3").display(),
            "invalid parameter: k must be at least 3");
  EXPECT_EQ(VorskError::singular_system("PIRLS factor: x").display(), "singular system: PIRLS factor: x");
  EXPECT_EQ(VorskError::not_converged(50, 1e-3).display(),
            "solver did not converge after 50 iterations (last grad norm = 1.000e-3)");
  EXPECT_EQ(VorskError::not_converged(7, 25.0).display(),
            "solver did not converge after 7 iterations (last grad norm = 2.500e1)");
  EXPECT_EQ(VorskError::linalg("eigh failed").display(), "linalg failure: eigh failed");
}

TEST(VorskErrorDisplay, NotConvergedKeepsItsPayload) {
  const VorskError e = VorskError::not_converged(12, kNaN);
  EXPECT_EQ(e.kind(), VorskError::Kind::NotConverged);
  EXPECT_EQ(e.iters(), 12u);
  EXPECT_TRUE(std::isnan(e.grad_norm()));
  EXPECT_EQ(e.display(), "solver did not converge after 12 iterations (last grad norm = NaN)");
}

}  // namespace
}  // namespace vorsk
