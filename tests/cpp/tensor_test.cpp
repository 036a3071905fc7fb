#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "basis/cr.hpp"
#include "design/design.hpp"
#include "design/transform.hpp"
#include "linalg/lapack.hpp"

#include "test_support.hpp"

namespace vorsk {
namespace {

using test_support::kNaN;
using test_support::mat;

// Margins in columns 0 and 2; column 1 is NaN so that reading it shows.
Matrix training_x() {
  Matrix x(60, 3);
  for (Index i = 0; i < 60; ++i) {
    const auto t = static_cast<double>(i);
    x(i, 0) = std::sin(0.41 * t) * 2.0 + 0.02 * t;
    x(i, 1) = kNaN;
    x(i, 2) = std::cos(0.23 * t) + 0.5 * std::sin(1.7 * t);
  }
  return x;
}

TermBlock<TensorPredictor> tensor_of(const MatrixView& x, std::uint64_t k_a, std::uint64_t k_b) {
  auto term = build_tensor_term(x, 0, 2, k_a, k_b);
  EXPECT_TRUE(term.ok()) << term.error().display();
  return std::move(term).value();
}

double max_abs(const Matrix& m) { return m.cwiseAbs().maxCoeff(); }

double largest_eigenvalue(const Matrix& s) {
  auto e = eigh(s);
  EXPECT_FALSE(failed(e));
  return std::get<0>(e).values.maxCoeff();
}

TEST(RowwiseKron, MarginBVariesFastest) {
  const Matrix a = mat(2, 2, {1, 2, 3, 4});
  const Matrix b = mat(2, 3, {5, 6, 7, 8, 9, 10});
  const Matrix expected = mat(2, 6, {5, 6, 7, 10, 12, 14, 24, 27, 30, 32, 36, 40});
  EXPECT_EQ(rowwise_kron(a, b), expected);

  // Strided views read the same entries as owned matrices.
  Matrix wide(2, 5);
  wide << 0, 1, 0, 2, 0, 0, 3, 0, 4, 0;
  const Eigen::Map<const Matrix, 0, Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>> strided(
      wide.data() + 1, 2, 2, Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>(5, 2));
  EXPECT_EQ(rowwise_kron(strided, b), expected);

  EXPECT_EQ(rowwise_kron(Matrix(3, 0), Matrix::Ones(3, 2)).cols(), 0);
}

TEST(RescalePenalty, DividesByLargestPositiveEigenvalue) {
  const Matrix diag = Eigen::Vector3d(2, 0, 4).asDiagonal();
  auto halved = rescale_penalty(diag);
  ASSERT_TRUE(halved.ok());
  EXPECT_EQ(*halved, Matrix(Eigen::Vector3d(0.5, 0, 1).asDiagonal()));

  // Nothing positive to divide by: returned as given.
  const std::vector<Matrix> unchanged = {Matrix::Zero(3, 3),
                                         Matrix(Eigen::Vector2d(-1, -2).asDiagonal())};
  for (const Matrix& s : unchanged) {
    auto same = rescale_penalty(s);
    ASSERT_TRUE(same.ok());
    EXPECT_EQ(*same, s);
  }

  auto basis = CrBasis::create(Eigen::Vector4d(0, 0.5, 2, 2.25));
  ASSERT_TRUE(basis.ok());
  auto cr = rescale_penalty(basis->penalties().front());
  ASSERT_TRUE(cr.ok());
  EXPECT_NEAR(largest_eigenvalue(*cr), 1.0, 1e-14);

  auto not_square = rescale_penalty(Matrix::Zero(2, 3));
  ASSERT_FALSE(not_square.ok());
  EXPECT_EQ(not_square.error().kind(), VorskError::Kind::Linalg);
  EXPECT_EQ(not_square.error().message(),
            "eigh failed in tensor penalty rescale: Not square: rows(2) != cols(3)");
}

// k_a ≠ k_b, so any swap of the margins or of the column order changes the result.
TEST(TensorTerm, IsCentredProductOfMarginsWithExpandedPenalties) {
  const Matrix x = training_x();
  const TermBlock<TensorPredictor> term = tensor_of(x, 4, 3);
  const TensorPredictor& p = term.predictor;

  auto margin_a = place_knots(x.col(0), 4);
  auto margin_b = place_knots(x.col(2), 3);
  ASSERT_TRUE(margin_a.ok() && margin_b.ok());
  EXPECT_EQ(p.col_a, 0u);
  EXPECT_EQ(p.col_b, 2u);
  EXPECT_EQ(p.bs_a, MarginBasis::Cr);
  EXPECT_EQ(p.bs_b, MarginBasis::Cr);
  EXPECT_EQ(p.knots_a, margin_a->knots());
  EXPECT_EQ(p.knots_b, margin_b->knots());
  EXPECT_EQ(p.xp_a, Matrix::Identity(4, 4));
  EXPECT_EQ(p.xp_b, Matrix::Identity(3, 3));
  ASSERT_EQ(p.centring.rows(), 12);
  ASSERT_EQ(p.centring.cols(), 11);
  EXPECT_LT(max_abs(p.centring.transpose() * p.centring - Matrix::Identity(11, 11)), 1e-14);

  // Column a·3 + b of the raw product is B_a(·, a)·B_b(·, b).
  const Matrix ba = margin_a->basis_matrix(x.col(0));
  const Matrix bb = margin_b->basis_matrix(x.col(2));
  Matrix t(60, 12);
  for (Index i = 0; i < 60; ++i) {
    for (Index a = 0; a < 4; ++a) {
      for (Index b = 0; b < 3; ++b) t(i, a * 3 + b) = ba(i, a) * bb(i, b);
    }
  }
  EXPECT_LT(max_abs(p.centring - centring_matrix(constraint_vector(t))), 1e-15);
  ASSERT_EQ(term.block.rows(), 60);
  ASSERT_EQ(term.block.cols(), 11);
  EXPECT_LT(max_abs(term.block - t * p.centring), 1e-14);
  for (Index j = 0; j < 11; ++j) {
    EXPECT_NEAR(term.block.col(j).sum(), 0.0, 1e-13 * term.block.col(j).cwiseAbs().sum()) << j;
  }

  // Margin penalties without any infinity-norm scaling: the raw CR penalty over its
  // largest eigenvalue, expanded along the other margin.
  const Matrix sa = margin_a->penalties().front();
  const Matrix sb = margin_b->penalties().front();
  const double ha = largest_eigenvalue(sa);
  const double hb = largest_eigenvalue(sb);
  Matrix pa = Matrix::Zero(12, 12);
  Matrix pb = Matrix::Zero(12, 12);
  for (Index r = 0; r < 12; ++r) {
    for (Index c = 0; c < 12; ++c) {
      if (r % 3 == c % 3) pa(r, c) = sa(r / 3, c / 3) / ha;
      if (r / 3 == c / 3) pb(r, c) = sb(r % 3, c % 3) / hb;
    }
  }
  ASSERT_EQ(term.penalties.size(), 2u);
  const Matrix expected_a = p.centring.transpose() * pa * p.centring;
  const Matrix expected_b = p.centring.transpose() * pb * p.centring;
  ASSERT_EQ(term.penalties[0].rows(), 11);
  ASSERT_EQ(term.penalties[1].rows(), 11);
  EXPECT_LT(max_abs(term.penalties[0] - expected_a), 1e-12);
  EXPECT_LT(max_abs(term.penalties[1] - expected_b), 1e-12);
}

TEST(TensorTerm, RefusesBadRequestsInOrder) {
  const Matrix x = training_x();
  Matrix constant = x;
  constant.col(2).setConstant(1.0);
  struct Case {
    const Matrix* x;
    std::uint64_t col_a, col_b, k_a, k_b;
    std::string message;
  };
  const std::vector<Case> cases = {
      {&x, 0, 0, 5, 5, "Tensor term must have distinct margin columns (got col_a == col_b == 0)"},
      {&x, 0, 0, 2, 2, "Tensor term must have distinct margin columns (got col_a == col_b == 0)"},
      {&x, 0, 2, 2, 20000, "CR spline needs k ≥ 3 (got 2)"},
      {&x, 0, 2, 5, 2, "CR spline needs k ≥ 3 (got 2)"},
      {&constant, 0, 2, 5, 5, "CR spline knots must be strictly increasing"},
      {&x, 0, 5, 5, 5, "term reads column 5 but x has only 3 columns"},
      // The size guard comes after both margins' own checks.
      {&x, 0, 2, 10000, 2, "CR spline needs k ≥ 3 (got 2)"},
      {&x, 0, 2, 73, 137, "Tensor term needs k_a·k_b ≤ 10000 (got k_a=73, k_b=137)"},
      {&x, 2, 0, 10000, 10000, "Tensor term needs k_a·k_b ≤ 10000 (got k_a=10000, k_b=10000)"},
  };
  for (const Case& c : cases) {
    auto term = build_tensor_term(*c.x, c.col_a, c.col_b, c.k_a, c.k_b);
    ASSERT_FALSE(term.ok()) << c.message;
    EXPECT_EQ(term.error().kind(), VorskError::Kind::InvalidParameter) << c.message;
    EXPECT_EQ(term.error().message(), c.message);
  }
}

TEST(TensorPredictor, RebuildsTheBlockAtAnyInputs) {
  const Matrix x = training_x();
  const TermBlock<TensorPredictor> term = tensor_of(x, 5, 4);
  const Predictor predictor{term.predictor};

  auto training = predictor.lpmatrix(x);
  ASSERT_TRUE(training.ok()) << training.error().display();
  const Matrix expected = with_intercept(term.block);
  ASSERT_EQ(training->rows(), expected.rows());
  ASSERT_EQ(training->cols(), 20);
  EXPECT_LT(max_abs(*training - expected), 1e-13);

  // New inputs, some beyond the knots, with extra columns that must not matter.
  Matrix x_new = mat(4, 4, {-5, 7, 0.3, kNaN, 0.1, 7, -4, kNaN, 9, 7, 0.0, kNaN, 1, 7, 3, kNaN});
  auto rebuilt = predictor.lpmatrix(x_new);
  ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().display();
  auto margin_a = CrBasis::create(term.predictor.knots_a);
  auto margin_b = CrBasis::create(term.predictor.knots_b);
  ASSERT_TRUE(margin_a.ok() && margin_b.ok());
  const Matrix t = rowwise_kron(margin_a->basis_matrix(x_new.col(0)),
                                margin_b->basis_matrix(x_new.col(2)));
  EXPECT_LT(max_abs(*rebuilt - with_intercept(t * term.predictor.centring)), 1e-13);
}

TEST(TensorPredictor, ChecksColumnsBeforeStoredFields) {
  TensorPredictor empty;
  empty.col_a = 0;
  empty.col_b = 2;
  auto m = Predictor{empty}.lpmatrix(training_x().leftCols(2));
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().kind(), VorskError::Kind::InvalidParameter);
  EXPECT_EQ(m.error().message(),
            "TensorPredictor: term reads columns (0, 2) but x has only 2 columns");
}

// A saved frame edited by hand must end in an error, never in an out-of-range read.
TEST(TensorPredictor, RefusesHandEditedFields) {
  const Matrix x = training_x();
  const TensorPredictor valid = tensor_of(x, 4, 3).predictor;
  struct Case {
    std::function<void(TensorPredictor&)> edit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](TensorPredictor& p) { p.knots_a[2] = p.knots_a[1]; }, "invalid stored knots_a"},
      {[](TensorPredictor& p) { p.knots_a = Vector(); }, "invalid stored knots_a"},
      {[](TensorPredictor& p) { p.knots_b = Eigen::Vector2d(0, 1); }, "invalid stored knots_b"},
      {[](TensorPredictor& p) { p.knots_b[0] = kNaN; }, "invalid stored knots_b"},
      {[](TensorPredictor& p) { p.xp_a = Matrix::Identity(3, 3); },
       "invalid stored xp_a: 3 rows for 4 knots"},
      {[](TensorPredictor& p) { p.xp_b = Matrix::Identity(4, 4); },
       "invalid stored xp_b: 4 rows for 3 knots"},
      {[](TensorPredictor& p) { p.xp_a = Matrix::Zero(4, 10000); },
       "invalid stored xp_a, xp_b: 10000·3 tensor columns exceed 10000"},
      {[](TensorPredictor& p) { p.xp_a = Matrix::Identity(4, 5); },
       "invalid stored centring: 12 rows for 15 tensor columns"},
      {[](TensorPredictor& p) { p.centring = Matrix::Zero(11, 11); },
       "invalid stored centring: 11 rows for 12 tensor columns"},
  };
  for (const Case& c : cases) {
    TensorPredictor edited = valid;
    c.edit(edited);
    auto m = Predictor{edited}.lpmatrix(x);
    ASSERT_FALSE(m.ok()) << c.message;
    EXPECT_EQ(m.error().kind(), VorskError::Kind::Internal) << c.message;
    EXPECT_EQ(m.error().message(), c.message);
  }

  // Right factors other than the identity are applied as stored.
  TensorPredictor reduced = valid;
  reduced.xp_a = Matrix::Identity(4, 2);
  reduced.centring = Matrix::Identity(6, 6).leftCols(5);
  auto m = Predictor{reduced}.lpmatrix(x);
  ASSERT_TRUE(m.ok()) << m.error().display();
  auto margin_a = CrBasis::create(valid.knots_a);
  auto margin_b = CrBasis::create(valid.knots_b);
  ASSERT_TRUE(margin_a.ok() && margin_b.ok());
  const Matrix ba = margin_a->basis_matrix(x.col(0)).leftCols(2);
  const Matrix t = rowwise_kron(ba, margin_b->basis_matrix(x.col(2)));
  EXPECT_EQ(*m, with_intercept(t.leftCols(5)));
}

}  // namespace
}  // namespace vorsk
