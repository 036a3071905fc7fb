#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "family/family.hpp"
#include "family/link.hpp"
#include "family/standard.hpp"

#include "test_support.hpp"

namespace vorsk {
namespace {

using test_support::kInf;
using test_support::kNaN;
using test_support::vec;

// ---------------------------------------------------------------------------
// Properties every standard family shares, with responses from its domain.

template <typename F>
struct Samples;
template <>
struct Samples<Gaussian> {
  static std::vector<double> y() { return {-3.0, 0.0, 0.25, 7.5}; }
};
template <>
struct Samples<Bernoulli> {
  static std::vector<double> y() { return {0.0, 0.2, 0.5, 1.0}; }
};
template <>
struct Samples<QuasiBinomial> : Samples<Bernoulli> {};
template <>
struct Samples<Poisson> {
  static std::vector<double> y() { return {0.0, 1.0, 2.5, 40.0}; }
};
template <>
struct Samples<QuasiPoisson> : Samples<Poisson> {};
template <>
struct Samples<Gamma> {
  static std::vector<double> y() { return {1e-3, 0.5, 1.0, 30.0}; }
};
template <>
struct Samples<InverseGaussian> : Samples<Gamma> {};

template <typename F>
class StandardFamily : public ::testing::Test {};
using StandardFamilies =
    ::testing::Types<Gaussian, Bernoulli, QuasiBinomial, Poisson, QuasiPoisson, Gamma, InverseGaussian>;
TYPED_TEST_SUITE(StandardFamily, StandardFamilies);

TYPED_TEST(StandardFamily, DevianceIsZeroAtTheDataAndPositiveElsewhere) {
  const TypeParam f;
  const auto ys = Samples<TypeParam>::y();
  for (double y : ys) {
    // Interior means only: at the boundary the clamp makes d tiny but not zero.
    if (y > 0.0 && y < 1.0) {
      EXPECT_EQ(f.unit_deviance(y, y), 0.0) << y;
    } else if (y > 0.0) {
      EXPECT_NEAR(f.unit_deviance(y, y), 0.0, 1e-14) << y;
    }
    for (double mu : ys) {
      if (mu == y || mu <= 0.0 || (TypeParam::kLinkKind == LinkKind::Logit && mu >= 1.0)) continue;
      EXPECT_GT(f.unit_deviance(y, mu), 0.0) << "y=" << y << " mu=" << mu;
    }
  }
}

TYPED_TEST(StandardFamily, LinkAndInverseRoundTrip) {
  const TypeParam f;
  for (double y : Samples<TypeParam>::y()) {
    const double mu = f.initial_mu(y);
    EXPECT_NEAR(f.inverse_link(f.link(mu)), mu, 1e-14 * std::max(1.0, std::abs(mu))) << y;
    // g′ is dη/dμ: compare with a central difference of the link.
    const double h = 1e-6 * std::max(1e-3, std::abs(mu));
    if (TypeParam::kLinkKind == LinkKind::Logit && (mu - h <= 0.0 || mu + h >= 1.0)) continue;
    const double numeric = (f.link(mu + h) - f.link(mu - h)) / (2.0 * h);
    EXPECT_NEAR(f.link_derivative(mu), numeric, 1e-6 * std::abs(numeric)) << y;
  }
}

TYPED_TEST(StandardFamily, StartingValuesStepIsFinite) {
  const TypeParam f;
  const auto ys = Samples<TypeParam>::y();
  Vector y(static_cast<Index>(ys.size())), mu(y.size()), eta(y.size());
  for (Index i = 0; i < y.size(); ++i) {
    y[i] = ys[static_cast<std::size_t>(i)];
    mu[i] = f.initial_mu(y[i]);
    eta[i] = f.link(mu[i]);
  }
  EXPECT_TRUE(step_is_finite(f, y, eta, mu));
  Vector bad_eta = eta;
  bad_eta[1] = kInf;
  EXPECT_FALSE(step_is_finite(f, y, bad_eta, mu));
  Vector bad_mu = mu;
  bad_mu[2] = kNaN;
  EXPECT_FALSE(step_is_finite(f, y, eta, bad_mu));
}

// ---------------------------------------------------------------------------
// Formulas at their guards

TEST(Links, KindsAndGuardedValues) {
  EXPECT_EQ(Gaussian::kLinkKind, LinkKind::Identity);
  EXPECT_EQ(Bernoulli::kLinkKind, LinkKind::Logit);
  EXPECT_EQ(Poisson::kLinkKind, LinkKind::Log);
  EXPECT_EQ(Gamma::kLinkKind, LinkKind::Log);
  EXPECT_EQ(InverseGaussian::kLinkKind, LinkKind::Log);

  EXPECT_EQ(LogLink::link(0.0), std::log(1e-300));
  EXPECT_EQ(LogLink::link(-1.0), std::log(1e-300));
  EXPECT_EQ(LogLink::derivative(0.0), 1.0 / 1e-300);
  EXPECT_EQ(LogitLink::link(0.0), std::log(1e-15 / (1.0 - 1e-15)));
  EXPECT_EQ(LogitLink::link(1.0), std::log(0.999999999999999 / (1.0 - 0.999999999999999)));
  EXPECT_EQ(LogitLink::derivative(0.0), 1.0 / (1e-15 * (1.0 - 1e-15)));
  EXPECT_EQ(LogitLink::derivative(2.0), LogitLink::derivative(1.0));
  EXPECT_TRUE(std::isfinite(LogitLink::derivative(1.0)));
}

TEST(Links, InverseLogitSaturatesWithoutOverflow) {
  volatile double big = 800.0;  // keep the calls from being folded at compile time
  std::feclearexcept(FE_ALL_EXCEPT);
  const double high = LogitLink::inverse_link(big);
  const double low = LogitLink::inverse_link(-big);
  const bool overflowed = std::fetestexcept(FE_OVERFLOW) != 0;
  EXPECT_EQ(high, 1.0);
  EXPECT_EQ(low, 0.0);
  EXPECT_FALSE(overflowed);
  EXPECT_EQ(LogitLink::inverse_link(0.0), 0.5);
  EXPECT_DOUBLE_EQ(LogitLink::inverse_link(-30.0), std::exp(-30.0) / (1.0 + std::exp(-30.0)));
}

TEST(Links, RunTimeInverseMatchesStatic) {
  for (double eta : {-3.0, 0.0, 2.5}) {
    EXPECT_EQ(inverse_link(LinkKind::Identity, eta), eta);
    EXPECT_EQ(inverse_link(LinkKind::Log, eta), std::exp(eta));
    EXPECT_EQ(inverse_link(LinkKind::Logit, eta), LogitLink::inverse_link(eta));
  }
}

TEST(BernoulliFamily, DevianceAtClampedBoundariesIsTinyNotInfinite) {
  const Bernoulli f;
  const double d00 = f.unit_deviance(0.0, 0.0);
  EXPECT_DOUBLE_EQ(d00, 2.0 * std::log(1.0 / (1.0 - 1e-15)));
  EXPECT_NEAR(d00, 2e-15, 3e-16);
  const double d11 = f.unit_deviance(1.0, 1.0);
  EXPECT_DOUBLE_EQ(d11, 2.0 * std::log(1.0 / 0.999999999999999));
  EXPECT_NEAR(d11, 2e-15, 3e-16);
  // The opposite corners are large but finite thanks to the clamp.
  EXPECT_DOUBLE_EQ(f.unit_deviance(1.0, 0.0), 2.0 * std::log(1.0 / 1e-15));
  EXPECT_DOUBLE_EQ(f.unit_deviance(0.0, 1.0), 2.0 * std::log(1.0 / (1.0 - 0.999999999999999)));
  // Interior: both terms present.
  EXPECT_DOUBLE_EQ(f.unit_deviance(0.25, 0.5), 2.0 * (0.25 * std::log(0.5) + 0.75 * std::log(1.5)));
}

TEST(BernoulliFamily, StartAndVarianceUseRawMean) {
  const Bernoulli f;
  EXPECT_EQ(f.initial_mu(0.0), 0.25);
  EXPECT_EQ(f.initial_mu(1.0), 0.75);
  EXPECT_EQ(f.variance(0.5), 0.25);
  EXPECT_EQ(f.variance(0.0), 1e-300);
  EXPECT_EQ(f.variance(1.5), 1e-300);  // μ(1 − μ) < 0 is floored, not clamped
  EXPECT_EQ(f.variance(1e-20), 1e-20 * (1.0 - 1e-20));
}

TEST(PoissonFamily, ZeroResponseAndZeroMean) {
  const Poisson f;
  EXPECT_EQ(f.initial_mu(0.0), 0.1);
  EXPECT_EQ(f.link(f.initial_mu(0.0)), std::log(0.1));
  EXPECT_EQ(f.initial_mu(3.0), 3.0);
  EXPECT_EQ(f.unit_deviance(0.0, 0.7), 2.0 * 0.7);
  // μ = 0 exactly: m = 1e-300 in V, g′ and d.
  EXPECT_EQ(f.variance(0.0), 1e-300);
  EXPECT_DOUBLE_EQ(f.link_derivative(0.0), 1e300);
  EXPECT_DOUBLE_EQ(f.unit_deviance(2.0, 0.0), 2.0 * (2.0 * std::log(2.0 * 1e300) - 2.0 + 1e-300));
  EXPECT_EQ(f.unit_deviance(0.0, 0.0), 2e-300);
  EXPECT_DOUBLE_EQ(f.unit_deviance(4.0, 2.0), 2.0 * (4.0 * std::log(2.0) - 2.0));
}

TEST(GammaAndInverseGaussian, StartsAndGuards) {
  const Gamma g;
  const InverseGaussian ig;
  EXPECT_EQ(g.initial_mu(5e-4), 0.001);
  EXPECT_EQ(ig.initial_mu(5e-4), 0.001);
  EXPECT_EQ(g.initial_mu(2.0), 2.0);
  EXPECT_EQ(g.variance(3.0), 9.0);
  EXPECT_EQ(ig.variance(3.0), 27.0);
  EXPECT_EQ(g.variance(1e-200), 1e-300);  // μ² underflows to 0
  EXPECT_EQ(ig.variance(1e-120), 1e-300);
  EXPECT_DOUBLE_EQ(g.unit_deviance(1.0, 2.0), 2.0 * (std::log(2.0) - 0.5));
  EXPECT_DOUBLE_EQ(ig.unit_deviance(1.0, 2.0), 1.0 / 4.0);
  EXPECT_TRUE(std::isfinite(g.unit_deviance(1.0, 0.0)));
}

// ---------------------------------------------------------------------------
// Response-domain check

using Checker = Status (*)(const VectorView&);

TEST(CheckResponse, FirstOffendingRowIsReported) {
  struct Case {
    const char* label;
    Checker check;
    Vector y;
    const char* message;  // nullptr: accepted
  };
  const std::vector<Case> cases = {
      {"poisson negative", &check_response<Poisson>, vec({0, 1, 2, -1, -5}),
       "Poisson requires y ≥ 0; got y=-1 at row 3"},
      {"quasipoisson -inf", &check_response<QuasiPoisson>, vec({-kInf}),
       "QuasiPoisson requires y ≥ 0; got y=-inf at row 0"},
      {"poisson NaN and inf pass", &check_response<Poisson>, vec({0, kNaN, kInf}), nullptr},
      {"gamma zero", &check_response<Gamma>, vec({0, 1}), "Gamma requires y > 0; got y=0 at row 0"},
      {"gamma NaN passes", &check_response<Gamma>, vec({kNaN, 1e-300}), nullptr},
      {"inverse gaussian negative", &check_response<InverseGaussian>, vec({2, -0.5}),
       "InverseGaussian requires y > 0; got y=-0.5 at row 1"},
      {"bernoulli NaN", &check_response<Bernoulli>, vec({0, kNaN, 2}),
       "Bernoulli requires y in [0, 1]; got y=NaN at row 1"},
      {"bernoulli bounds pass", &check_response<Bernoulli>, vec({0, 1, 0.5}), nullptr},
      {"quasibinomial above one", &check_response<QuasiBinomial>, vec({1.5}),
       "QuasiBinomial requires y in [0, 1]; got y=1.5 at row 0"},
      {"gaussian anything", &check_response<Gaussian>, vec({kNaN, -kInf, 1e300}), nullptr},
      {"empty", &check_response<Gamma>, Vector(0), nullptr},
  };
  for (const auto& c : cases) {
    const Status s = c.check(c.y);
    if (c.message == nullptr) {
      EXPECT_TRUE(s.ok()) << c.label << ": " << s.error().message();
    } else {
      ASSERT_FALSE(s.ok()) << c.label;
      EXPECT_EQ(s.error().kind(), VorskError::Kind::InvalidParameter) << c.label;
      EXPECT_EQ(s.error().message(), c.message) << c.label;
    }
  }
}

// ---------------------------------------------------------------------------
// Deviance and the finiteness test

TEST(Deviance, SumsWeightedUnitDeviancesInOrder) {
  const Poisson f;
  const Vector y = vec({0, 1, 3});
  const Vector mu = vec({0.5, 1, 2});
  const double d0 = f.unit_deviance(0, 0.5), d1 = f.unit_deviance(1, 1), d2 = f.unit_deviance(3, 2);
  EXPECT_EQ(deviance(f, y, mu, nullptr), (d0 + d1) + d2);
  const Vector pw = vec({2, 0, 0.5});
  EXPECT_EQ(deviance(f, y, mu, &pw), (2 * d0 + 0 * d1) + 0.5 * d2);
  const Gaussian g;
  EXPECT_EQ(deviance(g, vec({1, 2}), vec({0, 4}), nullptr), 5.0);
  EXPECT_EQ(deviance(g, Vector(0), Vector(0), nullptr), 0.0);
}

TEST(StepIsFinite, NaNResponsePassesDomainButFailsTheStep) {
  const Poisson f;
  const Vector y = vec({1, kNaN});
  ASSERT_TRUE(check_response<Poisson>(y).ok());
  Vector mu(2), eta(2);
  for (Index i = 0; i < 2; ++i) {
    mu[i] = f.initial_mu(y[i]);
    eta[i] = f.link(mu[i]);
  }
  EXPECT_FALSE(step_is_finite(f, y, eta, mu));
}

TEST(StepIsFinite, ChecksTheDevianceNotOnlyEtaAndMu) {
  // η and μ finite, but b² underflows in the inverse Gaussian deviance.
  const InverseGaussian ig;
  EXPECT_FALSE(step_is_finite(ig, vec({1}), vec({-800}), vec({0})));
  const Gamma g;
  EXPECT_TRUE(step_is_finite(g, vec({1}), vec({-800}), vec({0})));
  EXPECT_FALSE(step_is_finite(g, vec({1}), vec({800}), vec({kInf})));
}

}  // namespace
}  // namespace vorsk
