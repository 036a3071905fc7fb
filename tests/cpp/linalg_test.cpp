#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "linalg/kernels.hpp"
#include "linalg/lapack.hpp"

#include "test_support.hpp"

namespace vorsk {
namespace {

using test_support::kNaN;

constexpr double kEps = std::numeric_limits<double>::epsilon();

Matrix rows(std::initializer_list<std::initializer_list<double>> values) {
  Matrix m(static_cast<Index>(values.size()), static_cast<Index>(values.begin()->size()));
  Index i = 0;
  for (const auto& row : values) {
    Index j = 0;
    for (double v : row) m(i, j++) = v;
    ++i;
  }
  return m;
}

Matrix random_matrix(Index r, Index c, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Matrix m(r, c);
  for (Index i = 0; i < r; ++i)
    for (Index j = 0; j < c; ++j) m(i, j) = u(rng);
  return m;
}

Vector random_vector(Index n, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Vector v(n);
  for (Index i = 0; i < n; ++i) v[i] = u(rng);
  return v;
}

// A well-conditioned SPD matrix BᵀB + I.
Matrix spd(Index p, std::mt19937_64& rng) {
  const Matrix b = random_matrix(p, p, rng);
  return b.transpose() * b + Matrix::Identity(p, p);
}

double condition_number(const Matrix& a) {
  const Eigh e = take(eigh(a));
  return e.values[e.values.size() - 1] / e.values[0];
}

std::string failure_text(const LinalgFailure& f) { return f.display(); }

// ---------------------------------------------------------------------------
// Failure texts

TEST(LinalgFailures, NonSquareInputIsReportedWithRowsThenColumns) {
  const Matrix a = Matrix::Zero(2, 3);
  const auto chol = cholesky_lower(a);
  ASSERT_TRUE(failed(chol));
  EXPECT_EQ(failure_text(failure(chol)), "Not square: rows(2) != cols(3)");
  const auto eig = eigh(a);
  ASSERT_TRUE(failed(eig));
  EXPECT_EQ(failure_text(failure(eig)), "Not square: rows(2) != cols(3)");
  const auto lu = solve_general(a, Vector::Zero(2));
  ASSERT_TRUE(failed(lu));
  EXPECT_EQ(failure_text(failure(lu)), "Not square: rows(2) != cols(3)");
}

TEST(LinalgFailures, IndefiniteMatrixReportsTheFailingMinor) {
  const auto chol = cholesky_lower(rows({{1, 2}, {2, 1}}));
  ASSERT_TRUE(failed(chol));
  EXPECT_EQ(failure(chol).kind, LinalgFailure::Kind::ComputationalFailure);
  EXPECT_EQ(failure_text(failure(chol)),
            "Computational failure in LAPACK subroutine: return_code = 2");
}

TEST(LinalgFailures, SingularGeneralSolveReportsZeroPivot) {
  const auto lu = solve_general(rows({{0, 0}, {0, 1}}), Vector::Ones(2));
  ASSERT_TRUE(failed(lu));
  EXPECT_EQ(failure(lu).kind, LinalgFailure::Kind::ComputationalFailure);
  EXPECT_EQ(failure(lu).a, 1);
  EXPECT_EQ(failure_text(failure(lu)),
            "Computational failure in LAPACK subroutine: return_code = 1");
}

TEST(LinalgFailures, RemainingKindsDisplayTheirFixedTexts) {
  EXPECT_EQ(failure_text({LinalgFailure::Kind::InvalidArgument, 4}),
            "Invalid value for LAPACK subroutine 4-th argument");
  EXPECT_EQ(failure_text({LinalgFailure::Kind::InvalidShape}), "Invalid shape");
  const auto lu = solve_general(Matrix::Identity(2, 2), Vector::Ones(3));
  ASSERT_TRUE(failed(lu));
  EXPECT_EQ(failure_text(failure(lu)),
            "The length of `rhs` must be compatible with the shape of the factored matrix.");
}

// ---------------------------------------------------------------------------
// Factorisations

TEST(Cholesky, OneByOne) {
  const Matrix l = take(cholesky_lower(rows({{4}})));
  ASSERT_EQ(l.rows(), 1);
  EXPECT_EQ(l(0, 0), 2.0);
}

TEST(Cholesky, ReconstructsInputWithExactZerosAboveDiagonal) {
  std::mt19937_64 rng(11);
  const Matrix a = spd(6, rng);
  const Matrix l = take(cholesky_lower(a));
  for (Index i = 0; i < 6; ++i)
    for (Index j = i + 1; j < 6; ++j) EXPECT_EQ(l(i, j), 0.0) << i << "," << j;
  EXPECT_LE((l * l.transpose() - a).cwiseAbs().maxCoeff(), 16 * kEps * a.cwiseAbs().maxCoeff());
}

TEST(Eigh, OneByOne) {
  const Eigh e = take(eigh(rows({{4}})));
  EXPECT_EQ(e.values[0], 4.0);
  EXPECT_EQ(std::abs(e.vectors(0, 0)), 1.0);
}

TEST(Eigh, AscendingEigenpairsOfSymmetricMatrix) {
  const Matrix a = rows({{2, -1, 0, 0}, {-1, 2, -1, 0}, {0, -1, 2, -1}, {0, 0, -1, 2}});
  const Eigh e = take(eigh(a));
  ASSERT_EQ(e.values.size(), 4);
  for (Index j = 0; j + 1 < 4; ++j) EXPECT_LT(e.values[j], e.values[j + 1]);
  // Eigenvalues of the path Laplacian: 2 − 2·cos(kπ/5).
  for (Index j = 0; j < 4; ++j) {
    const double expected = 2.0 - 2.0 * std::cos(static_cast<double>(j + 1) * std::numbers::pi / 5.0);
    EXPECT_NEAR(e.values[j], expected, 16 * kEps);
    const Vector v = e.vectors.col(j);
    EXPECT_NEAR(v.norm(), 1.0, 16 * kEps);
    EXPECT_LE((a * v - e.values[j] * v).cwiseAbs().maxCoeff(), 16 * kEps) << "pair " << j;
  }
}

// Solves with known answers: A = BᵀB + I, b = A·x. The error bound scales with the
// order and the condition number, in units of machine epsilon.
TEST(Solves, KnownAnswersAcrossSizes) {
  std::mt19937_64 rng(5);
  for (Index p : {1, 2, 5, 17, 60}) {
    const Matrix a = spd(p, rng);
    const Vector x = random_vector(p, rng);
    const Vector b = a * x;
    const double tol = 8.0 * static_cast<double>(p) * condition_number(a) * kEps * x.cwiseAbs().maxCoeff();

    const Matrix l = take(cholesky_lower(a));
    const Vector via_cholesky = solve_lower_transposed(l, solve_lower(l, b));
    EXPECT_LE((via_cholesky - x).cwiseAbs().maxCoeff(), tol) << "cholesky p=" << p;

    const Vector via_lu = take(solve_general(a, b));
    EXPECT_LE((via_lu - x).cwiseAbs().maxCoeff(), tol) << "lu p=" << p;

    const Matrix inv = inverse_from_factor(l);
    EXPECT_LE((inv * a - Matrix::Identity(p, p)).cwiseAbs().maxCoeff(),
              8.0 * static_cast<double>(p) * condition_number(a) * kEps)
        << "inverse p=" << p;
  }
}

TEST(Solves, GeneralSolveHandlesNonSymmetricSystemsNeedingPivots) {
  const Matrix a = rows({{0, 2, 1}, {1, 0, 0}, {3, 1, 4}});
  const Vector x = (Vector(3) << 1.0, -2.0, 0.5).finished();
  const Vector got = take(solve_general(a, a * x));
  EXPECT_LE((got - x).cwiseAbs().maxCoeff(), 32 * kEps);
}

TEST(Solves, TriangularSolvesReadOnlyTheLowerTriangle) {
  // Garbage above the diagonal must not leak into either substitution.
  Matrix l = rows({{2, 99, 99}, {1, 3, 99}, {-1, 0.5, 4}});
  const Vector b = (Vector(3) << 2.0, 7.0, 1.0).finished();
  Matrix clean = l;
  clean.triangularView<Eigen::StrictlyUpper>().setZero();
  const Vector y = solve_lower(l, b);
  EXPECT_LE((clean * y - b).cwiseAbs().maxCoeff(), 8 * kEps);
  const Vector x = solve_lower_transposed(l, b);
  EXPECT_LE((clean.transpose() * x - b).cwiseAbs().maxCoeff(), 8 * kEps);
}

// ---------------------------------------------------------------------------
// Penalised solve

TEST(PenalizedJitter, RelativeToLargestFiniteDiagonal) {
  struct Case {
    const char* name;
    Matrix a;
    double expected;
  };
  const std::vector<Case> cases = {
      {"all below one", rows({{0.5, 0.1}, {0.1, -0.25}}), 1e-12},
      {"large", rows({{1e6, 0}, {0, 3}}), 1e-6},
      {"large negative", rows({{2, 0}, {0, -1e6}}), 1e-6},
      {"NaN first", rows({{kNaN, 0}, {0, 3}}), 3e-12},
      {"NaN last", rows({{3, 0}, {0, kNaN}}), 3e-12},
      {"off-diagonal ignored", rows({{1, 1e9}, {1e9, 1}}), 1e-12},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(penalized_jitter(c.a), c.expected) << c.name;
}

TEST(PenalizedSolve, ReturnsUnjitteredFactorAndJitteredSolution) {
  const Vector b = (Vector(2) << 3.0, -5.0).finished();
  const PenalizedSolve s = solve_penalized(Matrix::Identity(2, 2), b).value();
  EXPECT_EQ(s.factor, Matrix::Identity(2, 2));
  for (Index i = 0; i < 2; ++i) {
    EXPECT_DOUBLE_EQ(s.x[i], b[i] * (1.0 / (1.0 + 1e-12)));
    EXPECT_NE(s.x[i], b[i]);
  }
}

TEST(PenalizedSolve, JitterScalesWithLargestDiagonal) {
  // s = 4e6, so every diagonal entry gains 4e-6, the small one included.
  const Matrix a = rows({{4e6, 0}, {0, 1}});
  const Vector b = (Vector(2) << 1.0, 1.0).finished();
  const PenalizedSolve s = solve_penalized(a, b).value();
  EXPECT_DOUBLE_EQ(s.factor(0, 0), 2000.0);
  EXPECT_DOUBLE_EQ(s.x[0], 1.0 / (4e6 + 4e-6));
  EXPECT_DOUBLE_EQ(s.x[1], 1.0 / (1.0 + 4e-6));
}

TEST(PenalizedSolve, SolvesTheJitteredSystemToRounding) {
  std::mt19937_64 rng(23);
  for (Index p : {3, 25}) {
    const Matrix a = spd(p, rng);
    const Vector b = random_vector(p, rng);
    const PenalizedSolve s = solve_penalized(a, b).value();
    Matrix jittered = a;
    jittered.diagonal().array() += penalized_jitter(a);
    const double scale = a.cwiseAbs().maxCoeff() * s.x.cwiseAbs().maxCoeff();
    EXPECT_LE((jittered * s.x - b).cwiseAbs().maxCoeff(), 8.0 * static_cast<double>(p) * kEps * scale);
    EXPECT_LE((s.factor * s.factor.transpose() - a).cwiseAbs().maxCoeff(),
              8.0 * static_cast<double>(p) * kEps * a.cwiseAbs().maxCoeff());
  }
}

TEST(PenalizedSolve, SingularPenaltyFailsEvenThoughJitteredMatrixWouldFactor) {
  // Second-difference penalty on four coefficients: rank 2, exact integer arithmetic
  // makes the third pivot exactly zero.
  const Matrix a = rows({{1, -2, 1, 0}, {-2, 5, -4, 1}, {1, -4, 5, -2}, {0, 1, -2, 1}});
  Matrix jittered = a;
  jittered.diagonal().array() += penalized_jitter(a);
  ASSERT_FALSE(failed(cholesky_lower(jittered)));

  const auto s = solve_penalized(a, Vector::Ones(4));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), VorskError::Kind::SingularSystem);
  EXPECT_EQ(s.error().message(), "Cholesky failed: Computational failure in LAPACK subroutine: return_code = 3");
}

TEST(PenalizedSolve, NonSquareIsASingularSystem) {
  const auto s = solve_penalized(Matrix::Zero(2, 3), Vector::Zero(2));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), VorskError::Kind::SingularSystem);
  EXPECT_EQ(s.error().message(), "Cholesky failed: Not square: rows(2) != cols(3)");
}

