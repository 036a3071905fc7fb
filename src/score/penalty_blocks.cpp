#include "score/penalty_blocks.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "design/design.hpp"
#include "linalg/lapack.hpp"

namespace vorsk {

std::vector<Index> penalty_support(const MatrixView& s) {
  std::vector<Index> rows;
  for (Index i = 0; i < s.rows(); ++i) {
    bool used = false;
    for (Index c = 0; c < s.cols() && !used; ++c) used = s(i, c) != 0.0 || std::isnan(s(i, c));
    if (used) rows.push_back(i);
  }
  return rows;
}

namespace {

Matrix block_sum(const SharedBlock& block, const std::vector<Matrix>& penalties, const Vector& weights) {
  const auto w = static_cast<Index>(block.rows.size());
  Matrix s = Matrix::Zero(w, w);
  for (std::size_t k = 0; k < block.penalties.size(); ++k) {
    const Matrix& full = penalties[static_cast<std::size_t>(block.penalties[k])];
    for (Index a = 0; a < w; ++a)
      for (Index b = 0; b < w; ++b) s(a, b) += weights[static_cast<Index>(k)] * full(block.rows[a], block.rows[b]);
  }
  return s;
}

}  // namespace

Result<PenaltyBlocks> find_penalty_blocks(const std::vector<Matrix>& penalties,
                                          const std::vector<std::uint64_t>& ranks, Index p) {
  const std::size_t m = penalties.size();
  std::vector<std::vector<Index>> support(m);
  for (std::size_t j = 0; j < m; ++j) support[j] = penalty_support(penalties[j]);
  // Union of penalties that share a row.
  std::vector<std::size_t> parent(m);
  std::iota(parent.begin(), parent.end(), std::size_t{0});
  auto root = [&parent](std::size_t j) {
    while (parent[j] != j) j = parent[j] = parent[parent[j]];
    return j;
  };
  std::vector<int> owner(static_cast<std::size_t>(p), -1);
  for (std::size_t j = 0; j < m; ++j)
    for (Index r : support[j]) {
      int& o = owner[static_cast<std::size_t>(r)];
      if (o < 0) o = static_cast<int>(j);
      else parent[root(j)] = root(static_cast<std::size_t>(o));
    }

  PenaltyBlocks out;
  out.block_of.assign(m, -1);
  std::vector<int> shared_of_root(m, -1);
  for (std::size_t j = 0; j < m; ++j) {
    const std::size_t r = root(j);
    bool alone = true;
    for (std::size_t i = 0; i < m && alone; ++i) alone = i == j || root(i) != r;
    if (alone) continue;
    if (shared_of_root[r] < 0) {
      shared_of_root[r] = static_cast<int>(out.shared.size());
      out.shared.emplace_back();
    }
    SharedBlock& block = out.shared[static_cast<std::size_t>(shared_of_root[r])];
    block.penalties.push_back(static_cast<Index>(j));
    block.rows.insert(block.rows.end(), support[j].begin(), support[j].end());
    out.block_of[j] = shared_of_root[r];
  }
  std::uint64_t total = 0;
  for (std::size_t j = 0; j < m; ++j)
    if (out.block_of[j] < 0) total += ranks[j];
  for (SharedBlock& block : out.shared) {
    std::sort(block.rows.begin(), block.rows.end());
    block.rows.erase(std::unique(block.rows.begin(), block.rows.end()), block.rows.end());
    const Matrix s = block_sum(block, penalties, Vector::Ones(static_cast<Index>(block.penalties.size())));
    VORSK_ASSIGN_OR_RETURN(const RankLogDet rl, penalty_rank_logdet(s));
    block.rank = rl.rank;
    total += rl.rank;
  }
  out.null_space_dim = total > static_cast<std::uint64_t>(p) ? 0 : static_cast<std::uint64_t>(p) - total;
  return out;
}

Result<BlockLogDet> block_log_pseudo_det(const SharedBlock& block, const std::vector<Matrix>& penalties,
                                         const VectorView& rho) {
  const auto m = static_cast<Index>(block.penalties.size());
  Vector lambda(m);
  for (Index k = 0; k < m; ++k) lambda[k] = std::exp(rho[block.penalties[static_cast<std::size_t>(k)]]);
  const Matrix s = block_sum(block, penalties, lambda);
  auto decomposition = eigh(s);
  if (failed(decomposition)) return VorskError::internal("penalty eigendecomposition failed");
  const Eigh e = take(std::move(decomposition));
  const Index w = s.rows();
  const Index r = static_cast<Index>(std::min<std::uint64_t>(block.rank, static_cast<std::uint64_t>(w)));
  BlockLogDet out;
  // Ascending eigenvalues: the r largest are the last r. Their pseudo-inverse gives
  // ∂ log|S_λ|₊/∂ρ_j = λ_j·tr(S_λ⁺·S_j).
  Matrix pinv = Matrix::Zero(w, w);
  for (Index k = w - r; k < w; ++k) {
    out.log_det += std::log(e.values[k]);
    pinv.noalias() += (1.0 / e.values[k]) * e.vectors.col(k) * e.vectors.col(k).transpose();
  }
  out.traces.resize(m);
  for (Index k = 0; k < m; ++k) {
    const Matrix& full = penalties[static_cast<std::size_t>(block.penalties[static_cast<std::size_t>(k)])];
    double t = 0.0;
    for (Index a = 0; a < w; ++a)
      for (Index b = 0; b < w; ++b) t += pinv(a, b) * full(block.rows[b], block.rows[a]);
    out.traces[k] = lambda[k] * t;
  }
  return out;
}

}  // namespace vorsk
