// The single-smooth designs and the predictors that rebuild their model matrices.

#include <algorithm>
#include <cmath>
#include <limits>
#include <variant>

#include "basis/cr.hpp"
#include "common/format.hpp"
#include "design/design.hpp"
#include "linalg/lapack.hpp"

namespace vorsk {

namespace {

// Pads a w × w block penalty into the (w+1) × (w+1) coefficient space.
Matrix pad_penalty(const Matrix& block_penalty) {
  const Index w = block_penalty.rows();
  Matrix padded = Matrix::Zero(w + 1, w + 1);
  padded.bottomRightCorner(w, w) = block_penalty;
  return padded;
}

template <typename P>
Result<Design> design_from_term(TermBlock<P> term) {
  Matrix model_matrix = with_intercept(term.block);
  Matrix padded = pad_penalty(term.penalties.front());
  VORSK_ASSIGN_OR_RETURN(const RankLogDet rank, penalty_rank_logdet(padded));
  const auto p = static_cast<std::uint64_t>(model_matrix.cols());
  Design design;
  design.predictor = Predictor{std::move(term.predictor)};
  design.penalties.push_back(std::move(padded));
  design.penalty_ranks.push_back(rank.rank);
  design.penalty_log_dets.push_back(rank.log_det);
  design.model_matrix = std::move(model_matrix);
  design.null_space_dim = p > rank.rank ? p - rank.rank : 0;
  return design;
}

Status check_x_new(const MatrixView& x_new) {
  if (x_new.cols() == 0) {
    return VorskError::invalid_parameter("x_new has 0 columns; the model reads column 0");
  }
  return Status::success();
}

// The raw spline block at column 0 of x_new times the stored centring. The product is
// the same expression the term builder uses, so the training inputs give the same bits.
Result<Matrix> centred_cr_block(const Vector& knots, const Matrix& centring,
                                const MatrixView& x_new) {
  VORSK_RETURN_IF_ERROR(check_x_new(x_new));
  VORSK_ASSIGN_OR_RETURN(const CrBasis basis, CrBasis::create(knots));
  // Only a hand-edited saved frame can disagree here; refuse before the product.
  if (centring.rows() != basis.size()) {
    return VorskError::internal(
        fmt("invalid stored centring: {} rows for {} knots", centring.rows(), basis.size()));
  }
  const Matrix b = basis.basis_matrix(x_new.col(0));
  return Matrix(b * centring);
}

Result<Matrix> lpmatrix_of(const CrPredictor& p, const MatrixView& x_new) {
  VORSK_ASSIGN_OR_RETURN(const Matrix block, centred_cr_block(p.knots, p.centring, x_new));
  return with_intercept(block);
}

Result<Matrix> lpmatrix_of(const CrStablePredictor& p, const MatrixView& x_new) {
  VORSK_ASSIGN_OR_RETURN(const Matrix block, centred_cr_block(p.knots, p.centring, x_new));
  if (p.reparam_v.rows() != block.cols()) {
    return VorskError::internal(fmt("invalid stored reparam_v: {} rows for a block of {} columns",
                                    p.reparam_v.rows(), block.cols()));
  }
  const Matrix rotated = block * p.reparam_v;
  return with_intercept(rotated);
}

Result<Matrix> lpmatrix_of(const RePredictor& p, const MatrixView& x_new) {
  VORSK_RETURN_IF_ERROR(check_x_new(x_new));
  return with_intercept(re_indicator(p.levels, x_new.col(0)));
}

Result<Matrix> lpmatrix_of(const AdditivePredictor& p, const MatrixView& x_new) {
  return additive_lpmatrix(p, x_new);
}

Result<Matrix> lpmatrix_of(const TensorPredictor& p, const MatrixView& x_new) {
  return tensor_lpmatrix(p, x_new);
}

}  // namespace

Status check_term_column(const MatrixView& x, std::uint64_t col) {
  if (col >= static_cast<std::uint64_t>(x.cols()))
    return VorskError::invalid_parameter(
        fmt("term reads column {} but x has only {} columns", col, x.cols()));
  return Status::success();
}

Matrix with_intercept(const MatrixView& block) {
  Matrix out(block.rows(), block.cols() + 1);
  out.col(0).setOnes();
  out.rightCols(block.cols()) = block;
  return out;
}

Result<RankLogDet> penalty_rank_logdet(const MatrixView& s) {
  auto decomposition = eigh(s);
  if (failed(decomposition)) return VorskError::internal("penalty eigendecomposition failed");
  const Vector& values = std::get<0>(decomposition).values;

  double largest = -std::numeric_limits<double>::infinity();
  for (const double v : values) {
    if (v > largest) largest = v;  // NaN never compares greater
  }
  const double tol = 1e-10 * std::max(largest, 1.0);
  RankLogDet out;
  for (const double v : values) {  // ascending, as eigh delivers them
    if (v > tol) {
      ++out.rank;
      out.log_det += std::log(v);
    }
  }
  return out;
}

Result<Design> single_smooth_design(SmoothKind kind, const MatrixView& x, std::uint64_t k) {
  if (x.cols() == 0) {
    return VorskError::invalid_parameter("x has 0 columns; a single-smooth fit reads column 0");
  }
  switch (kind) {
    case SmoothKind::Cr: {
      VORSK_ASSIGN_OR_RETURN(auto term, build_cr_term(x, 0, k));
      return design_from_term(std::move(term));
    }
    case SmoothKind::CrStable: {
      VORSK_ASSIGN_OR_RETURN(auto term, build_cr_stable_term(x, 0, k));
      return design_from_term(std::move(term));
    }
    case SmoothKind::Re: {
      VORSK_ASSIGN_OR_RETURN(auto term, build_re_term(x, 0));
      return design_from_term(std::move(term));
    }
  }
  return VorskError::internal("unknown smooth kind");
}

Result<Matrix> Predictor::lpmatrix(const MatrixView& x_new) const {
  return std::visit([&](const auto& payload) { return lpmatrix_of(payload, x_new); }, value);
}

}  // namespace vorsk
