#pragma once
// The single-smooth fit driver: the one place where a family name and a design name
// become typed values. Checks run in a fixed order and the first failure wins.

#include <cstdint>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "fit/fitted.hpp"
#include "linalg/types.hpp"

namespace vorsk {

// The optional arguments of `fit`; absent values take each family's defaults.
struct FitOptions {
  std::uint64_t k = 10;
  std::string design = "cr";
  std::optional<double> theta;
  std::optional<double> nu;
  std::optional<double> sigma2;
  std::optional<double> tweedie_p;
  std::optional<double> tweedie_phi;
  std::optional<std::uint64_t> r;
  std::optional<double> tau;
  std::optional<double> elf_sigma;
  std::optional<double> elf_lambda;
};

// One smooth of column 0 of x. x and y are read in place; the weights are owned.
Result<FittedGam> fit_single(const std::string& family_name, const MatrixView& x,
                             const VectorView& y, const std::optional<Vector>& weights,
                             const FitOptions& options);

}  // namespace vorsk
