#pragma once
// The additive fit driver: a sum of smooth terms under one of the standard families.

#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "design/design.hpp"
#include "fit/fitted.hpp"

namespace vorsk {

// Refuses every family but the seven standard ones before building the design; the
// design's errors come before the row and weight checks of the fit routine.
Result<FittedGam> fit_additive_core(const std::string& family_name, const MatrixView& x,
                                    const VectorView& y, const std::optional<Vector>& weights,
                                    const std::vector<TermSpec>& terms);

}  // namespace vorsk
