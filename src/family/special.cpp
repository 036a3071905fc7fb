#include "family/special.hpp"

#include <cmath>
#include <limits>

namespace vorsk::special {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfLogTwoPi = 0.9189385332046727;

// Lanczos coefficients for g = 7, nine terms.
constexpr double kLanczos[9] = {
    0.9999999999998099,     676.5203681218851,     -1259.1392167224028,
    771.3234287776531,      -176.6150291621406,    12.507343278686905,
    -0.13857109526572012,   9.984369578019572e-06, 1.5056327351493116e-07,
};

// Below this argument digamma and trigamma shift upward before the asymptotic series.
constexpr double kAsymptoticFrom = 6.0;

}  // namespace

double lgamma(double x) {
  // Written as 0.5 > x so that NaN falls through to the Lanczos branch and stays NaN.
  if (0.5 > x) {
    // The Lanczos sum loses accuracy below 0.5; reflect once into [0.5, ∞).
    return std::log(kPi / std::sin(kPi * x)) - lgamma(1.0 - x);
  }
  const double xm = x - 1.0;
  const double t = (xm + 7.0) + 0.5;
  double sum = kLanczos[0];
  for (int k = 1; k < 9; ++k) sum += kLanczos[k] / (xm + k);
  return (xm + 0.5) * std::log(t) + kHalfLogTwoPi - t + std::log(sum);
}

double digamma(double x) {
  // ψ(x) = ψ(x + 1) − 1/x moves small arguments to where the series is accurate.
  // x + 1 == x only for -inf and huge negative x, where the shift would never end.
  if (x < kAsymptoticFrom && x + 1.0 == x) return std::numeric_limits<double>::quiet_NaN();
  double s = 0.0;
  while (x < kAsymptoticFrom) {
    s -= 1.0 / x;
    x += 1.0;
  }
  const double x2 = x * x;
  const double x4 = x2 * x2;
  const double x6 = x4 * x2;
  const double x8 = x4 * x4;
  return s + std::log(x) - 0.5 / x - 1.0 / (12.0 * x2) + 1.0 / (120.0 * x4) -
         1.0 / (252.0 * x6) + 1.0 / (240.0 * x8);
}

double trigamma(double x) {
  // ψ′(x) = ψ′(x + 1) + 1/x², the same upward shift as digamma.
  if (x < kAsymptoticFrom && x + 1.0 == x) return std::numeric_limits<double>::quiet_NaN();
  double s = 0.0;
  while (x < kAsymptoticFrom) {
    s += 1.0 / (x * x);
    x += 1.0;
  }
  const double x2 = x * x;
  const double x3 = x2 * x;
  const double x5 = x3 * x2;
  const double x7 = x5 * x2;
  const double x9 = x7 * x2;
  return s + 1.0 / x + 1.0 / (2.0 * x2) + 1.0 / (6.0 * x3) - 1.0 / (30.0 * x5) +
         1.0 / (42.0 * x7) - 1.0 / (30.0 * x9);
}

}  // namespace vorsk::special
