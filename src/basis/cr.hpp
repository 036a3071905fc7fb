#pragma once
// Cubic regression spline of one input column, parametrised by its values at k knots.
// Basis function j is the natural cubic spline that is 1 at knot j and 0 at the other
// knots, continued linearly outside [t_0, t_{k-1}]. The penalty is the integrated
// squared second derivative, S = Dᵀ·B⁻¹·D in the knot values.

#include <cstdint>
#include <vector>

#include "common/result.hpp"
#include "linalg/types.hpp"

namespace vorsk {

// Largest basis dimension a spline accepts: the k × k penalty and its
// eigendecomposition stay within memory and time a fit can afford.
inline constexpr std::uint64_t kMaxSplineDimension = 10000;

class CrBasis {
 public:
  // Validates the knots: at least 3, strictly increasing (NaN fails).
  static Result<CrBasis> create(Vector knots);

  const Vector& knots() const { return knots_; }
  Index size() const { return knots_.size(); }

  // n × k basis matrix at the inputs x. Never fails.
  Matrix basis_matrix(const VectorView& x) const;

  // [S], the k × k penalty.
  std::vector<Matrix> penalties() const;

 private:
  explicit CrBasis(Vector knots) : knots_(std::move(knots)) {}
  Vector knots_;
};

// Knots at the quantiles of the distinct values of x (or evenly spaced when there are
// fewer than k distinct values), validated.
Result<CrBasis> place_knots(const VectorView& x, std::uint64_t k);

}  // namespace vorsk
