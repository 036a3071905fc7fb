#include "basis/cr.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "linalg/lapack.hpp"

#include "test_support.hpp"

namespace vorsk {
namespace {

using test_support::kInf;
using test_support::kNaN;
using test_support::vec;

Vector range(int n) {
  Vector x(n);
  for (int i = 0; i < n; ++i) x[i] = i;
  return x;
}

struct KnotCase {
  std::string name;
  Vector x;
  std::uint64_t k;
  Vector expected;
};

TEST(PlaceKnots, FollowsDistinctValues) {
  const std::vector<KnotCase> cases = {
      {"quantiles of 0..99", range(100), 5, vec({0, 99.0 / 4, 99.0 / 2, 3 * 99.0 / 4, 99})},
      // Quantiles are taken over distinct values, not over the raw (repeated) data.
      {"repeats do not weigh", vec({0, 0, 0, 0, 0, 0, 1, 2, 3, 4}), 3, vec({0, 2, 4})},
      {"unsorted, m == k", vec({3, 1, 2, 1, 3}), 3, vec({1, 2, 3})},
      {"4 distinct, k = 10: even spacing", vec({6, 0, 1, 2, 6, 1}), 10,
       vec({0, 6.0 / 9, 12.0 / 9, 18.0 / 9, 24.0 / 9, 30.0 / 9, 36.0 / 9, 42.0 / 9, 48.0 / 9, 6})},
      {"1e-13 apart is one value", vec({1.0, 1.0 + 1e-13, 2.0}), 3, vec({1.0, 1.5, 2.0})},
      {"1e-11 apart is two values", vec({1.0, 1.0 + 1e-11, 2.0}), 3, vec({1.0, 1.0 + 1e-11, 2.0})},
      // Each step is below the tolerance, but 1.2e-12 is far enough from the last kept 0.
      {"tolerance against last kept value", vec({0, 0.6e-12, 1.2e-12, 1.8e-12, 1}), 3,
       vec({0, 1.2e-12, 1})},
      {"empty column", Vector(0), 4, vec({0, 1.0 / 3, 2.0 / 3, 1})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto basis = place_knots(c.x, c.k);
    ASSERT_TRUE(basis.ok()) << basis.error().display();
    ASSERT_EQ(basis->knots().size(), c.expected.size());
    for (Index j = 0; j < c.expected.size(); ++j) {
      EXPECT_DOUBLE_EQ(basis->knots()[j], c.expected[j]) << "knot " << j;
    }
  }
}

TEST(PlaceKnots, RejectsBadRequests) {
  struct Case {
    Vector x;
    std::uint64_t k;
    std::string message;
  };
  const std::vector<Case> cases = {
      {range(10), 0, "CR spline needs k ≥ 3 (got 0)"},
      {range(10), 1, "CR spline needs k ≥ 3 (got 1)"},
      {range(10), 2, "CR spline needs k ≥ 3 (got 2)"},
      {Vector(0), 1, "CR spline needs k ≥ 3 (got 1)"},
      {range(10), 10001, "CR spline needs k ≤ 10000 (got 10001)"},
      {range(10), 1000000000000ULL, "CR spline needs k ≤ 10000 (got 1000000000000)"},
      {vec({2.5, 2.5, 2.5, 2.5}), 3, "CR spline knots must be strictly increasing"},
      {vec({0, 1, kNaN, 2, 3}), 3, "CR spline knots must be strictly increasing"},
      {vec({kNaN, kNaN}), 3, "CR spline knots must be strictly increasing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message + " k=" + std::to_string(c.k));
    auto basis = place_knots(c.x, c.k);
    ASSERT_FALSE(basis.ok());
    EXPECT_EQ(basis.error().kind(), VorskError::Kind::InvalidParameter);
    EXPECT_EQ(basis.error().message(), c.message);
  }
  EXPECT_TRUE(place_knots(range(10), kMaxSplineDimension).ok());
}

TEST(CrBasisCreate, ValidatesKnots) {
  const std::vector<std::pair<Vector, std::string>> cases = {
      {vec({}), "CR spline needs k ≥ 3 (got 0)"},
      {vec({0, 1}), "CR spline needs k ≥ 3 (got 2)"},
      // The length test comes first.
      {vec({1, 0}), "CR spline needs k ≥ 3 (got 2)"},
      {vec({0, 1, 1}), "CR spline knots must be strictly increasing"},
      {vec({0, 2, 1}), "CR spline knots must be strictly increasing"},
      {vec({0, kNaN, 1}), "CR spline knots must be strictly increasing"},
      // Ordered, but the end intervals would be infinite.
      {vec({0, 1, kInf}), "CR spline knots must be finite"},
      {vec({-kInf, 0, 1}), "CR spline knots must be finite"},
  };
  for (const auto& [knots, message] : cases) {
    auto basis = CrBasis::create(knots);
    ASSERT_FALSE(basis.ok()) << message;
    EXPECT_EQ(basis.error().kind(), VorskError::Kind::InvalidParameter);
    EXPECT_EQ(basis.error().message(), message);
  }
  EXPECT_TRUE(CrBasis::create(vec({-1, 0, 1e-9})).ok());
}

// Knot vectors covering the smallest basis, irregular spacing and a longer uniform one.
std::vector<Vector> knot_fixtures() {
  return {vec({0, 1, 3}), vec({-1, 0.5, 1, 2.5, 4, 7}), range(10) * 0.3};
}

CrBasis make_basis(const Vector& knots) {
  auto basis = CrBasis::create(knots);
  EXPECT_TRUE(basis.ok());
  return std::move(basis).value();
}

TEST(CrBasisMatrix, InterpolatesAtKnots) {
  for (const Vector& t : knot_fixtures()) {
    const Index k = t.size();
    const Matrix b = make_basis(t).basis_matrix(t);
    for (Index i = 0; i < k - 1; ++i) {
      for (Index j = 0; j < k; ++j) EXPECT_EQ(b(i, j), i == j ? 1.0 : 0.0) << i << "," << j;
    }
    // The last knot is reached from the right end of the last interval.
    for (Index j = 0; j < k; ++j) EXPECT_NEAR(b(k - 1, j), j == k - 1 ? 1.0 : 0.0, 1e-12);
  }
}

TEST(CrBasisMatrix, ReproducesLinearFunctionsEverywhere) {
  for (const Vector& t : knot_fixtures()) {
    const Index k = t.size();
    const double span = t[k - 1] - t[0];
    Vector x = Vector::LinSpaced(41, t[0] - span, t[k - 1] + span);
    const Matrix b = make_basis(t).basis_matrix(x);
    for (Index r = 0; r < x.size(); ++r) {
      EXPECT_NEAR(b.row(r).sum(), 1.0, 1e-12) << "x = " << x[r];
      EXPECT_NEAR(b.row(r).dot(t), x[r], 1e-11 * (1 + std::abs(x[r]))) << "x = " << x[r];
    }
  }
}

TEST(CrBasisMatrix, ExtendsLinearlyWithTheEndSlope) {
  const Vector t = vec({-1, 0.5, 1, 2.5, 4, 7});
  const CrBasis basis = make_basis(t);
  const double eps = 1e-6;
  // At each end: the knot row, a row just inside (for the end slope), and two rows
  // outside at distances 1 and 3.
  for (const auto& [end, inward] : {std::pair{t[0], 1.0}, std::pair{t[5], -1.0}}) {
    const Matrix b =
        basis.basis_matrix(vec({end, end + inward * eps, end - inward, end - 3 * inward}));
    const Vector at = b.row(0).transpose();
    const Vector outward_slope = (at - b.row(1).transpose()) / eps;
    const Vector one_out = b.row(2).transpose() - at;
    const Vector three_out = b.row(3).transpose() - at;
    for (Index j = 0; j < t.size(); ++j) {
      EXPECT_NEAR(three_out[j], 3 * one_out[j], 1e-12) << "not linear, j = " << j;
      EXPECT_NEAR(one_out[j], outward_slope[j], 1e-5) << "slope mismatch, j = " << j;
    }
  }
}

TEST(CrBasisMatrix, ReadsStridedViewsAndPropagatesNaN) {
  const Vector t = vec({0, 1, 2, 4});
  const CrBasis basis = make_basis(t);
  Matrix x(4, 3);
  x << 9, -0.5, 9, 9, 1.5, 9, 9, kNaN, 9, 9, 5, 9;
  const Matrix b = basis.basis_matrix(x.col(1));
  const Matrix expected = basis.basis_matrix(Vector(x.col(1)));
  ASSERT_EQ(b.rows(), 4);
  for (Index r : {0, 1, 3}) EXPECT_EQ(b.row(r), expected.row(r));
  for (Index j = 0; j < 4; ++j) EXPECT_TRUE(std::isnan(b(2, j)));
  EXPECT_EQ(basis.basis_matrix(Vector(0)).rows(), 0);
}

// The penalty is the integrated squared second derivative of f = Σ β_j B_j. On each
// interval f is cubic, so a central second difference gives f'' exactly (to rounding);
// f'' is linear there, so two samples give its integral in closed form. This checks the
// basis coefficients, the natural end conditions and the penalty against each other.
TEST(CrPenalty, EqualsIntegratedSquaredSecondDerivative) {
  std::mt19937 gen(7);
  std::normal_distribution<double> normal;
  for (const Vector& t : knot_fixtures()) {
    const Index k = t.size();
    const CrBasis basis = make_basis(t);
    const Matrix s = basis.penalties().at(0);
    for (int trial = 0; trial < 3; ++trial) {
      Vector beta(k);
      for (Index j = 0; j < k; ++j) beta[j] = normal(gen);
      const auto f = [&](double x) { return (basis.basis_matrix(vec({x})) * beta)[0]; };
      const auto f2 = [&](double x, double e) {
        return (f(x + e) - 2 * f(x) + f(x - e)) / (e * e);
      };
      double integral = 0.0;
      double previous_end = 0.0;  // f'' at t_0 is zero for a natural spline
      for (Index i = 0; i + 1 < k; ++i) {
        const double h = t[i + 1] - t[i];
        const double g1 = f2(t[i] + h / 4, h / 8);
        const double g2 = f2(t[i] + 3 * h / 4, h / 8);
        const double g_start = 1.5 * g1 - 0.5 * g2;
        const double g_end = 1.5 * g2 - 0.5 * g1;
        EXPECT_NEAR(g_start, previous_end, 1e-6 * (1 + std::abs(g_start)))
            << "f'' jumps at knot " << i;
        previous_end = g_end;
        integral += h / 3 * (g_start * g_start + g_start * g_end + g_end * g_end);
      }
      EXPECT_NEAR(previous_end, 0.0, 1e-6) << "f'' at the last knot";
      const double quadratic = beta.dot(s * beta);
      EXPECT_NEAR(quadratic, integral, 1e-6 * integral);
    }
  }
}

TEST(CrPenalty, NullSpaceIsTheLinearFunctions) {
  for (const Vector& t : knot_fixtures()) {
    const Index k = t.size();
    const std::vector<Matrix> penalties = make_basis(t).penalties();
    ASSERT_EQ(penalties.size(), 1u);
    const Matrix& s = penalties[0];
    ASSERT_EQ(s.rows(), k);
    ASSERT_EQ(s.cols(), k);
    const double size = s.cwiseAbs().maxCoeff();
    EXPECT_LT((s - s.transpose()).cwiseAbs().maxCoeff(), 1e-12 * size);
    EXPECT_LT((s * Vector::Ones(k)).cwiseAbs().maxCoeff(), 1e-12 * size);
    EXPECT_LT((s * t).cwiseAbs().maxCoeff(), 1e-12 * size * t.cwiseAbs().maxCoeff());

    auto decomposition = eigh(s);
    ASSERT_FALSE(failed(decomposition));
    const Vector values = take(std::move(decomposition)).values;
    int positive = 0;
    for (const double v : values) {
      if (v > 1e-10 * values[k - 1]) ++positive;
      EXPECT_GT(v, -1e-12 * values[k - 1]) << "not positive semi-definite";
    }
    EXPECT_EQ(positive, k - 2);
  }
}

}  // namespace
}  // namespace vorsk
