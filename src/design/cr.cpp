// Cubic regression spline terms: the plain constrained spline and its stable
// reparametrisation onto the eigenvectors of the constrained penalty.

#include <algorithm>
#include <cmath>

#include "basis/cr.hpp"
#include "common/format.hpp"
#include "design/design.hpp"
#include "design/transform.hpp"
#include "linalg/lapack.hpp"

namespace vorsk {

namespace {

// Largest absolute row sum; NaN row sums do not take part.
double max_abs_row_sum(const Matrix& m) {
  double best = 0.0;
  for (Index r = 0; r < m.rows(); ++r) {
    const double sum = m.row(r).cwiseAbs().sum();
    if (sum > best) best = sum;
  }
  return best;
}

struct ConstrainedCr {
  Vector knots;
  Matrix block;    // B·Z at the training rows
  Matrix centring; // Z
  Matrix penalty;  // Zᵀ·(s·S)·Z
};

Result<ConstrainedCr> constrained_cr(const MatrixView& x, std::uint64_t col, std::uint64_t k) {
  VORSK_RETURN_IF_ERROR(check_term_column(x, col));
  const VectorView column = x.col(static_cast<Index>(col));
  VORSK_ASSIGN_OR_RETURN(CrBasis basis, place_knots(column, k));
  Matrix b = basis.basis_matrix(column);
  const Matrix s = std::move(basis.penalties().front());

  // Scale the penalty to the size of the basis so that smoothing parameters are
  // comparable whatever the units of x.
  const double a = max_abs_row_sum(b);
  const double g = max_abs_row_sum(s);
  const double scale = g > 0.0 ? a * a / g : 1.0;
  const Matrix scaled = scale * s;

  Matrix z = centring_matrix(constraint_vector(b));
  const Matrix zt_s = z.transpose() * scaled;
  Matrix penalty = zt_s * z;
  // The basis is a deterministic function of the knots and the column, so reusing B
  // gives the same bits that lpmatrix produces when it rebuilds B at these inputs.
  Matrix block = b * z;
  return ConstrainedCr{basis.knots(), std::move(block), std::move(z), std::move(penalty)};
}

struct StableReparam {
  Matrix v;
};

Result<StableReparam> stable_reparam(const Matrix& inner_penalty, Index m) {
  if (inner_penalty.rows() != m || inner_penalty.cols() != m) {
    return VorskError::invalid_parameter(
        fmt("StableReparam: inner_penalty must be ({0}, {0}); got ({1}, {2})", m,
            inner_penalty.rows(), inner_penalty.cols()));
  }
  auto decomposition = eigh(inner_penalty);
  if (failed(decomposition)) {
    return VorskError::linalg(
        fmt("eigh failed in StableReparam: {}", failure(decomposition).display()));
  }
  const Eigh e = take(std::move(decomposition));
  // Descending eigenvalues: column i of V is column m−1−i of E.
  Matrix v(m, m);
  for (Index i = 0; i < m; ++i) v.col(i) = e.vectors.col(m - 1 - i);
  return StableReparam{std::move(v)};
}

}  // namespace

Result<TermBlock<CrPredictor>> build_cr_term(const MatrixView& x, std::uint64_t col,
                                             std::uint64_t k) {
  VORSK_ASSIGN_OR_RETURN(ConstrainedCr cr, constrained_cr(x, col, k));
  TermBlock<CrPredictor> term;
  term.predictor = CrPredictor{std::move(cr.knots), std::move(cr.centring)};
  term.block = std::move(cr.block);
  term.penalties.push_back(std::move(cr.penalty));
  return term;
}

Result<TermBlock<CrStablePredictor>> build_cr_stable_term(const MatrixView& x, std::uint64_t col,
                                                          std::uint64_t k) {
  VORSK_ASSIGN_OR_RETURN(ConstrainedCr cr, constrained_cr(x, col, k));
  VORSK_ASSIGN_OR_RETURN(StableReparam reparam, stable_reparam(cr.penalty, cr.centring.cols()));
  const Matrix& v = reparam.v;
  TermBlock<CrStablePredictor> term;
  term.block = cr.block * v;
  const Matrix vt_p = v.transpose() * cr.penalty;
  term.penalties.push_back(vt_p * v);
  term.predictor =
      CrStablePredictor{std::move(cr.knots), std::move(cr.centring), std::move(reparam.v)};
  return term;
}

}  // namespace vorsk