// ---------------------------------------------------------------------------
// Weighted cross-products

struct NaiveCross {
  Matrix xtwx;
  Vector xtwz;
  Matrix magnitude;  // Σ_i |x_ij·w_i·x_ik|, the scale of the rounding error
  Vector magnitude_z;
};

NaiveCross naive_cross(const Matrix& x, const Vector& w, const Vector& z) {
  const Index n = x.rows();
  const Index p = x.cols();
  NaiveCross r{Matrix::Zero(p, p), Vector::Zero(p), Matrix::Zero(p, p), Vector::Zero(p)};
  for (Index j = 0; j < p; ++j) {
    for (Index k = 0; k < p; ++k) {
      for (Index i = 0; i < n; ++i) {
        const double t = x(i, j) * w[i] * x(i, k);
        r.xtwx(j, k) += t;
        r.magnitude(j, k) += std::abs(t);
      }
    }
    for (Index i = 0; i < n; ++i) {
      const double t = x(i, j) * w[i] * z[i];
      r.xtwz[j] += t;
      r.magnitude_z[j] += std::abs(t);
    }
  }
  return r;
}

void expect_matches_naive(const MatrixView& x, const VectorView& w, const VectorView& z,
                          const std::string& label) {
  const NaiveCross ref = naive_cross(x, w, z);
  const CrossProducts got = weighted_crossproducts(x, w, z);
  const Index p = x.cols();
  ASSERT_EQ(got.xtwx.rows(), p) << label;
  ASSERT_EQ(got.xtwx.cols(), p) << label;
  ASSERT_EQ(got.xtwz.size(), p) << label;
  // Any summation order stays within n·eps of the sum of magnitudes.
  const double bound = static_cast<double>(x.rows() + 2) * kEps;
  for (Index j = 0; j < p; ++j) {
    for (Index k = 0; k < p; ++k) {
      ASSERT_LE(std::abs(got.xtwx(j, k) - ref.xtwx(j, k)), bound * ref.magnitude(j, k))
          << label << " xtwx(" << j << "," << k << ")";
      ASSERT_EQ(got.xtwx(j, k), got.xtwx(k, j)) << label << " symmetry";
    }
    ASSERT_LE(std::abs(got.xtwz[j] - ref.xtwz[j]), bound * ref.magnitude_z[j])
        << label << " xtwz(" << j << ")";
  }
  EXPECT_EQ(weighted_gram(x, w), got.xtwx) << label;
}

