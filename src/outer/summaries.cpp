#include "outer/summaries.hpp"

#include <cmath>

#include "common/counters.hpp"
#include "linalg/kernels.hpp"

namespace vorsk {

double effective_df_total(const MatrixView& x, const VectorView& w, const MatrixView& factor) {
  VORSK_COUNT(crossproducts);
  const Matrix a = weighted_gram(x, w);
  return inverse_from_factor(factor).cwiseProduct(a).sum();
}

Vector effective_df_per_term(const std::vector<Matrix>& penalties, const VectorView& rho,
                             const MatrixView& factor, const PenaltyBlocks* blocks) {
  const Matrix h_inv = inverse_from_factor(factor);
  Vector edf(static_cast<Index>(penalties.size()));
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    const Matrix& s = penalties[j];
    double rows = static_cast<double>(penalty_support(s).size());
    if (blocks && !blocks->block_of.empty() && blocks->block_of[j] >= 0)
      rows /= static_cast<double>(blocks->shared[static_cast<std::size_t>(blocks->block_of[j])].penalties.size());
    const auto jj = static_cast<Index>(j);
    edf[jj] = rows - std::exp(rho[jj]) * h_inv.cwiseProduct(s).sum();
  }
  return edf;
}

Matrix posterior_covariance(const MatrixView& factor, double scale) {
  Matrix v = inverse_from_factor(factor);
  if (scale != 1.0) v *= scale;
  return v;
}

}  // namespace vorsk
