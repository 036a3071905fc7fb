#pragma once
// The sum-to-zero constraint of a spline block: c = 1ᵀ·B at the training rows, and an
// orthonormal basis Z of {β : cᵀβ = 0} from one Householder reflection. Callers apply
// B·Z to the block and (Zᵀ·S)·Z to its penalty.

#include "linalg/types.hpp"

namespace vorsk {

// Column sums of the raw basis block.
Vector constraint_vector(const MatrixView& b);

// q × (q−1) null-space basis of cᵀ; the first q−1 identity columns when ‖c‖ < 2⁻⁵².
Matrix centring_matrix(const VectorView& c);

}  // namespace vorsk
