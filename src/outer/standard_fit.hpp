#pragma once
// The fit routine of the seven standard families: request checks, then the outer
// smoothing-parameter iteration and the summaries of the final inner fit.

#include <cstdint>
#include <optional>

#include "common/format.hpp"
#include "common/result.hpp"
#include "design/design.hpp"
#include "family/family.hpp"
#include "fit/fitted.hpp"

namespace vorsk {

// Row counts first, then the weights' length.
inline Status check_rows(std::uint64_t n, const VectorView& y, const std::optional<Vector>& weights) {
  if (n != static_cast<std::uint64_t>(y.size()))
    return VorskError::invalid_parameter(
        fmt("x and y must have the same number of rows; got x.nrows()={}, y.len()={}", n, y.size()));
  if (weights && static_cast<std::uint64_t>(weights->size()) != n)
    return VorskError::invalid_parameter(fmt(
        "prior_weights length must match x rows; got weights.len()={}, x.nrows()={}", weights->size(), n));
  return Status::success();
}

template <Family F>
Result<FittedGam> fit_standard(Design design, std::uint64_t n, const VectorView& y,
                               const std::optional<Vector>& weights) {
  VORSK_RETURN_IF_ERROR(check_rows(n, y, weights));
  VORSK_RETURN_IF_ERROR(check_response<F>(y));
  (void)design;
  return VorskError::invalid_parameter(
      fmt("fitting the {} family is not available yet", F::kName));
}

}  // namespace vorsk
