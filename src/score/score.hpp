#pragma once
// Results of one evaluation of a smoothing criterion.

#include "linalg/types.hpp"

namespace vorsk {

struct ScoreEval {
  double value = 0.0;
  Vector gradient;
};

struct ScoreWithHessian {
  double value = 0.0;
  Vector gradient;
  Matrix hessian;  // symmetric, from central differences of the gradient
};

}  // namespace vorsk
