// Whole standard-family fits: the REML optimum, the Gaussian solution at the chosen λ,
// and the summaries, on designs built the way the drivers build them.

#include <gtest/gtest.h>

#include <Eigen/Cholesky>
#include <Eigen/LU>
#include <cmath>
#include <random>

#include "design/design.hpp"
#include "outer/standard_fit.hpp"

namespace vorsk {
namespace {

struct Data {
  Matrix x;
  Vector y;
};

// y = sin(2πx₀) + (x₁ − ½)² + noise; no interaction between the columns.
Data additive_data(Index n, const std::string& family, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Data d{Matrix(n, 2), Vector(n)};
  for (Index i = 0; i < n; ++i) {
    d.x(i, 0) = u(rng);
    d.x(i, 1) = u(rng);
    const double eta = std::sin(2 * M_PI * d.x(i, 0)) + 2.0 * (d.x(i, 1) - 0.5) * (d.x(i, 1) - 0.5);
    if (family == "poisson")
      d.y[i] = static_cast<double>(std::poisson_distribution<int>(std::exp(0.5 + 0.5 * eta))(rng));
    else
      d.y[i] = eta + std::normal_distribution<double>(0.0, 0.25)(rng);
  }
  return d;
}

template <Family F>
ScoreProblem<F> problem_of(const MatrixView& x, const Vector& y, const std::vector<TermSpec>& terms) {
  auto design = additive_design(x, terms);
  EXPECT_TRUE(design.ok());
  auto problem = standard_detail::make_score_problem<F>(*design, y, std::nullopt);
  EXPECT_TRUE(problem.ok());
  return std::move(problem).value();
}

template <Family F>
FittedGam fit_of(const MatrixView& x, const Vector& y, const std::vector<TermSpec>& terms) {
  auto design = additive_design(x, terms);
  EXPECT_TRUE(design.ok());
  auto fit = fit_standard<F>(std::move(design).value(), static_cast<std::uint64_t>(x.rows()), y, std::nullopt);
  EXPECT_TRUE(fit.ok()) << fit.error().display();
  return std::move(fit).value();
}

template <Family F>
Vector fd_gradient(const ScoreProblem<F>& p, const Vector& rho) {
  Vector g(rho.size());
  for (Index j = 0; j < rho.size(); ++j) {
    Vector up = rho, down = rho;
    up[j] += 1e-4;
    down[j] -= 1e-4;
    g[j] = (envelope_score(p, up)->value - envelope_score(p, down)->value) / 2e-4;
  }
  return g;
}

TEST(StandardFit, StopsWhereTheRemlGradientVanishes) {
  const Data d = additive_data(400, "poisson", 3);
  const std::vector<TermSpec> terms{CrTermSpec{0, 10}, CrTermSpec{1, 8}};
  const FittedGam fit = fit_of<Poisson>(d.x, d.y, terms);
  ASSERT_TRUE(fit.converged);
  const auto problem = problem_of<Poisson>(d.x, d.y, terms);
  auto at = envelope_score(problem, fit.rho);
  ASSERT_TRUE(at.ok());
  EXPECT_NEAR(at->value, fit.reml_value, 1e-9 * std::abs(fit.reml_value));
  for (Index j = 0; j < fit.rho.size(); ++j) EXPECT_LT(std::abs(at->gradient[j]), 1e-3 * (1 + std::abs(at->value)));
  EXPECT_NEAR(fit.edf_per_term.sum(), fit.edf_total - 1.0, 1e-9);
}

TEST(StandardFit, GaussianCoefficientsSolveThePenalisedLeastSquaresProblem) {
  const Data d = additive_data(300, "gaussian", 5);
  const std::vector<TermSpec> terms{CrTermSpec{0, 10}};
  auto design = additive_design(d.x, terms);
  ASSERT_TRUE(design.ok());
  const Matrix x = design->model_matrix;
  const Matrix s = design->penalties[0];
  const FittedGam fit = fit_of<Gaussian>(d.x, d.y, terms);
  const Matrix a = x.transpose() * x + std::exp(fit.rho[0]) * s;
  const Vector beta = a.ldlt().solve(x.transpose() * d.y);
  EXPECT_TRUE(fit.beta.isApprox(beta, 1e-9));
  // vcov = σ̂²·A⁻¹ with σ̂² = (RSS + λβᵀSβ)/(n − M_p), M_p = 2.
  const Vector r = d.y - x * beta;
  const double sigma2 = (r.squaredNorm() + std::exp(fit.rho[0]) * beta.dot(s * beta)) / (300.0 - 2.0);
  EXPECT_NEAR(fit.scale, sigma2, 1e-9 * sigma2);
  EXPECT_TRUE(fit.vcov.isApprox(sigma2 * Matrix(a.inverse()), 1e-8));
  EXPECT_NEAR(fit.edf_total, (Matrix(a.inverse()) * x.transpose() * x).trace(), 1e-9);
}

TEST(StandardFit, TensorTermWithoutInteractionStopsAtAFiniteOptimum) {
  const Data d = additive_data(500, "gaussian", 9);
  const std::vector<TermSpec> terms{TensorTermSpec{0, 1, 5, 5}};
  const FittedGam fit = fit_of<Gaussian>(d.x, d.y, terms);
  ASSERT_EQ(fit.rho.size(), 2);
  EXPECT_TRUE(fit.converged);
  EXPECT_TRUE(fit.rho.allFinite());
  EXPECT_LT(fit.rho.cwiseAbs().maxCoeff(), 25.0);
  const auto problem = problem_of<Gaussian>(d.x, d.y, terms);
  EXPECT_EQ(problem.blocks.shared.size(), 1u);
  EXPECT_EQ(problem.null_space_dim, 25u - problem.blocks.shared[0].rank);
  const Vector g = envelope_score(problem, fit.rho)->gradient;
  const Vector fd = fd_gradient(problem, fit.rho);
  for (Index j = 0; j < 2; ++j) EXPECT_NEAR(g[j], fd[j], 1e-5 * (1 + std::abs(fd[j])));
  // The two penalties share 24 rows: each counts half of them.
  EXPECT_NEAR(fit.edf_per_term.sum(), fit.edf_total - 1.0, 1e-9);
  EXPECT_LT(fit.edf_per_term.maxCoeff(), 24.0);
}

TEST(StandardFit, RowAndResponseChecksComeFirst) {
  const Data d = additive_data(50, "gaussian", 1);
  auto design = additive_design(d.x, {CrTermSpec{0, 5}});
  ASSERT_TRUE(design.ok());
  Vector y = d.y.head(49);
  auto fit = fit_standard<Poisson>(*design, 50, y, std::nullopt);
  ASSERT_FALSE(fit.ok());
  EXPECT_EQ(fit.error().message(), "x and y must have the same number of rows; got x.nrows()=50, y.len()=49");
  Vector neg = Vector::Ones(50);
  neg[3] = -1.0;
  fit = fit_standard<Poisson>(*design, 50, neg, std::nullopt);
  ASSERT_FALSE(fit.ok());
  EXPECT_EQ(fit.error().message(), "Poisson requires y ≥ 0; got y=-1 at row 3");
}

}  // namespace
}  // namespace vorsk
