#pragma once
// The fitted-model record every fit returns. Built once by a driver (or the saved-fit
// reader) and only read afterwards.

#include <cstdint>

#include "design/design.hpp"
#include "family/link.hpp"
#include "linalg/types.hpp"

namespace vorsk {

struct FittedGam {
  Vector beta;          // p; element 0 is the intercept
  Vector rho;           // one log smoothing parameter per penalty
  Vector lambda;        // exp(rho)
  double scale = 1.0;   // dispersion used for vcov
  double edf_total = 0.0;
  Vector edf_per_term;  // one per penalty
  std::uint64_t n = 0;
  std::uint64_t n_iters = 0;
  bool converged = false;
  double reml_value = 0.0;
  Predictor predictor;
  Matrix vcov;          // p × p
  LinkKind link_kind = LinkKind::Identity;
  Vector shape_params;  // possibly empty
};

}  // namespace vorsk