TEST(WeightedCrossproducts, MatchNaiveSumsOverShapes) {
  std::mt19937_64 rng(42);
  // Row counts avoid multiples of any plausible block size; weights in [-1, 1] include
  // negative ones.
  const std::vector<std::pair<Index, Index>> shapes = {
      {1, 1}, {7, 3}, {257, 1}, {257, 12}, {1031, 40}, {4099, 7}, {3, 101}, {130, 100}};
  for (const auto& [n, p] : shapes) {
    const Matrix x = random_matrix(n, p, rng);
    const Vector w = random_vector(n, rng);
    const Vector z = random_vector(n, rng);
    expect_matches_naive(x, w, z, "n=" + std::to_string(n) + " p=" + std::to_string(p));
  }
}

TEST(WeightedCrossproducts, EmptyShapesGiveZeros) {
  const Matrix x(0, 4);
  const Vector w(0);
  const CrossProducts got = weighted_crossproducts(x, w, w);
  EXPECT_EQ(got.xtwx, Matrix::Zero(4, 4));
  EXPECT_EQ(got.xtwz, Vector::Zero(4));
  EXPECT_EQ(weighted_gram(x, w), Matrix::Zero(4, 4));
  const CrossProducts no_columns = weighted_crossproducts(Matrix(5, 0), Vector::Ones(5), Vector::Ones(5));
  EXPECT_EQ(no_columns.xtwx.size(), 0);
  EXPECT_EQ(no_columns.xtwz.size(), 0);
}

