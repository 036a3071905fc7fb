#pragma once
// The three LAPACK factorisations the library uses, behind one wrapper that copies the
// input into a column-major buffer and turns `info` into a LinalgFailure.

#include <string>
#include <utility>
#include <variant>

#include "linalg/types.hpp"

namespace vorsk {

struct LinalgFailure {
  enum class Kind {
    NotSquare,             // rows != cols
    ComputationalFailure,  // LAPACK info > 0
    InvalidArgument,       // LAPACK info < 0: the index of the bad argument
    InvalidShape,          // an order LAPACK's 32-bit integers cannot address
    RhsMismatch,           // solve_general with a right-hand side of the wrong length
  };
  Kind kind;
  long long a = 0;
  long long b = 0;

  std::string display() const;
};

template <typename T>
using LinalgResult = std::variant<T, LinalgFailure>;

// A = L·Lᵀ with L lower triangular; entries above the diagonal are exactly 0.
LinalgResult<Matrix> cholesky_lower(const MatrixView& a);

struct Eigh {
  Vector values;   // ascending
  Matrix vectors;  // column j belongs to values[j]
};
// Symmetric eigendecomposition (dsyev, JOBZ = 'V'); reads one triangle of A.
LinalgResult<Eigh> eigh(const MatrixView& a);

// A·x = b by LU with partial pivoting (dgetrf + dgetrs).
LinalgResult<Vector> solve_general(const MatrixView& a, const VectorView& b);

template <typename T>
bool failed(const LinalgResult<T>& r) {
  return r.index() == 1;
}
template <typename T>
const LinalgFailure& failure(const LinalgResult<T>& r) {
  return std::get<1>(r);
}
template <typename T>
T take(LinalgResult<T>&& r) {
  return std::get<0>(std::move(r));
}

}  // namespace vorsk
