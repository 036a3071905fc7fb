#pragma once
// Penalties that act on the same coefficients (the two margin penalties of a tensor
// term) form one block. For such a block the score needs the exact log
// pseudo-determinant of Σ_j λ_j·S_j, whose rank r_B = rank(Σ_j S_j) does not depend on
// λ > 0; penalties on blocks of their own keep the closed forms r_j·ρ_j + c_j.

#include <cstdint>
#include <vector>

#include "common/result.hpp"
#include "linalg/types.hpp"

namespace vorsk {

struct SharedBlock {
  std::vector<Index> penalties;  // indices into the penalty list, ascending
  std::vector<Index> rows;       // coefficient indices the penalties touch, ascending
  std::uint64_t rank = 0;        // rank of Σ_j S_j on the block
};

struct PenaltyBlocks {
  std::vector<SharedBlock> shared;  // blocks carrying two or more penalties
  std::vector<int> block_of;        // per penalty: index into `shared`, or -1
  std::uint64_t null_space_dim = 0;  // p − Σ single r_j − Σ shared r_B, floored at 0
};

// Rows of S that hold an entry that is non-zero or NaN.
std::vector<Index> penalty_support(const MatrixView& s);

// Groups penalties whose supports overlap; `ranks` are the single-penalty ranks.
Result<PenaltyBlocks> find_penalty_blocks(const std::vector<Matrix>& penalties,
                                          const std::vector<std::uint64_t>& ranks, Index p);

struct BlockLogDet {
  double log_det = 0.0;  // Σ log of the r_B largest eigenvalues of S_λ on the block
  Vector traces;         // per penalty of the block: λ_j·tr(S_λ⁺·S_j)
};
Result<BlockLogDet> block_log_pseudo_det(const SharedBlock& block, const std::vector<Matrix>& penalties,
                                         const VectorView& rho);

}  // namespace vorsk