TEST(WeightedCrossproducts, ZeroWeightsDropRowsExactly) {
  // Weight 0 on the rows of a huge value: their contribution is exactly zero.
  Matrix x = rows({{1, 2}, {1e200, -1e200}, {3, 4}});
  const Vector w = (Vector(3) << 1.0, 0.0, 2.0).finished();
  const Vector z = (Vector(3) << 1.0, 1e200, -1.0).finished();
  const CrossProducts got = weighted_crossproducts(x, w, z);
  EXPECT_EQ(got.xtwx, rows({{19, 26}, {26, 36}}));
  EXPECT_EQ(got.xtwz, (Vector(2) << -5.0, -6.0).finished());
}

TEST(WeightedCrossproducts, AcceptsStridedViews) {
  std::mt19937_64 rng(7);
  const Matrix big = random_matrix(1200, 30, rng);
  const Matrix w_holder = random_matrix(1200, 3, rng);
  const VectorView w = w_holder.col(1);
  const VectorView z = w_holder.col(2);
  using Strides = Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>;
  using StridedMap = Eigen::Map<const Matrix, 0, Strides>;
  // Rows read in place with a gap between them.
  const StridedMap every_other_row(big.data() + 3, 600, 20, Strides(2 * 30, 1));
  expect_matches_naive(every_other_row, w.head(600), z.head(600), "every other row");
  // Column strides other than 1 go through the block copy.
  const StridedMap every_other_col(big.data() + 1, 1200, 14, Strides(30, 2));
  expect_matches_naive(every_other_col, w, z, "every other column");
  const ColMajorMatrix col_major = big.leftCols(9);
  const StridedMap transposed_layout(col_major.data(), 1200, 9, Strides(1, 1200));
  expect_matches_naive(transposed_layout, w, z, "column-major storage");
}

// ---------------------------------------------------------------------------
// Total penalty

TEST(TotalPenalty, SumsExponentiatedWeightsInOrder) {
  const Matrix s1 = rows({{1, -1, 0}, {-1, 2, -1}, {0, -1, 1}});
  const Matrix s2 = rows({{0, 0, 0}, {0, 3, 0.5}, {0, 0.5, 7}});
  EXPECT_EQ(total_penalty({s1}, Vector::Zero(1)), s1);
  const Vector rho = (Vector(2) << std::log(2.0), 0.0).finished();
  const Matrix got = total_penalty({s1, s2}, rho);
  const Matrix expected = 2.0 * s1 + s2;
  for (Index i = 0; i < 3; ++i)
    for (Index j = 0; j < 3; ++j) EXPECT_DOUBLE_EQ(got(i, j), expected(i, j));
}

}  // namespace
}  // namespace vorsk
