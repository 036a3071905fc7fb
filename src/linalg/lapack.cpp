#include "linalg/lapack.hpp"

#include <complex>
#include <limits>
#include <vector>

#include "common/format.hpp"

#define lapack_complex_float std::complex<float>
#define lapack_complex_double std::complex<double>
#include <lapack.h>

namespace vorsk {

std::string LinalgFailure::display() const {
  switch (kind) {
    case Kind::NotSquare:
      return fmt("Not square: rows({}) != cols({})", a, b);
    case Kind::ComputationalFailure:
      return fmt("Computational failure in LAPACK subroutine: return_code = {}", a);
    case Kind::InvalidArgument:
      return fmt("Invalid value for LAPACK subroutine {}-th argument", a);
    case Kind::InvalidShape:
      return "Invalid shape";
    case Kind::RhsMismatch:
      return "The length of `rhs` must be compatible with the shape of the factored matrix.";
  }
  return "Invalid shape";
}

namespace {

LinalgFailure from_info(lapack_int info) {
  if (info > 0) return {LinalgFailure::Kind::ComputationalFailure, info, 0};
  return {LinalgFailure::Kind::InvalidArgument, -static_cast<long long>(info), 0};
}

// Checks squareness and that the order fits LAPACK's integers.
bool square_order(const MatrixView& a, lapack_int& n, LinalgFailure& why) {
  if (a.rows() != a.cols()) {
    why = {LinalgFailure::Kind::NotSquare, a.rows(), a.cols()};
    return false;
  }
  if (a.rows() > std::numeric_limits<lapack_int>::max()) {
    why = {LinalgFailure::Kind::InvalidShape};
    return false;
  }
  n = static_cast<lapack_int>(a.rows());
  return true;
}

}  // namespace

LinalgResult<Matrix> cholesky_lower(const MatrixView& a) {
  lapack_int n = 0;
  LinalgFailure why{};
  if (!square_order(a, n, why)) return why;
  ColMajorMatrix work = a;
  lapack_int info = 0;
  const lapack_int lda = std::max<lapack_int>(1, n);
  if (n > 0) LAPACK_dpotrf("L", &n, work.data(), &lda, &info);
  if (info != 0) return from_info(info);
  Matrix l = work;
  l.triangularView<Eigen::StrictlyUpper>().setZero();
  return l;
}

LinalgResult<Eigh> eigh(const MatrixView& a) {
  lapack_int n = 0;
  LinalgFailure why{};
  if (!square_order(a, n, why)) return why;
  ColMajorMatrix work = a;
  Vector values(n);
  if (n == 0) return Eigh{values, Matrix(0, 0)};
  const lapack_int lda = n;
  lapack_int info = 0;
  lapack_int lwork = -1;
  double optimal = 0.0;
  LAPACK_dsyev("V", "L", &n, work.data(), &lda, values.data(), &optimal, &lwork, &info);
  if (info != 0) return from_info(info);
  lwork = std::max<lapack_int>(static_cast<lapack_int>(optimal), std::max<lapack_int>(1, 3 * n - 1));
  std::vector<double> workspace(static_cast<std::size_t>(lwork));
  LAPACK_dsyev("V", "L", &n, work.data(), &lda, values.data(), workspace.data(), &lwork, &info);
  if (info != 0) return from_info(info);
  return Eigh{std::move(values), Matrix(work)};
}

LinalgResult<Vector> solve_general(const MatrixView& a, const VectorView& b) {
  lapack_int n = 0;
  LinalgFailure why{};
  if (!square_order(a, n, why)) return why;
  if (b.size() != a.rows()) return LinalgFailure{LinalgFailure::Kind::RhsMismatch};
  if (n == 0) return Vector(0);
  ColMajorMatrix work = a;
  Vector x = b;
  std::vector<lapack_int> pivots(static_cast<std::size_t>(n));
  const lapack_int lda = n;
  lapack_int info = 0;
  LAPACK_dgetrf(&n, &n, work.data(), &lda, pivots.data(), &info);
  if (info != 0) return from_info(info);
  const lapack_int nrhs = 1;
  LAPACK_dgetrs("N", &n, &nrhs, work.data(), &lda, pivots.data(), x.data(), &lda, &info);
  if (info != 0) return from_info(info);
  return x;
}

}  // namespace vorsk
