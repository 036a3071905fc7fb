#include "design/design.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "linalg/lapack.hpp"

#include "test_support.hpp"

namespace vorsk {
namespace {

using test_support::kNaN;
using test_support::mat;

// 100 distinct, unevenly spread values in column 0; the other columns are junk that
// no single-smooth design may read.
Matrix training_x() {
  Matrix x(100, 3);
  for (Index i = 0; i < 100; ++i) {
    x(i, 0) = std::sin(0.37 * static_cast<double>(i)) * 3.0 + 0.01 * static_cast<double>(i);
    x(i, 1) = kNaN;
    x(i, 2) = 1e300;
  }
  return x;
}

Design design_of(SmoothKind kind, const MatrixView& x, std::uint64_t k) {
  auto design = single_smooth_design(kind, x, k);
  EXPECT_TRUE(design.ok()) << design.error().display();
  return std::move(design).value();
}

void expect_centred_block(const Matrix& m) {
  for (Index r = 0; r < m.rows(); ++r) EXPECT_EQ(m(r, 0), 1.0);
  for (Index j = 1; j < m.cols(); ++j) {
    EXPECT_NEAR(m.col(j).sum(), 0.0, 1e-12 * m.col(j).cwiseAbs().sum()) << "column " << j;
  }
}

void expect_intercept_unpenalised(const Matrix& s) {
  EXPECT_TRUE(s.row(0).isZero(0.0));
  EXPECT_TRUE(s.col(0).isZero(0.0));
}

TEST(CrDesign, IsCentredWithRankEightPenalty) {
  const Matrix x = training_x();
  const Design d = design_of(SmoothKind::Cr, x, 10);
  ASSERT_EQ(d.model_matrix.rows(), 100);
  ASSERT_EQ(d.model_matrix.cols(), 10);
  expect_centred_block(d.model_matrix);
  ASSERT_EQ(d.penalties.size(), 1u);
  ASSERT_EQ(d.penalties[0].rows(), 10);
  ASSERT_EQ(d.penalties[0].cols(), 10);
  expect_intercept_unpenalised(d.penalties[0]);
  EXPECT_EQ(d.penalty_ranks, std::vector<std::uint64_t>{8});
  EXPECT_EQ(d.null_space_dim, 2u);
  ASSERT_EQ(d.penalty_log_dets.size(), 1u);
  EXPECT_TRUE(std::isfinite(d.penalty_log_dets[0]));

  const auto& p = std::get<CrPredictor>(d.predictor.value);
  EXPECT_EQ(p.knots.size(), 10);
  EXPECT_EQ(p.knots[0], x.col(0).minCoeff());
  EXPECT_EQ(p.knots[9], x.col(0).maxCoeff());
  EXPECT_EQ(p.centring.rows(), 10);
  EXPECT_EQ(p.centring.cols(), 9);
}

// The penalty scale makes the design independent of the units of x: shifting and
// stretching the column leaves the model matrix and the penalty unchanged.
TEST(CrDesign, PenaltyIsInvariantToTheUnitsOfX) {
  const Matrix x = training_x();
  Matrix stretched = x;
  stretched.col(0) = x.col(0) * 1000.0 + Vector::Constant(100, 5.0);
  for (const SmoothKind kind : {SmoothKind::Cr, SmoothKind::CrStable}) {
    const Design a = design_of(kind, x, 10);
    const Design b = design_of(kind, stretched, 10);
    const double size = a.penalties[0].cwiseAbs().maxCoeff();
    EXPECT_LT((a.penalties[0] - b.penalties[0]).cwiseAbs().maxCoeff(), 1e-8 * size);
    EXPECT_LT((a.model_matrix - b.model_matrix).cwiseAbs().maxCoeff(), 1e-9);
    EXPECT_NEAR(a.penalty_log_dets[0], b.penalty_log_dets[0], 1e-8);
  }
}

TEST(CrStableDesign, RotatesOntoDescendingDiagonalPenalty) {
  const Matrix x = training_x();
  const Design cr = design_of(SmoothKind::Cr, x, 10);
  const Design stable = design_of(SmoothKind::CrStable, x, 10);
  ASSERT_EQ(stable.model_matrix.cols(), 10);
  expect_centred_block(stable.model_matrix);
  expect_intercept_unpenalised(stable.penalties[0]);
  EXPECT_EQ(stable.penalty_ranks, cr.penalty_ranks);
  EXPECT_EQ(stable.null_space_dim, 2u);
  EXPECT_NEAR(stable.penalty_log_dets[0], cr.penalty_log_dets[0], 1e-9);

  const Matrix block = stable.penalties[0].bottomRightCorner(9, 9);
  const double top = block(0, 0);
  for (Index i = 0; i + 1 < 9; ++i) EXPECT_GE(block(i, i), block(i + 1, i + 1)) << i;
  for (Index i = 0; i < 9; ++i) {
    for (Index j = 0; j < 9; ++j) {
      if (i != j) {
        EXPECT_LT(std::abs(block(i, j)), 1e-12 * top) << i << "," << j;
      }
    }
  }

  const auto& p = std::get<CrStablePredictor>(stable.predictor.value);
  const auto& plain = std::get<CrPredictor>(cr.predictor.value);
  EXPECT_EQ(p.knots, plain.knots);
  EXPECT_EQ(p.centring, plain.centring);
  ASSERT_EQ(p.reparam_v.rows(), 9);
  ASSERT_EQ(p.reparam_v.cols(), 9);
  EXPECT_LT((p.reparam_v.transpose() * p.reparam_v - Matrix::Identity(9, 9)).cwiseAbs().maxCoeff(),
            1e-13);
  // Same span as the plain spline, only rotated.
  const Matrix rotated = cr.model_matrix.rightCols(9) * p.reparam_v;
  EXPECT_LT((stable.model_matrix.rightCols(9) - rotated).cwiseAbs().maxCoeff(), 1e-13);
}

TEST(ReDesign, OneIndicatorPerLevelWithRidgePenalty) {
  const Matrix x = mat(4, 2, {2, 7, 1, 7, 2, 7, 3, 7});
  const Design d = design_of(SmoothKind::Re, x, 0);
  EXPECT_EQ(std::get<RePredictor>(d.predictor.value).levels, (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(d.model_matrix, mat(4, 4, {1, 0, 1, 0, 1, 1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1}));
  ASSERT_EQ(d.penalties.size(), 1u);
  EXPECT_EQ(d.penalties[0], Matrix(Eigen::Vector4d(0, 1, 1, 1).asDiagonal()));
  EXPECT_EQ(d.penalty_ranks, std::vector<std::uint64_t>{3});
  EXPECT_EQ(d.penalty_log_dets, std::vector<double>{0.0});
  EXPECT_EQ(d.null_space_dim, 1u);

  // Values that are not levels (unseen, NaN) keep only the intercept.
  auto m = d.predictor.lpmatrix(mat(5, 1, {2.5, 3, 1, 0, kNaN}));
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(*m, mat(5, 4, {1, 0, 0, 0, 1, 0, 0, 1, 1, 1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

TEST(ReDesign, LevelsAreDistinctBitPatterns) {
  const double neg_nan = -std::numeric_limits<double>::quiet_NaN();
  const double other_nan = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});
  const Matrix x = mat(7, 1, {0.0, -0.0, kNaN, 1.0, -0.0, neg_nan, kNaN});
  auto term = build_re_term(x, 0);
  ASSERT_TRUE(term.ok()) << term.error().display();
  const std::vector<double>& levels = term->predictor.levels;
  // IEEE total order: negative NaN, -0.0, +0.0, 1.0, positive NaN.
  const std::vector<std::uint64_t> expected = {bits(neg_nan), bits(-0.0), bits(0.0), bits(1.0),
                                               bits(kNaN)};
  ASSERT_EQ(levels.size(), expected.size());
  for (std::size_t l = 0; l < levels.size(); ++l) EXPECT_EQ(bits(levels[l]), expected[l]) << l;

  const Matrix& block = term->block;
  for (Index r = 0; r < x.rows(); ++r) {
    EXPECT_EQ(block.row(r).sum(), 1.0) << "row " << r;
    for (Index l = 0; l < block.cols(); ++l) {
      if (block(r, l) == 1.0) {
        EXPECT_EQ(bits(levels[l]), bits(x(r, 0))) << "row " << r;
      }
    }
  }
  EXPECT_EQ(term->penalties.at(0), Matrix::Identity(5, 5));

  // Values equal to a level but with other bits are not that level.
  const Matrix only_positive_zero = re_indicator({0.0, 1.0}, Eigen::Vector3d(-0.0, other_nan, 1.0));
  EXPECT_EQ(only_positive_zero, mat(3, 2, {0, 0, 0, 0, 0, 1}));
}

TEST(ReDesign, RejectsEmptyAndOversizedColumns) {
  auto empty = build_re_term(Matrix(0, 1), 0);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().kind(), VorskError::Kind::InvalidParameter);
  EXPECT_EQ(empty.error().message(), "Re basis: x is empty");

  Matrix many(10001, 1);
  for (Index i = 0; i < many.rows(); ++i) many(i, 0) = static_cast<double>(i);
  auto oversized = build_re_term(many, 0);
  ASSERT_FALSE(oversized.ok());
  EXPECT_EQ(oversized.error().kind(), VorskError::Kind::InvalidParameter);
  EXPECT_EQ(oversized.error().message(), "Re basis: 10001 levels exceed the limit of 10000");
}

TEST(CrDesign, EmptyColumnGivesEmptyDesign) {
  const Design d = design_of(SmoothKind::Cr, Matrix(0, 1), 4);
  EXPECT_EQ(d.model_matrix.rows(), 0);
  EXPECT_EQ(d.model_matrix.cols(), 4);
  const Vector& knots = std::get<CrPredictor>(d.predictor.value).knots;
  ASSERT_EQ(knots.size(), 4);
  for (Index j = 0; j < 4; ++j) EXPECT_DOUBLE_EQ(knots[j], static_cast<double>(j) / 3.0);
}

// Rebuilding at the training inputs must give the very same bits, and only column 0
// of x_new may matter.
TEST(Predictor, LpmatrixReproducesTrainingModelMatrix) {
  Matrix x = training_x();
  x(5, 0) = x(7, 0);  // a repeated value for the random effect
  Matrix other_junk = x;
  other_junk.col(1).setConstant(-3.0);
  other_junk.col(2).setZero();
  for (const SmoothKind kind : {SmoothKind::Cr, SmoothKind::CrStable, SmoothKind::Re}) {
    SCOPED_TRACE(static_cast<int>(kind));
    const Design d = design_of(kind, x, 8);
    for (const Matrix* x_new : {&x, &other_junk}) {
      auto m = d.predictor.lpmatrix(*x_new);
      ASSERT_TRUE(m.ok()) << m.error().display();
      ASSERT_EQ(m->rows(), d.model_matrix.rows());
      ASSERT_EQ(m->cols(), d.model_matrix.cols());
      EXPECT_EQ(std::memcmp(m->data(), d.model_matrix.data(),
                            sizeof(double) * static_cast<std::size_t>(m->size())),
                0);
    }
    auto one_column = d.predictor.lpmatrix(x.leftCols(1));
    ASSERT_TRUE(one_column.ok());
    EXPECT_EQ(*one_column, d.model_matrix);
  }
}

void expect_invalid(const VorskError& e, const std::string& message) {
  EXPECT_EQ(e.kind(), VorskError::Kind::InvalidParameter);
  EXPECT_EQ(e.message(), message);
}

TEST(Designs, RefuseMissingColumns) {
  const Matrix no_columns(5, 0);
  for (const SmoothKind kind : {SmoothKind::Cr, SmoothKind::CrStable, SmoothKind::Re}) {
    auto d = single_smooth_design(kind, no_columns, 5);
    ASSERT_FALSE(d.ok());
    expect_invalid(d.error(), "x has 0 columns; a single-smooth fit reads column 0");

    const Design fitted = design_of(kind, training_x(), 5);
    auto m = fitted.predictor.lpmatrix(no_columns);
    ASSERT_FALSE(m.ok());
    expect_invalid(m.error(), "x_new has 0 columns; the model reads column 0");
  }
  const Matrix two_columns = training_x().leftCols(2);
  const std::string message = "term reads column 3 but x has only 2 columns";
  auto cr = build_cr_term(two_columns, 3, 5);
  ASSERT_FALSE(cr.ok());
  expect_invalid(cr.error(), message);
  auto stable = build_cr_stable_term(two_columns, 3, 5);
  ASSERT_FALSE(stable.ok());
  expect_invalid(stable.error(), message);
  auto re = build_re_term(two_columns, 3);
  ASSERT_FALSE(re.ok());
  expect_invalid(re.error(), message);
}

TEST(Designs, PassBasisErrorsThrough) {
  for (const SmoothKind kind : {SmoothKind::Cr, SmoothKind::CrStable}) {
    auto small_k = single_smooth_design(kind, training_x(), 2);
    ASSERT_FALSE(small_k.ok());
    expect_invalid(small_k.error(), "CR spline needs k ≥ 3 (got 2)");
  }
  // Stored knots are validated again when the model matrix is rebuilt.
  const Predictor bad_knots{CrPredictor{Eigen::Vector3d(0, 1, 1), Matrix::Zero(3, 2)}};
  auto m = bad_knots.lpmatrix(training_x());
  ASSERT_FALSE(m.ok());
  expect_invalid(m.error(), "CR spline knots must be strictly increasing");
}

TEST(Predictor, RefusesStoredMatricesOfTheWrongShape) {
  const Vector knots = Eigen::Vector4d(0, 1, 2, 3);
  const std::vector<Predictor> bad = {
      Predictor{CrPredictor{knots, Matrix::Zero(3, 2)}},
      Predictor{CrStablePredictor{knots, Matrix::Zero(4, 3), Matrix::Identity(2, 2)}},
  };
  for (const Predictor& p : bad) {
    auto m = p.lpmatrix(training_x());
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().kind(), VorskError::Kind::Internal);
  }
}

TEST(PenaltyRankLogDet, CountsEigenvaluesAboveRelativeTolerance) {
  struct Case {
    Vector diagonal;
    std::uint64_t rank;
    double log_det;
  };
  // tol = 1e-10·max(λ_max, 1): the floor of 1 matters when every eigenvalue is small.
  const std::vector<Case> cases = {
      {Eigen::Vector3d(0, 2, 3), 2, std::log(6.0)},
      {Eigen::Vector2d(4, 3e-10), 1, std::log(4.0)},
      {Eigen::Vector2d(4, 5e-10), 2, std::log(4.0) + std::log(5e-10)},
      {Eigen::Vector2d(0.5, 8e-11), 1, std::log(0.5)},
      {Eigen::Vector2d(0.5, 2e-10), 2, std::log(0.5) + std::log(2e-10)},
      {Eigen::Vector2d(0, 0), 0, 0.0},
  };
  for (const auto& c : cases) {
    auto r = penalty_rank_logdet(Matrix(c.diagonal.asDiagonal()));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->rank, c.rank) << c.diagonal.transpose();
    EXPECT_NEAR(r->log_det, c.log_det, 1e-12) << c.diagonal.transpose();
  }
  auto failed_eigh = penalty_rank_logdet(Matrix::Zero(2, 3));
  ASSERT_FALSE(failed_eigh.ok());
  EXPECT_EQ(failed_eigh.error().kind(), VorskError::Kind::Internal);
  EXPECT_EQ(failed_eigh.error().message(), "penalty eigendecomposition failed");
}

}  // namespace
}  // namespace vorsk
