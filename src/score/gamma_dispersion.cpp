#include <algorithm>
#include <cmath>
#include <limits>

#include "family/special.hpp"
#include "score/envelope.hpp"

namespace vorsk::score_detail {

// Newton's method on S(φ) = 2n·(log φ + ψ(1/φ)) + D_p + M_p·φ, the φ-derivative of the
// gamma score times 2φ², with each step kept within [0.1·φ, 10·φ].
double gamma_dispersion(double dp, double n, double mp) {
  double phi = std::max(dp / (n - mp), 1e-8);
  const double tol = (std::abs(dp) + mp + 1.0) * 1e-10;
  for (int k = 0; k < 30; ++k) {
    const double kappa = 1.0 / phi;
    const double s = (std::log(phi) + special::digamma(kappa)) * 2.0 * n + dp + mp * phi;
    if (std::abs(s) < tol) break;
    const double s_prime = (1.0 - kappa * special::trigamma(kappa)) * (2.0 * n / phi) + mp;
    if (std::abs(s_prime) < 1e-15) break;
    double next = phi - s / s_prime;
    if (std::isnan(next)) next = 0.1 * phi;
    next = std::min(std::max(next, 0.1 * phi), 10.0 * phi);
    next = std::max(next, 1e-8);
    if (next == std::numeric_limits<double>::infinity()) break;
    if (std::abs(next - phi) < 1e-12 * phi) {
      phi = next;
      break;
    }
    phi = next;
  }
  return std::max(phi, 1e-8);
}

}  // namespace vorsk::score_detail
