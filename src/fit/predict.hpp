#pragma once
// Operations on a fitted record: the model matrix at new inputs, predictions on the link
// and response scales, Wald intervals for predictions and contrasts.

#include <string>
#include <vector>

#include "common/result.hpp"
#include "fit/fitted.hpp"

namespace vorsk {

// Φ⁻¹(p) for 0 < p < 1 by Acklam's rational approximation (no refinement step).
Result<double> normal_quantile(double p);

struct Interval {
  Vector mean;  // (or the contrast)
  Vector lo;
  Vector hi;
};

Result<Matrix> evaluate_lpmatrix(const FittedGam& model, const MatrixView& x_new);
Result<Vector> predict(const FittedGam& model, const MatrixView& x_new);
Result<Vector> predict_response(const FittedGam& model, const MatrixView& x_new);
Result<Interval> predict_ci(const FittedGam& model, const MatrixView& x_new, double level,
                            const std::string& scale);
Result<Interval> predict_diff(const FittedGam& model, const MatrixView& x_a, const MatrixView& x_b,
                              double level);
std::vector<ColumnRange> term_col_ranges(const FittedGam& model);

}  // namespace vorsk
