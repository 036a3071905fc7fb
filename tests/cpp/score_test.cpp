// The REML score and its gradient, and the inner fits it is built on, on a small
// well-conditioned problem: X = [1, sin(πjx)], S₁ = diag(0, j⁴), S₂ = a ridge on
// the first three terms.

#include <gtest/gtest.h>

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <cmath>
#include <random>

#include "family/standard.hpp"
#include "inner/closed_form.hpp"
#include "inner/pirls.hpp"
#include "score/envelope.hpp"

namespace vorsk {
namespace {

constexpr Index kN = 240;
constexpr Index kP = 8;

Matrix model_matrix() {
  Matrix x(kN, kP);
  for (Index i = 0; i < kN; ++i) {
    const double t = (static_cast<double>(i) + 0.5) / kN;
    x(i, 0) = 1.0;
    for (Index j = 1; j < kP; ++j) x(i, j) = std::sin(M_PI * static_cast<double>(j) * t);
  }
  return x;
}

std::vector<Matrix> penalties(bool two) {
  Matrix s1 = Matrix::Zero(kP, kP);
  for (Index j = 1; j < kP; ++j) s1(j, j) = std::pow(static_cast<double>(j), 4.0);
  std::vector<Matrix> out{s1};
  if (two) {
    Matrix s2 = Matrix::Zero(kP, kP);
    for (Index j = 1; j <= 3; ++j) s2(j, j) = 1.0;
    out.push_back(s2);
  }
  return out;
}

// Rank and log pseudo-determinant, computed independently of the design code.
void rank_logdet(const std::vector<Matrix>& s, std::vector<std::uint64_t>& ranks, std::vector<double>& logdets) {
  for (const Matrix& m : s) {
    Eigen::SelfAdjointEigenSolver<Matrix> es(m);
    std::uint64_t r = 0;
    double ld = 0.0;
    for (Index k = 0; k < es.eigenvalues().size(); ++k)
      if (es.eigenvalues()[k] > 1e-10) {
        ++r;
        ld += std::log(es.eigenvalues()[k]);
      }
    ranks.push_back(r);
    logdets.push_back(ld);
  }
}

// Response with link-scale mean 0.5 + 0.8·sin(2πx) drawn from the named distribution.
Vector response(const std::string& family, unsigned seed) {
  std::mt19937_64 rng(seed);
  Vector y(kN);
  for (Index i = 0; i < kN; ++i) {
    const double t = (static_cast<double>(i) + 0.5) / kN;
    const double eta = 0.5 + 0.8 * std::sin(2.0 * M_PI * t);
    if (family == "gaussian") {
      y[i] = eta + std::normal_distribution<double>(0.0, 0.3)(rng);
    } else if (family == "poisson") {
      y[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(eta))(rng));
    } else if (family == "bernoulli") {
      y[i] = std::uniform_real_distribution<double>(0.0, 1.0)(rng) < 1.0 / (1.0 + std::exp(-eta)) ? 1.0 : 0.0;
    } else if (family == "gamma") {
      const double shape = 5.0;
      y[i] = std::gamma_distribution<double>(shape, std::exp(eta) / shape)(rng);
    } else {  // inverse Gaussian by a gamma stand-in: positive, right-skewed
      const double shape = 30.0;
      y[i] = std::gamma_distribution<double>(shape, std::exp(0.3 * eta) / shape)(rng);
    }
  }
  return y;
}

template <Family F>
ScoreProblem<F> problem_for(const Vector& y, bool two, std::optional<Vector> w = std::nullopt) {
  ScoreProblem<F> p;
  auto s = penalties(two);
  if constexpr (std::is_same_v<F, Gaussian>) {
    p.inner = make_gaussian_problem(s, model_matrix(), y, w);
  } else {
    p.inner.penalties = s;
    p.inner.x = model_matrix();
    p.inner.y = y;
    p.inner.prior_weights = w;
  }
  rank_logdet(s, p.penalty_ranks, p.penalty_log_dets);
  std::uint64_t total = 0;
  for (auto r : p.penalty_ranks) total += r;
  p.null_space_dim = total > static_cast<std::uint64_t>(kP) ? 0 : kP - total;
  return p;
}

template <Family F>
Vector fd_gradient(const ScoreProblem<F>& p, const Vector& rho, double h = 1e-4) {
  Vector g(rho.size());
  for (Index j = 0; j < rho.size(); ++j) {
    Vector up = rho, down = rho;
    up[j] += h;
    down[j] -= h;
    auto fu = envelope_score(p, up);
    auto fd = envelope_score(p, down);
    EXPECT_TRUE(fu.ok() && fd.ok());
    g[j] = (fu->value - fd->value) / (2.0 * h);
  }
  return g;
}

template <Family F>
void expect_exact_gradient(const std::string& name, double tol) {
  for (bool two : {false, true}) {
    const auto p = problem_for<F>(response(name, 17), two);
    for (double r0 : {-2.0, 0.5, 3.0}) {
      Vector rho = Vector::Constant(two ? 2 : 1, r0);
      if (two) rho[1] = r0 - 1.0;
      auto at = envelope_score(p, rho);
      ASSERT_TRUE(at.ok()) << at.error().display();
      const Vector fd = fd_gradient(p, rho);
      for (Index j = 0; j < rho.size(); ++j)
        EXPECT_NEAR(at->gradient[j], fd[j], tol * (1.0 + std::abs(fd[j]))) << name << " j=" << j << " rho=" << r0;
    }
  }
}

TEST(EnvelopeScore, GradientIsExactForGaussianGammaAndCorrectedInverseGaussian) {
  expect_exact_gradient<Gaussian>("gaussian", 1e-6);
  expect_exact_gradient<Gamma>("gamma", 1e-5);
  expect_exact_gradient<InverseGaussian>("inverse_gaussian", 1e-5);
}

TEST(EnvelopeScore, InverseGaussianHasItsNewtonExtension) {
  const auto p = problem_for<InverseGaussian>(response("inverse_gaussian", 3), true);
  Vector rho(2);
  rho << 0.0, 1.0;
  auto fit = pirls(p.inner, rho);
  ASSERT_TRUE(fit.ok());
  ASSERT_TRUE(fit->newton_extension.has_value());
  EXPECT_EQ(fit->newton_extension->b.size(), 2u);
  EXPECT_EQ(fit->newton_extension->t_tilde.size(), 2);
}

// Score terms of the envelope families recomputed from the inner fit in the test.
template <Family F>
void expect_terms(const std::string& name, bool fixed_scale) {
  const auto p = problem_for<F>(response(name, 5), true);
  Vector rho(2);
  rho << 1.0, -0.5;
  auto fit = pirls(p.inner, rho);
  ASSERT_TRUE(fit.ok());
  const auto s = penalties(true);
  Matrix h = p.inner.x.transpose() * fit->weights.asDiagonal() * p.inner.x;
  for (int j = 0; j < 2; ++j) h += std::exp(rho[j]) * s[static_cast<std::size_t>(j)];
  const Eigen::LLT<Matrix> llt(h);
  const Matrix h_inv = llt.solve(Matrix::Identity(kP, kP));
  double dp = fit->deviance;
  for (int j = 0; j < 2; ++j) dp += std::exp(rho[j]) * fit->beta.dot(s[static_cast<std::size_t>(j)] * fit->beta);
  const double mp = static_cast<double>(p.null_space_dim);
  const double phi = fixed_scale ? 1.0 : std::max(dp / std::max(kN - mp, 1.0), 1e-8);
  auto at = envelope_score(p, rho);
  ASSERT_TRUE(at.ok());
  for (int j = 0; j < 2; ++j) {
    const Matrix& sj = s[static_cast<std::size_t>(j)];
    const double lam = std::exp(rho[j]);
    const double expected = 0.5 * lam * (h_inv * sj).trace() + lam * fit->beta.dot(sj * fit->beta) / (2.0 * phi) -
                            0.5 * static_cast<double>(p.penalty_ranks[static_cast<std::size_t>(j)]);
    EXPECT_NEAR(at->gradient[j], expected, 1e-9 * (1.0 + std::abs(expected))) << name << " j=" << j;
  }
  const double log_det_h = 2.0 * Matrix(llt.matrixL()).diagonal().array().log().sum();
  EXPECT_NEAR(log_det_h, 2.0 * fit->factor.diagonal().array().log().sum(), 1e-6);
}

TEST(EnvelopeScore, TermsMatchAnIndependentComputation) {
  expect_terms<Poisson>("poisson", true);
  expect_terms<Bernoulli>("bernoulli", true);
  expect_terms<QuasiPoisson>("poisson", false);
  expect_terms<QuasiBinomial>("bernoulli", false);
}

TEST(EnvelopeScore, PoissonValueFromItsDefinition) {
  const Vector y = response("poisson", 8);
  const auto p = problem_for<Poisson>(y, false);
  const Vector rho = Vector::Constant(1, 2.0);
  auto fit = pirls(p.inner, rho);
  auto at = envelope_score(p, rho);
  ASSERT_TRUE(fit.ok() && at.ok());
  const double lam = std::exp(2.0);
  const double dp = fit->deviance + lam * fit->beta.dot(penalties(false)[0] * fit->beta);
  double ls = 0.0;
  for (Index i = 0; i < kN; ++i)
    if (y[i] > 0) ls += y[i] * std::log(y[i]) - y[i];
  const double logdet = 2.0 * fit->factor.diagonal().array().log().sum();
  const double expected = 0.5 * logdet + 0.5 * dp - 0.5 * p.null_space_dim * std::log(2 * M_PI) -
                          0.5 * (p.penalty_ranks[0] * 2.0 + p.penalty_log_dets[0]) - ls;
  EXPECT_NEAR(at->value, expected, 1e-9 * std::abs(expected));
}

TEST(EnvelopeScore, ExactInterpolationFallsBack) {
  // y in the column space of X with no penalty pull: D = 0 at tiny λ is not reached,
  // so use y = 0, whose fit is exactly zero.
  const auto p = problem_for<Gaussian>(Vector::Zero(kN), false);
  auto at = envelope_score(p, Vector::Zero(1));
  ASSERT_TRUE(at.ok());
  EXPECT_EQ(at->value, 1e12);
  EXPECT_EQ(at->gradient[0], 0.0);
}

TEST(EnvelopeScore, PenaltiesSharingABlockUseItsExactLogPseudoDeterminant) {
  // Two penalties on the same coefficients with different null spaces: ranks 7 and 5,
  // rank 7 together, so the unpenalised space is the intercept alone.
  auto s = penalties(false);
  Matrix s2 = Matrix::Zero(kP, kP);
  for (Index j = 3; j < kP; ++j) s2(j, j) = 0.5 * static_cast<double>(j);
  s.push_back(s2);
  ScoreProblem<Gaussian> p;
  p.inner = make_gaussian_problem(s, model_matrix(), response("gaussian", 12), std::nullopt);
  rank_logdet(s, p.penalty_ranks, p.penalty_log_dets);
  auto blocks = find_penalty_blocks(s, p.penalty_ranks, kP);
  ASSERT_TRUE(blocks.ok());
  ASSERT_EQ(blocks->shared.size(), 1u);
  EXPECT_EQ(blocks->shared[0].rank, 7u);
  EXPECT_EQ(blocks->null_space_dim, 1u);
  p.blocks = *blocks;
  p.null_space_dim = blocks->null_space_dim;

  Vector rho(2);
  rho << 1.0, -2.0;
  auto bl = block_log_pseudo_det(p.blocks.shared[0], s, rho);
  ASSERT_TRUE(bl.ok());
  const Matrix total = (std::exp(rho[0]) * s[0] + std::exp(rho[1]) * s[1]).bottomRightCorner(kP - 1, kP - 1);
  EXPECT_NEAR(bl->log_det, std::log(total.determinant()), 1e-10);

  for (double shift : {-3.0, 0.0, 4.0}) {
    Vector at_rho = rho.array() + shift;
    auto at = envelope_score(p, at_rho);
    ASSERT_TRUE(at.ok());
    const Vector fd = fd_gradient(p, at_rho);
    for (Index j = 0; j < 2; ++j) EXPECT_NEAR(at->gradient[j], fd[j], 1e-6 * (1.0 + std::abs(fd[j]))) << shift;
  }
}

TEST(ScoreWithHessian, IsSymmetricAndMatchesTheGradientsSlope) {
  const auto p = problem_for<Gamma>(response("gamma", 21), true);
  Vector rho(2);
  rho << 0.3, 1.2;
  auto at = score_with_hessian(p, rho);
  ASSERT_TRUE(at.ok());
  EXPECT_EQ(at->hessian(0, 1), at->hessian(1, 0));
  for (Index j = 0; j < 2; ++j) {
    Vector up = rho, down = rho;
    up[j] += 1e-3;
    down[j] -= 1e-3;
    const Vector slope = (envelope_score(p, up)->gradient - envelope_score(p, down)->gradient) / 2e-3;
    for (Index i = 0; i < 2; ++i) EXPECT_NEAR(at->hessian(i, j), slope[i], 1e-4 * (1 + std::abs(slope[i])));
  }
}

TEST(ClosedForm, IsThePenalisedLeastSquaresSolution) {
  const Vector y = response("gaussian", 2);
  const auto p = problem_for<Gaussian>(y, false);
  const Matrix x = model_matrix();
  const Matrix s = penalties(false)[0];
  const double lam = std::exp(1.5);
  auto fit = closed_form(p.inner, Vector::Constant(1, 1.5));
  ASSERT_TRUE(fit.ok());
  const Vector expected = (x.transpose() * x + lam * s).ldlt().solve(x.transpose() * y);
  EXPECT_TRUE(fit->beta.isApprox(expected, 1e-9));
  EXPECT_EQ(fit->deviance, fit->working_rss);
  EXPECT_EQ(fit->iterations, 1u);

  // Weights of 2 double the data term: the same as the unweighted fit at λ/2.
  const auto weighted = problem_for<Gaussian>(y, false, Vector::Constant(kN, 2.0));
  auto wfit = closed_form(weighted.inner, Vector::Constant(1, 1.5));
  auto half = closed_form(p.inner, Vector::Constant(1, 1.5 - std::log(2.0)));
  EXPECT_TRUE(wfit->beta.isApprox(half->beta, 1e-9));
}

// Newton's method on D(β) + βᵀS_λβ with the exact derivatives of the log-link
// deviances, written out here independently of the solver.
Vector penalised_minimum(const std::string& family, const Matrix& x, const Vector& y, const Matrix& s_lambda) {
  Vector beta = Vector::Zero(x.cols());
  beta[0] = std::log(y.mean());
  for (int it = 0; it < 100; ++it) {
    const Vector mu = (x * beta).array().exp();
    Vector d1(kN), d2(kN);  // dD/dη and d²D/dη²
    for (Index i = 0; i < kN; ++i) {
      if (family == "poisson") {
        d1[i] = -2.0 * (y[i] - mu[i]);
        d2[i] = 2.0 * mu[i];
      } else {  // gamma
        d1[i] = 2.0 * (1.0 - y[i] / mu[i]);
        d2[i] = 2.0 * y[i] / mu[i];
      }
    }
    const Vector grad = x.transpose() * d1 + 2.0 * s_lambda * beta;
    const Matrix hess = x.transpose() * d2.asDiagonal() * x + 2.0 * s_lambda;
    const Vector step = hess.ldlt().solve(grad);
    beta -= step;
    if (step.norm() < 1e-13) break;
  }
  return beta;
}

TEST(Pirls, ReachesThePenalisedDevianceMinimum) {
  const Matrix x = model_matrix();
  const Matrix s = std::exp(0.7) * penalties(false)[0];
  {
    const auto p = problem_for<Poisson>(response("poisson", 4), false);
    auto fit = pirls(p.inner, Vector::Constant(1, 0.7));
    ASSERT_TRUE(fit.ok());
    EXPECT_TRUE(fit->converged);
    EXPECT_TRUE(fit->beta.isApprox(penalised_minimum("poisson", x, p.inner.y, s), 1e-6));
  }
  {
    const auto p = problem_for<Gamma>(response("gamma", 4), false);
    auto fit = pirls(p.inner, Vector::Constant(1, 0.7));
    ASSERT_TRUE(fit.ok());
    EXPECT_TRUE(fit->converged);
    EXPECT_TRUE(fit->beta.isApprox(penalised_minimum("gamma", x, p.inner.y, s), 1e-6));
  }
}

TEST(Pirls, ZeroIterationsGivesTheStartAndThePriorWeightFactor) {
  auto p = problem_for<Poisson>(response("poisson", 6), false);
  p.inner.settings.max_iter = 0;
  auto fit = pirls(p.inner, Vector::Zero(1));
  ASSERT_TRUE(fit.ok());
  EXPECT_EQ(fit->iterations, 0u);
  EXPECT_FALSE(fit->converged);
  EXPECT_TRUE(fit->beta.isZero(0.0));
  EXPECT_DOUBLE_EQ(fit->eta[0], std::log(std::max(p.inner.y[0], 0.1)));
  Matrix a = p.inner.x.transpose() * p.inner.x + penalties(false)[0];
  a.diagonal().array() += 1e-12 * std::max(1.0, a.diagonal().cwiseAbs().maxCoeff());
  EXPECT_TRUE((fit->factor * fit->factor.transpose()).isApprox(a, 1e-12));
}

TEST(Pirls, RankDeficiencyIsASingularSystem) {
  auto p = problem_for<Poisson>(response("poisson", 6), false);
  p.inner.x.col(3).setZero();
  p.inner.penalties[0].setZero();
  auto fit = pirls(p.inner, Vector::Zero(1));
  ASSERT_FALSE(fit.ok());
  EXPECT_EQ(fit.error().display(),
            "singular system: PIRLS factor: Cholesky failed: Computational failure in LAPACK subroutine: "
            "return_code = 4");
}

}  // namespace
}  // namespace vorsk
