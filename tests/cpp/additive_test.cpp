#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "design/design.hpp"

#include "test_support.hpp"

namespace vorsk {
namespace {

using test_support::kNaN;

// Four columns: two smooth inputs, a factor with three levels, one more smooth input.
Matrix training_x() {
  Matrix x(80, 4);
  const double levels[] = {1.5, -2.0, 7.0};
  for (Index i = 0; i < 80; ++i) {
    const auto t = static_cast<double>(i);
    x(i, 0) = std::sin(0.37 * t) * 3.0 + 0.01 * t;
    x(i, 1) = std::cos(0.11 * t) + 0.3 * std::sin(2.3 * t);
    x(i, 2) = levels[i % 3];
    x(i, 3) = 0.05 * t * t - t;
  }
  return x;
}

Design design_of(const MatrixView& x, const std::vector<TermSpec>& terms) {
  auto design = additive_design(x, terms);
  EXPECT_TRUE(design.ok()) << design.error().display();
  return std::move(design).value();
}

const AdditivePredictor& additive_of(const Design& d) {
  return std::get<AdditivePredictor>(d.predictor.value);
}

bool same_bits(const Matrix& a, const Matrix& b) {
  return a.rows() == b.rows() && a.cols() == b.cols() &&
         std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) == 0;
}

double max_abs(const Matrix& m) { return m.size() == 0 ? 0.0 : m.cwiseAbs().maxCoeff(); }

TEST(AdditiveDesign, MatchesWorkedExamples) {
  const Matrix x = training_x();
  struct Case {
    std::string name;
    std::vector<TermSpec> terms;
    std::vector<ColumnRange> ranges;
    std::vector<std::uint64_t> ranks;
    std::uint64_t null_space_dim;
  };
  const std::vector<Case> cases = {
      {"cr + cr", {CrTermSpec{0, 10}, CrTermSpec{1, 10}}, {{1, 10}, {10, 19}}, {8, 8}, 3},
      {"re + cr", {ReTermSpec{2}, CrTermSpec{1, 5}}, {{1, 4}, {4, 8}}, {3, 3}, 2},
      {"te + cr",
       {TensorTermSpec{0, 1, 4, 4}, CrTermSpec{3, 5}},
       {{1, 16}, {16, 20}},
       {8, 8, 3},
       1},
      // Two penalties of rank 15 on one block of 24: the sum exceeds p and is floored.
      {"te alone", {TensorTermSpec{0, 1, 5, 5}}, {{1, 25}}, {15, 15}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Design d = design_of(x, c.terms);
    const auto p = static_cast<Index>(c.ranges.back().second);
    ASSERT_EQ(d.model_matrix.rows(), 80);
    ASSERT_EQ(d.model_matrix.cols(), p);
    EXPECT_TRUE(d.model_matrix.col(0).isOnes(0.0));
    EXPECT_EQ(additive_of(d).term_col_ranges, c.ranges);
    EXPECT_EQ(d.penalty_ranks, c.ranks);
    EXPECT_EQ(d.null_space_dim, c.null_space_dim);
    ASSERT_EQ(d.penalties.size(), c.ranks.size());
    ASSERT_EQ(d.penalty_log_dets.size(), c.ranks.size());

    // Each penalty lives on its own term's columns only.
    std::size_t j = 0;
    for (std::size_t i = 0; i < c.terms.size(); ++i) {
      const auto [first, last] = c.ranges[i];
      const auto w = static_cast<Index>(last - first);
      const std::size_t count = std::holds_alternative<TensorTermSpec>(c.terms[i]) ? 2 : 1;
      for (std::size_t k = 0; k < count; ++k, ++j) {
        Matrix outside = d.penalties[j];
        ASSERT_EQ(outside.rows(), p);
        ASSERT_EQ(outside.cols(), p);
        EXPECT_GT(max_abs(outside.block(first, first, w, w)), 0.0) << j;
        outside.block(first, first, w, w).setZero();
        EXPECT_EQ(max_abs(outside), 0.0) << j;
        EXPECT_TRUE(std::isfinite(d.penalty_log_dets[j])) << j;
      }
    }
  }

  // The random effect's penalty is the identity on its three columns.
  const Design re = design_of(x, {ReTermSpec{2}, CrTermSpec{1, 5}});
  Matrix identity = Matrix::Zero(8, 8);
  identity.block(1, 1, 3, 3).setIdentity();
  EXPECT_EQ(re.penalties[0], identity);
  EXPECT_EQ(re.penalty_log_dets[0], 0.0);
}

// Blocks, penalties and predictors are those of the terms built on their own, placed
// one after another.
TEST(AdditiveDesign, ConcatenatesIndependentlyBuiltTerms) {
  const Matrix x = training_x();
  const Design d = design_of(x, {CrTermSpec{0, 6}, CrStableTermSpec{3, 5}, ReTermSpec{2},
                                 TensorTermSpec{1, 3, 4, 3}});
  auto cr = build_cr_term(x, 0, 6);
  auto stable = build_cr_stable_term(x, 3, 5);
  auto re = build_re_term(x, 2);
  auto te = build_tensor_term(x, 1, 3, 4, 3);
  ASSERT_TRUE(cr.ok() && stable.ok() && re.ok() && te.ok());

  const AdditivePredictor& p = additive_of(d);
  const std::vector<ColumnRange> ranges = {{1, 6}, {6, 10}, {10, 13}, {13, 24}};
  EXPECT_EQ(p.term_col_ranges, ranges);
  EXPECT_EQ(p.cols_used, (std::vector<std::vector<std::uint64_t>>{{0}, {3}, {2}, {1, 3}}));
  ASSERT_EQ(p.term_predictors.size(), 4u);
  EXPECT_EQ(std::get<CrPredictor>(p.term_predictors[0].value).centring, cr->predictor.centring);
  EXPECT_EQ(std::get<CrStablePredictor>(p.term_predictors[1].value).reparam_v,
            stable->predictor.reparam_v);
  EXPECT_EQ(std::get<RePredictor>(p.term_predictors[2].value).levels, re->predictor.levels);
  EXPECT_EQ(std::get<TensorPredictor>(p.term_predictors[3].value).centring,
            te->predictor.centring);

  ASSERT_EQ(d.model_matrix.cols(), 24);
  const std::vector<std::pair<const Matrix*, const std::vector<Matrix>*>> blocks = {
      {&cr->block, &cr->penalties},
      {&stable->block, &stable->penalties},
      {&re->block, &re->penalties},
      {&te->block, &te->penalties}};
  std::size_t j = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const auto first = static_cast<Index>(ranges[i].first);
    const Matrix& block = *blocks[i].first;
    EXPECT_TRUE(same_bits(d.model_matrix.middleCols(first, block.cols()), block)) << i;
    for (const Matrix& penalty : *blocks[i].second) {
      EXPECT_EQ(Matrix(d.penalties[j].block(first, first, penalty.rows(), penalty.cols())),
                penalty)
          << i;
      ++j;
    }
  }
  EXPECT_EQ(j, d.penalties.size());
}

TEST(AdditivePredictor, LpmatrixReproducesModelMatrix) {
  const Matrix x = training_x();
  Matrix junk = x;
  junk.col(1).setConstant(kNaN);

  // One-column terms rebuild bit for bit, whichever column they read.
  const Design one_column = design_of(x, {CrStableTermSpec{3, 7}, ReTermSpec{2}, CrTermSpec{0, 5}});
  auto m = one_column.predictor.lpmatrix(junk);
  ASSERT_TRUE(m.ok()) << m.error().display();
  EXPECT_TRUE(same_bits(*m, one_column.model_matrix));

  const Design with_tensor = design_of(x, {CrTermSpec{0, 5}, TensorTermSpec{3, 1, 5, 4}});
  auto t = with_tensor.predictor.lpmatrix(x);
  ASSERT_TRUE(t.ok()) << t.error().display();
  ASSERT_EQ(t->cols(), with_tensor.model_matrix.cols());
  EXPECT_TRUE(same_bits(t->leftCols(5), with_tensor.model_matrix.leftCols(5)));
  EXPECT_LT(max_abs(*t - with_tensor.model_matrix), 1e-13);
}

TEST(AdditivePredictor, PlacesSingleTermRebuildsAtNewInputs) {
  const Matrix x = training_x();
  const Design d = design_of(x, {TensorTermSpec{3, 0, 4, 3}, ReTermSpec{2}, CrTermSpec{1, 6}});
  // Beyond the knots, an unseen level, and a column the model does not read.
  Matrix x_new(3, 5);
  x_new << -10, 0.2, 7.0, 50, kNaN,  //
      0.5, 3.0, 2.5, -1, kNaN,       //
      4.0, -2.0, -2.0, 300, kNaN;
  auto m = d.predictor.lpmatrix(x_new);
  ASSERT_TRUE(m.ok()) << m.error().display();

  auto te = build_tensor_term(x, 3, 0, 4, 3);
  auto re = build_re_term(x, 2);
  auto cr = build_cr_term(x, 1, 6);
  ASSERT_TRUE(te.ok() && re.ok() && cr.ok());
  auto te_m = Predictor{te->predictor}.lpmatrix(x_new);
  auto re_m = Predictor{re->predictor}.lpmatrix(Matrix(x_new.col(2)));
  auto cr_m = Predictor{cr->predictor}.lpmatrix(Matrix(x_new.col(1)));
  ASSERT_TRUE(te_m.ok() && re_m.ok() && cr_m.ok());

  Matrix expected(3, 1 + 11 + 3 + 5);
  expected << Vector::Ones(3), te_m->rightCols(11), re_m->rightCols(3), cr_m->rightCols(5);
  ASSERT_EQ(m->cols(), expected.cols());
  EXPECT_TRUE(same_bits(m->rightCols(8), expected.rightCols(8)));
  EXPECT_LT(max_abs(*m - expected), 1e-13);
  EXPECT_EQ(Matrix(m->block(1, 12, 1, 3)), Matrix::Zero(1, 3));  // 2.5 is not a level
}

void expect_error(const VorskError& e, VorskError::Kind kind, const std::string& message) {
  EXPECT_EQ(e.kind(), kind) << message;
  EXPECT_EQ(e.message(), message);
}

TEST(AdditiveDesign, RefusesBadRequestsInOrder) {
  const Matrix x = training_x();
  const Matrix no_rows(0, 4);
  std::vector<TermSpec> too_wide(1000, CrTermSpec{0, 11});
  too_wide.push_back(ReTermSpec{2});
  struct Case {
    const Matrix* x;
    std::vector<TermSpec> terms;
    std::string message;
  };
  const std::vector<Case> cases = {
      // Every column is checked before any term is built.
      {&x,
       {CrTermSpec{0, 2}, CrTermSpec{4, 5}},
       "Additive term 1 reads column 4 but x has only 4 columns"},
      {&x,
       {CrTermSpec{0, 2}, TensorTermSpec{1, 9, 5, 5}},
       "Additive term 1 reads column 9 but x has only 4 columns"},
      {&x, {ReTermSpec{7}}, "Additive term 0 reads column 7 but x has only 4 columns"},
      // Then the first failing term wins.
      {&x, {CrTermSpec{0, 5}, CrTermSpec{1, 2}, ReTermSpec{2}}, "CR spline needs k ≥ 3 (got 2)"},
      {&x, {CrTermSpec{0, 5}, TensorTermSpec{1, 1, 5, 5}, CrStableTermSpec{3, 2}},
       "Tensor term must have distinct margin columns (got col_a == col_b == 1)"},
      {&no_rows, {CrTermSpec{0, 5}, ReTermSpec{2}}, "Re basis: x is empty"},
      {&x, too_wide, "Additive design would have 10004 columns; the limit is 10001"},
  };
  for (const Case& c : cases) {
    auto d = additive_design(*c.x, c.terms);
    ASSERT_FALSE(d.ok()) << c.message;
    expect_error(d.error(), VorskError::Kind::InvalidParameter, c.message);
  }
}

TEST(AdditivePredictor, ChecksEachTermsColumnsAsItGoes) {
  const Matrix x = training_x();
  const Design d = design_of(x, {CrTermSpec{0, 5}, CrTermSpec{1, 5}});
  auto narrow = d.predictor.lpmatrix(x.leftCols(1));
  ASSERT_FALSE(narrow.ok());
  expect_error(narrow.error(), VorskError::Kind::InvalidParameter,
               "AdditivePredictor: term 1 expects column 1 but x has only 1 columns");

  // Term 0 is rebuilt, and fails, before term 1's columns are looked at.
  AdditivePredictor bad_first = additive_of(d);
  std::get<CrPredictor>(bad_first.term_predictors[0].value).knots[1] = kNaN;
  auto first = Predictor{bad_first}.lpmatrix(x.leftCols(1));
  ASSERT_FALSE(first.ok());
  expect_error(first.error(), VorskError::Kind::InvalidParameter,
               "CR spline knots must be strictly increasing");

  const Design te = design_of(x, {TensorTermSpec{0, 3, 4, 4}});
  auto missing = te.predictor.lpmatrix(x.leftCols(3));
  ASSERT_FALSE(missing.ok());
  expect_error(missing.error(), VorskError::Kind::InvalidParameter,
               "AdditivePredictor: term 0 expects column 3 but x has only 3 columns");
}

// A saved frame edited by hand must end in an error, never in an out-of-range read.
TEST(AdditivePredictor, RefusesHandEditedPredictors) {
  const Matrix x = training_x();
  const Design d = design_of(x, {CrTermSpec{0, 5}, TensorTermSpec{1, 3, 4, 3}, ReTermSpec{2}});
  const AdditivePredictor valid = additive_of(d);
  struct Case {
    std::function<void(AdditivePredictor&)> edit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](AdditivePredictor& p) { p.cols_used.pop_back(); },
       "AdditivePredictor: cols_used has 2 entries for 3 terms"},
      {[](AdditivePredictor& p) { p.cols_used.push_back({0}); },
       "AdditivePredictor: cols_used has 4 entries for 3 terms"},
      {[](AdditivePredictor& p) { p.cols_used[2].clear(); },
       "AdditivePredictor: term 2 lists no input column"},
      {[](AdditivePredictor& p) { p.cols_used[1] = {1}; },
       "AdditivePredictor: term 1 lists other input columns than its tensor predictor reads"},
      {[](AdditivePredictor& p) { p.cols_used[1] = {3, 1}; },
       "AdditivePredictor: term 1 lists other input columns than its tensor predictor reads"},
      {[&](AdditivePredictor& p) { p.term_predictors[0] = Predictor{valid}; },
       "AdditivePredictor: term 0 is itself an additive predictor"},
      {[](AdditivePredictor& p) {
         std::get<CrPredictor>(p.term_predictors[0].value).centring = Matrix::Zero(5, 10001);
       },
       "AdditivePredictor: the terms have more than 10001 columns"},
      {[](AdditivePredictor& p) {
         std::get<TensorPredictor>(p.term_predictors[1].value).knots_b = Eigen::Vector3d(0, 2, 1);
       },
       "invalid stored knots_b"},
      {[](AdditivePredictor& p) {
         std::get<TensorPredictor>(p.term_predictors[1].value).centring = Matrix::Zero(13, 11);
       },
       "invalid stored centring: 13 rows for 12 tensor columns"},
      {[](AdditivePredictor& p) {
         std::get<CrPredictor>(p.term_predictors[0].value).centring = Matrix::Zero(4, 4);
       },
       "invalid stored centring: 4 rows for 5 knots"},
  };
  for (const Case& c : cases) {
    AdditivePredictor edited = valid;
    c.edit(edited);
    auto m = Predictor{edited}.lpmatrix(x);
    ASSERT_FALSE(m.ok()) << c.message;
    expect_error(m.error(), VorskError::Kind::Internal, c.message);
  }

  // The stored ranges are reported, not used: placement follows the rebuilt blocks.
  AdditivePredictor no_ranges = valid;
  no_ranges.term_col_ranges.clear();
  auto m = Predictor{no_ranges}.lpmatrix(x);
  ASSERT_TRUE(m.ok()) << m.error().display();
  EXPECT_LT(max_abs(*m - d.model_matrix), 1e-13);
}

}  // namespace
}  // namespace vorsk
