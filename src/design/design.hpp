#pragma once
// Designs: the model matrix [1 | blocks], the padded penalties with their ranks and log
// pseudo-determinants, and the Predictor that rebuilds the model matrix at new inputs.

#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "common/result.hpp"
#include "linalg/types.hpp"

namespace vorsk {

struct CrPredictor {
  Vector knots;     // k
  Matrix centring;  // k × (k−1)
};

struct CrStablePredictor {
  Vector knots;
  Matrix centring;
  Matrix reparam_v;  // (k−1) × (k−1), eigenvectors of the constrained penalty, descending
};

struct RePredictor {
  std::vector<double> levels;  // distinct by bit pattern, in IEEE total order
};

enum class MarginBasis { Cr };

struct TensorPredictor {
  std::uint64_t col_a = 0;
  std::uint64_t col_b = 0;
  MarginBasis bs_a = MarginBasis::Cr;
  MarginBasis bs_b = MarginBasis::Cr;
  Vector knots_a;
  Vector knots_b;
  Matrix xp_a;
  Matrix xp_b;
  Matrix centring;
};

struct Predictor;

using ColumnRange = std::pair<std::uint64_t, std::uint64_t>;  // [first, last_exclusive)

struct AdditivePredictor {
  std::vector<Predictor> term_predictors;
  std::vector<std::vector<std::uint64_t>> cols_used;
  std::vector<ColumnRange> term_col_ranges;
};

// Tagged union, variants in this order: cr, re, cr_stable, additive, tensor.
struct Predictor {
  using Variant =
      std::variant<CrPredictor, RePredictor, CrStablePredictor, AdditivePredictor, TensorPredictor>;
  Variant value;

  // The n_new × p model matrix at x_new.
  Result<Matrix> lpmatrix(const MatrixView& x_new) const;
};

struct Design {
  Predictor predictor;
  std::vector<Matrix> penalties;  // p × p each; intercept row and column zero
  std::vector<std::uint64_t> penalty_ranks;
  std::vector<double> penalty_log_dets;
  Matrix model_matrix;  // n × p, column 0 all 1.0
  std::uint64_t null_space_dim = 0;
};

// A term block: payload, block matrix (n × w) and its block penalties (w × w).
template <typename P>
struct TermBlock {
  P predictor;
  Matrix block;
  std::vector<Matrix> penalties;
};

enum class SmoothKind { Cr, CrStable, Re };

Result<TermBlock<CrPredictor>> build_cr_term(const MatrixView& x, std::uint64_t col,
                                             std::uint64_t k);
Result<TermBlock<CrStablePredictor>> build_cr_stable_term(const MatrixView& x, std::uint64_t col,
                                                          std::uint64_t k);
// The block penalty of a random effect is the L × L identity, supplied here too.
Result<TermBlock<RePredictor>> build_re_term(const MatrixView& x, std::uint64_t col);

// The design of one smooth of column 0 of x (k ignored for Re).
Result<Design> single_smooth_design(SmoothKind kind, const MatrixView& x, std::uint64_t k);

// InvalidParameter unless x has column `col`; every term builder checks before reading.
Status check_term_column(const MatrixView& x, std::uint64_t col);

// n × (w+1): column 0 = 1.0, the block after it.
Matrix with_intercept(const MatrixView& block);

// n × L indicator matrix: row r has its 1.0 in the column of the level whose bit
// pattern equals x_r; a value that is not a level gives a zero row.
Matrix re_indicator(const std::vector<double>& levels, const VectorView& column);

struct RankLogDet {
  std::uint64_t rank = 0;
  double log_det = 0.0;
};
// Numerical rank (eigenvalues above 1e-10·max(λ_max, 1)) and the sum of the logs of
// those eigenvalues. A failed eigendecomposition is an Internal error.
Result<RankLogDet> penalty_rank_logdet(const MatrixView& s);

// One term of an additive design.
struct CrTermSpec { std::uint64_t col, k; };
struct CrStableTermSpec { std::uint64_t col, k; };
struct ReTermSpec { std::uint64_t col; };
struct TensorTermSpec { std::uint64_t col_a, col_b, k_a, k_b; };
using TermSpec = std::variant<CrTermSpec, CrStableTermSpec, ReTermSpec, TensorTermSpec>;

// Tensor product of cubic regression spline margins on columns col_a and col_b (margin b
// varies fastest), centred; its penalties are those of margin a, then margin b.
Result<TermBlock<TensorPredictor>> build_tensor_term(const MatrixView& x, std::uint64_t col_a,
                                                     std::uint64_t col_b, std::uint64_t k_a,
                                                     std::uint64_t k_b);

// Entry (i, a·m_b + b) = A(i, a)·B(i, b).
Matrix rowwise_kron(const MatrixView& a, const MatrixView& b);

// S divided by its largest eigenvalue (unchanged when that is not positive).
Result<Matrix> rescale_penalty(const MatrixView& s);

// [1 | block of term 0 | block of term 1 | ...] with one padded penalty per term penalty.
Result<Design> additive_design(const MatrixView& x, const std::vector<TermSpec>& terms);

// The model matrices of the two composite predictors; Predictor::lpmatrix dispatches here.
Result<Matrix> tensor_lpmatrix(const TensorPredictor& p, const MatrixView& x_new);
Result<Matrix> additive_lpmatrix(const AdditivePredictor& p, const MatrixView& x_new);

}  // namespace vorsk
