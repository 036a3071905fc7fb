#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "family/special.hpp"

namespace vorsk::special {
namespace {

TEST(Lgamma, ExactPointsOfTheLanczosBranch) {
  EXPECT_NEAR(lgamma(1.0), 0.0, 1e-15);
  EXPECT_NEAR(lgamma(2.0), 0.0, 1e-15);
  EXPECT_NEAR(lgamma(0.5), std::log(std::sqrt(std::numbers::pi)), 1e-15);
}

TEST(Lgamma, MatchesReferenceOnBothBranches) {
  struct Case {
    double x;
    double expected;  // log Γ(x) to 20 digits
  };
  const Case cases[] = {
      {0.25, 1.2880225246980774574},  // reflection
      {0.1, 2.2527126517342059599},   // reflection, close to the pole
      {3.7, 1.4280723266653879219},
      {10.3, 13.482036786138356971},
      {150.5, 602.51395487058541195},
  };
  for (const auto& c : cases)
    EXPECT_NEAR(lgamma(c.x), c.expected, 4e-15 * std::max(1.0, std::abs(c.expected))) << c.x;
}

TEST(Lgamma, SatisfiesTheRecurrence) {
  // log Γ(x + 1) = log Γ(x) + log x, across the reflection boundary too.
  for (double x : {0.3, 0.49, 0.5, 0.75, 2.2, 17.0})
    EXPECT_NEAR(lgamma(x + 1.0), lgamma(x) + std::log(x), 1e-14) << x;
}

TEST(Digamma, MatchesReference) {
  struct Case {
    double x;
    double expected;
  };
  const Case cases[] = {
      {1.0, -0.57721566490153286061},  // −γ
      {0.3, -3.502524222200132989},
      {2.5, 0.70315664064524318723},
      {7.25, 1.9104535268837360284},
      {40.0, 3.6763273740348431259},
  };
  for (const auto& c : cases) EXPECT_NEAR(digamma(c.x), c.expected, 1e-9) << c.x;
}

TEST(Trigamma, MatchesReference) {
  struct Case {
    double x;
    double expected;
  };
  const Case cases[] = {
      {1.0, std::numbers::pi * std::numbers::pi / 6.0},
      {0.3, 12.245364546107730465},
      {2.5, 0.49035775610023486497},
      {7.25, 0.14787923315893216965},
      {40.0, 0.025315103841291028158},
  };
  for (const auto& c : cases) EXPECT_NEAR(trigamma(c.x), c.expected, 1e-9) << c.x;
}

// From 6 upward the asymptotic series is used directly; below it one shift per unit.
TEST(DigammaTrigamma, NoShiftFromSixUpward) {
  for (double x : {6.0, 6.5, 11.0}) {
    const double x2 = x * x, x4 = x2 * x2;
    const double psi = std::log(x) - 0.5 / x - 1.0 / (12.0 * x2) + 1.0 / (120.0 * x4) -
                       1.0 / (252.0 * x4 * x2) + 1.0 / (240.0 * x4 * x4);
    const double psi1 = 1.0 / x + 1.0 / (2.0 * x2) + 1.0 / (6.0 * x2 * x) -
                        1.0 / (30.0 * x4 * x) + 1.0 / (42.0 * x4 * x2 * x) -
                        1.0 / (30.0 * x4 * x4 * x);
    EXPECT_DOUBLE_EQ(digamma(x), psi) << x;
    EXPECT_DOUBLE_EQ(trigamma(x), psi1) << x;
  }
  // Just below the threshold exactly one shift happens.
  EXPECT_DOUBLE_EQ(digamma(5.5), digamma(6.5) - 1.0 / 5.5);
  EXPECT_DOUBLE_EQ(trigamma(5.5), trigamma(6.5) + 1.0 / (5.5 * 5.5));
}

TEST(Special, NaNPropagatesAndBadArgumentsTerminate) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(std::isnan(lgamma(nan)));
  EXPECT_TRUE(std::isnan(digamma(nan)));
  EXPECT_TRUE(std::isnan(trigamma(nan)));
  // Outside the domain the values are meaningless, but the shift loops must end.
  EXPECT_FALSE(std::isfinite(lgamma(0.0)));
  EXPECT_FALSE(std::isfinite(digamma(-inf)));
  EXPECT_FALSE(std::isfinite(trigamma(-1e300)));
}

}  // namespace
}  // namespace vorsk::special
