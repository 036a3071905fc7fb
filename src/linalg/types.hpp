#pragma once
// Array types shared by the whole core. Matrices are row-major; routines take read-only
// views and return newly owned arrays. LAPACK alone sees column-major copies.

#include <Eigen/Core>

namespace vorsk {

using Matrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using Vector = Eigen::Matrix<double, Eigen::Dynamic, 1>;
using ColMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor>;

// Read-only views with arbitrary (non-negative) strides: a NumPy array, a column of a
// matrix or an owned Matrix all bind without a copy.
using MatrixView = Eigen::Ref<const Matrix, 0, Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>>;
using VectorView = Eigen::Ref<const Vector, 0, Eigen::InnerStride<Eigen::Dynamic>>;

using Index = Eigen::Index;

}  // namespace vorsk
