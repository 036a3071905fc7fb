#pragma once
// The three links with their numerical guards.
//   Identity: η = μ,                 μ = η,                  g′ = 1
//   Log:      η = log(max(μ, 1e-300)), μ = exp(η),           g′ = 1/max(μ, 1e-300)
//   Logit:    η = log(μc/(1 − μc)),  μ = 1/(1 + e^{−η}),     g′ = 1/(μc·(1 − μc))
// with μc = μ clamped to [1e-15, 1 − 1e-15].

#include <algorithm>
#include <cmath>

namespace vorsk {

enum class LinkKind { Identity, Log, Logit };

// Mean and variance floor before logs and divisions.
inline constexpr double kFloor = 1e-300;
// Probability clamp; the upper bound is the double nearest to 0.999999999999999.
inline constexpr double kProbLow = 1e-15;
inline constexpr double kProbHigh = 0.999999999999999;

inline double clamp_probability(double mu) { return std::min(std::max(mu, kProbLow), kProbHigh); }

struct IdentityLink {
  static constexpr LinkKind kKind = LinkKind::Identity;
  static double link(double mu) { return mu; }
  static double inverse_link(double eta) { return eta; }
  static double derivative(double) { return 1.0; }
};

struct LogLink {
  static constexpr LinkKind kKind = LinkKind::Log;
  static double link(double mu) { return std::log(std::max(mu, kFloor)); }
  static double inverse_link(double eta) { return std::exp(eta); }
  static double derivative(double mu) { return 1.0 / std::max(mu, kFloor); }
};

struct LogitLink {
  static constexpr LinkKind kKind = LinkKind::Logit;
  static double link(double mu) {
    const double c = clamp_probability(mu);
    return std::log(c / (1.0 - c));
  }
  // Two branches so that exp never overflows.
  static double inverse_link(double eta) {
    if (eta >= 0.0) return 1.0 / (1.0 + std::exp(-eta));
    const double e = std::exp(eta);
    return e / (1.0 + e);
  }
  static double derivative(double mu) {
    const double c = clamp_probability(mu);
    return 1.0 / (c * (1.0 - c));
  }
};

// Inverse link chosen at run time, for prediction from a stored fit.
inline double inverse_link(LinkKind kind, double eta) {
  switch (kind) {
    case LinkKind::Identity:
      return IdentityLink::inverse_link(eta);
    case LinkKind::Log:
      return LogLink::inverse_link(eta);
    case LinkKind::Logit:
      return LogitLink::inverse_link(eta);
  }
  return eta;
}

}  // namespace vorsk
