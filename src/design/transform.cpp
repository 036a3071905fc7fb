#include "design/transform.hpp"

#include <cmath>

namespace vorsk {

Vector constraint_vector(const MatrixView& b) {
  // Row by row: B is row-major and may have millions of rows.
  Vector c = Vector::Zero(b.cols());
  for (Index r = 0; r < b.rows(); ++r) {
    for (Index j = 0; j < b.cols(); ++j) c[j] += b(r, j);
  }
  return c;
}

Matrix centring_matrix(const VectorView& c) {
  const Index q = c.size();
  if (q == 0) return Matrix(0, 0);
  double d = 0.0;
  for (Index j = 0; j < q; ++j) d += c[j] * c[j];
  const double norm = std::sqrt(d);

  Matrix z = Matrix::Zero(q, q - 1);
  if (norm < 0x1p-52) {
    // No usable constraint: drop the last coefficient.
    for (Index i = 0; i < q - 1; ++i) z(i, i) = 1.0;
    return z;
  }

  // Householder vector with the sign chosen against cancellation; -0.0 counts as ≥ 0
  // and NaN as negative.
  Vector v = c;
  v[0] = c[0] >= 0.0 ? c[0] + norm : c[0] - norm;
  double f = 0.0;
  for (Index j = 0; j < q; ++j) f += v[j] * v[j];
  const double scale = 2.0 / f;
  // H = I − (2/f)·v·vᵀ without its first column.
  for (Index r = 0; r < q; ++r) {
    for (Index i = 0; i < q - 1; ++i) {
      z(r, i) = (r == i + 1 ? 1.0 : 0.0) - v[r] * scale * v[i + 1];
    }
  }
  return z;
}

}  // namespace vorsk
