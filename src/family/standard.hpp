#pragma once
// The seven standard families (a = max(y, 1e-300), b = m = max(μ, 1e-300),
// μc = μ clamped to [1e-15, 1 − 1e-15]):
//
//   family           link      μ⁰              V(μ)                 d(y, μ)
//   Gaussian         identity  (closed form)    1                    (y − μ)²
//   Bernoulli        logit     (y + 0.5)/2      max(μ(1 − μ), 1e-300) 2[y log(y/μc) + (1−y) log((1−y)/(1−μc))]
//   QuasiBinomial    as Bernoulli, dispersion estimated
//   Poisson          log       max(y, 0.1)      m                    2[y log(y/m) − (y − m)], y > 0; 2m otherwise
//   QuasiPoisson     as Poisson, dispersion estimated
//   Gamma            log       max(y, 0.001)    max(μ², 1e-300)      2[log(b/a) + (a − b)/b]
//   InverseGaussian  log       max(y, 0.001)    max(μ³, 1e-300)      (a − b)²/(a·b²)
//
// Domains of y: any; [0, 1] (Bernoulli, QuasiBinomial); y ≥ 0 (Poisson, QuasiPoisson);
// y > 0 (Gamma, InverseGaussian).

#include <algorithm>
#include <cmath>
#include <string_view>

#include "family/family.hpp"
#include "family/link.hpp"

namespace vorsk {

template <typename Link>
struct WithLink {
  static constexpr LinkKind kLinkKind = Link::kKind;
  double link(double mu) const { return Link::link(mu); }
  double inverse_link(double eta) const { return Link::inverse_link(eta); }
  double link_derivative(double mu) const { return Link::derivative(mu); }
};

struct Gaussian : WithLink<IdentityLink> {
  static constexpr std::string_view kName = "Gaussian";
  static constexpr ResponseDomain kDomain = ResponseDomain::Any;
  static constexpr bool kEstimatedScale = true;
  double initial_mu(double y) const { return y; }
  double variance(double) const { return 1.0; }
  double unit_deviance(double y, double mu) const { return (y - mu) * (y - mu); }
};

namespace detail {

struct BinomialFormulas : WithLink<LogitLink> {
  static constexpr ResponseDomain kDomain = ResponseDomain::UnitInterval;
  double initial_mu(double y) const { return (y + 0.5) * 0.5; }
  // The raw μ here; the link derivative sees the clamped μc.
  double variance(double mu) const { return std::max(mu * (1.0 - mu), kFloor); }
  double unit_deviance(double y, double mu) const {
    const double c = clamp_probability(mu);
    double d = 0.0;
    if (y > 0.0) d += y * std::log(y / c);
    if (y < 1.0) d += (1.0 - y) * std::log((1.0 - y) / (1.0 - c));
    return 2.0 * d;
  }
};

struct PoissonFormulas : WithLink<LogLink> {
  static constexpr ResponseDomain kDomain = ResponseDomain::NonNegative;
  double initial_mu(double y) const { return std::max(y, 0.1); }
  double variance(double mu) const { return std::max(mu, kFloor); }
  double unit_deviance(double y, double mu) const {
    const double m = std::max(mu, kFloor);
    if (y > 0.0) return 2.0 * (y * std::log(y / m) - (y - m));
    return 2.0 * m;
  }
};

}  // namespace detail

struct Bernoulli : detail::BinomialFormulas {
  static constexpr std::string_view kName = "Bernoulli";
  static constexpr bool kEstimatedScale = false;
};

struct QuasiBinomial : detail::BinomialFormulas {
  static constexpr std::string_view kName = "QuasiBinomial";
  static constexpr bool kEstimatedScale = true;
};

struct Poisson : detail::PoissonFormulas {
  static constexpr std::string_view kName = "Poisson";
  static constexpr bool kEstimatedScale = false;
};

struct QuasiPoisson : detail::PoissonFormulas {
  static constexpr std::string_view kName = "QuasiPoisson";
  static constexpr bool kEstimatedScale = true;
};

struct Gamma : WithLink<LogLink> {
  static constexpr std::string_view kName = "Gamma";
  static constexpr ResponseDomain kDomain = ResponseDomain::Positive;
  static constexpr bool kEstimatedScale = true;
  double initial_mu(double y) const { return std::max(y, 0.001); }
  double variance(double mu) const { return std::max(mu * mu, kFloor); }
  double unit_deviance(double y, double mu) const {
    const double a = std::max(y, kFloor);
    const double b = std::max(mu, kFloor);
    return 2.0 * (std::log(b / a) + (a - b) / b);
  }
};

struct InverseGaussian : WithLink<LogLink> {
  static constexpr std::string_view kName = "InverseGaussian";
  static constexpr ResponseDomain kDomain = ResponseDomain::Positive;
  static constexpr bool kEstimatedScale = true;
  double initial_mu(double y) const { return std::max(y, 0.001); }
  double variance(double mu) const { return std::max(mu * mu * mu, kFloor); }
  double unit_deviance(double y, double mu) const {
    const double a = std::max(y, kFloor);
    const double b = std::max(mu, kFloor);
    return (a - b) * (a - b) / (a * b * b);
  }

  // The log link is not canonical here, so the score corrects its gradient with the
  // full Newton weights W^N = pw·α/(V·g′²), α = 1 + (y − μ)·(V′/V + g″/g′).
  static constexpr bool kNewtonCorrection = true;
  // V′/V = 3μ²/μ³ and g″/g′ = −1/μ, with the mean floor.
  double variance_log_derivative(double mu) const {
    return 3.0 * mu * mu / std::max(mu * mu * mu, kFloor);
  }
  double link_log_derivative(double mu) const { return -1.0 / std::max(mu, kFloor); }
  // d/dμ of the two ratios above, written as the identities (V″/V − (V′/V)²) and
  // (g‴/g′ − (g″/g′)²) with V″ = 6μ and g‴ = 2/μ³.
  double variance_log_derivative_slope(double mu) const {
    const double r = variance_log_derivative(mu);
    return 6.0 * mu / std::max(mu * mu * mu, kFloor) - r * r;
  }
  double link_log_derivative_slope(double mu) const {
    const double m = std::max(mu, kFloor);
    const double r = link_log_derivative(mu);
    return 2.0 / (m * m) - r * r;
  }
};

static_assert(Family<Gaussian>);
static_assert(Family<Bernoulli>);
static_assert(Family<QuasiBinomial>);
static_assert(Family<Poisson>);
static_assert(Family<QuasiPoisson>);
static_assert(Family<Gamma>);
static_assert(Family<InverseGaussian>);

}  // namespace vorsk
