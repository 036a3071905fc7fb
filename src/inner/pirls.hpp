#pragma once
// Penalised iteratively re-weighted least squares: β̂ minimising D(β) + βᵀ·S_λ·β at fixed
// ρ, by repeated weighted least-squares solves with step halving.

#include "common/result.hpp"
#include "family/family.hpp"
#include "inner/inner_fit.hpp"

namespace vorsk {

template <Family F>
Result<InnerFit> pirls(const InnerProblem<F>& problem, const VectorView& rho);

}  // namespace vorsk
