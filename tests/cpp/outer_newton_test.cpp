#include "outer/outer_newton.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_support.hpp"

namespace vorsk {
namespace {

using test_support::kNaN;

TEST(MakePositiveDefinite, FloorsEigenvaluesAndSymmetrises) {
  Matrix one(1, 1);
  one << -3.0;
  EXPECT_EQ(make_positive_definite(one)(0, 0), 1e-8);
  one << kNaN;
  EXPECT_TRUE(std::isnan(make_positive_definite(one)(0, 0)));
  EXPECT_EQ(make_positive_definite(Matrix(0, 0)).size(), 0);

  // Eigenvalues 3 and -1 of the symmetrised matrix; the -1 is floored.
  Matrix h(2, 2);
  h << 1.0, 1.0, 3.0, 1.0;  // off-diagonal mean 2
  const Matrix pd = make_positive_definite(h);
  Matrix expected(2, 2);
  expected << 3.0 * 0.5 + 1e-8 * 0.5, 3.0 * 0.5 - 1e-8 * 0.5, 3.0 * 0.5 - 1e-8 * 0.5, 3.0 * 0.5 + 1e-8 * 0.5;
  EXPECT_TRUE(pd.isApprox(expected, 1e-12));
  EXPECT_EQ(pd(0, 1), pd(1, 0));
}

// f(x) = ½·(x − a)ᵀ·Q·(x − a) + c with exact gradient and Hessian.
Evaluator quadratic(const Vector& a, const Matrix& q, double c, std::vector<Vector>* trials = nullptr) {
  return [=](const Vector& x) -> Result<ScoreWithHessian> {
    if (trials) trials->push_back(x);
    const Vector d = x - a;
    return ScoreWithHessian{0.5 * d.dot(q * d) + c, q * d, q};
  };
}

TEST(OuterNewton, MinimisesAQuadraticInOneNewtonStep) {
  Vector a(2);
  a << 1.0, -2.0;
  Matrix q(2, 2);
  q << 2.0, 0.5, 0.5, 1.0;
  auto result = outer_newton(quadratic(a, q, 3.0), Vector::Zero(2));
  ASSERT_TRUE(result.ok());
  EXPECT_TRUE(result->converged);
  EXPECT_EQ(result->iterations, 1u);
  EXPECT_TRUE(result->x.isApprox(a, 1e-12));
  EXPECT_NEAR(result->value, 3.0, 1e-12);
}

TEST(OuterNewton, StartAtTheOptimumTakesNoStep) {
  Vector a = Vector::Constant(1, 0.25);
  Matrix q = Matrix::Identity(1, 1);
  auto result = outer_newton(quadratic(a, q, 0.0), a);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->iterations, 0u);
  EXPECT_TRUE(result->converged);
}

TEST(OuterNewton, StepIsCappedAtFive) {
  Vector a = Vector::Constant(1, 12.0);
  Matrix q = Matrix::Identity(1, 1);
  std::vector<Vector> trials;
  auto result = outer_newton(quadratic(a, q, 0.0, &trials), Vector::Zero(1));
  ASSERT_TRUE(result.ok());
  ASSERT_GE(trials.size(), 2u);
  EXPECT_DOUBLE_EQ(trials[1][0], 5.0);
  EXPECT_TRUE(result->converged);
  EXPECT_NEAR(result->x[0], 12.0, 1e-10);
}

TEST(OuterNewton, FailedLineSearchKeepsThePointAndCountsTheIteration) {
  // f never decreases although the gradient says it should.
  int calls = 0;
  Evaluator flat = [&calls](const Vector&) -> Result<ScoreWithHessian> {
    ++calls;
    return ScoreWithHessian{1.0, Vector::Constant(1, 1e-3), Matrix::Identity(1, 1)};
  };
  auto result = outer_newton(flat, Vector::Zero(1));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->iterations, 1u);
  EXPECT_EQ(result->x[0], 0.0);
  EXPECT_EQ(calls, 1 + 10);  // factors 1 … 1/512
}

TEST(OuterNewton, LooseGradientTestAfterAFailedSearch) {
  for (const auto& [g, converged] : {std::pair{1.9e-3, true}, std::pair{2.1e-3, false}}) {
    Evaluator flat = [g = g](const Vector&) -> Result<ScoreWithHessian> {
      return ScoreWithHessian{1.0, Vector::Constant(1, g), Matrix::Identity(1, 1)};
    };
    auto result = outer_newton(flat, Vector::Zero(1));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->converged, converged) << g;
  }
}

TEST(OuterNewton, ErrorsAtTheStartAreReturnedAndAtTrialsRejected) {
  Evaluator failing = [](const Vector&) -> Result<ScoreWithHessian> {
    return VorskError::singular_system("PIRLS factor: x");
  };
  auto result = outer_newton(failing, Vector::Zero(1));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().display(), "singular system: PIRLS factor: x");

  // A trial beyond x = 1 fails; the search halves back into the valid region.
  Vector a = Vector::Constant(1, 3.0);
  Evaluator q = quadratic(a, Matrix::Identity(1, 1), 0.0);
  Evaluator bounded = [q](const Vector& x) -> Result<ScoreWithHessian> {
    if (x[0] > 1.0) return VorskError::singular_system("too far");
    return q(x);
  };
  auto walked = outer_newton(bounded, Vector::Zero(1));
  ASSERT_TRUE(walked.ok());
  EXPECT_LE(walked->x[0], 1.0);
  EXPECT_GT(walked->x[0], 0.5);
}

TEST(OuterNewton, FiftyAcceptedStepsIsNotConverged) {
  // f(x) = −x decreases forever; the floored curvature makes every step the capped 5.
  Evaluator linear = [](const Vector& x) -> Result<ScoreWithHessian> {
    return ScoreWithHessian{-x[0], Vector::Constant(1, -1.0), Matrix::Zero(1, 1)};
  };
  auto result = outer_newton(linear, Vector::Zero(1));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), VorskError::Kind::NotConverged);
  EXPECT_EQ(result.error().iters(), 50u);
  EXPECT_EQ(result.error().grad_norm(), 1.0);
  EXPECT_EQ(result.error().display(), "solver did not converge after 50 iterations (last grad norm = 1.000e0)");
}

TEST(OuterNewton, InfinityNormIgnoresNaN) {
  Vector v(3);
  v << kNaN, -2.0, 1.0;
  EXPECT_EQ(inf_norm(v), 2.0);
  EXPECT_EQ(inf_norm(Vector::Constant(2, kNaN)), 0.0);
  EXPECT_EQ(inf_norm(Vector(0)), 0.0);
}

}  // namespace
}  // namespace vorsk
