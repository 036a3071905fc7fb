#include "common.hpp"
#include "fit/driver.hpp"
#include "fitted_gam.hpp"

namespace vorsk::py_bindings {

namespace {

const Signature kFitSignature{
    "fit",
    {"family_name", "x", "y", "weights", "k", "design", "theta", "nu", "sigma2", "tweedie_p",
     "tweedie_phi", "r", "tau", "elf_sigma", "elf_lambda"},
    3};

constexpr const char* kFitDoc =
    "fit(family_name, x, y, weights=None, k=10, design=\"cr\", theta=None, nu=None, sigma2=None, "
    "tweedie_p=None, tweedie_phi=None, r=None, tau=None, elf_sigma=None, elf_lambda=None)\n--\n\n"
    "Fit one smooth of column 0 of x with automatic (REML) smoothing selection.\n\n"
    "x is a 2-D float64 array (n, c), y a 1-D float64 array (n,), weights None or a 1-D\n"
    "float64 array of prior weights. Arrays are never converted: pass float64 NumPy arrays.\n\n"
    "family_name (exact, case-sensitive), with the arguments each family reads:\n"
    "  \"gaussian\"                               identity link\n"
    "  \"bernoulli\", \"binomial\"                  logit link\n"
    "  \"poisson\"                                log link\n"
    "  \"quasipoisson\"                           log link, estimated dispersion\n"
    "  \"quasibinomial\"                          logit link, estimated dispersion\n"
    "  \"gamma\"                                  log link\n"
    "  \"inverse_gaussian\", \"inverse.gaussian\"   log link\n"
    "  \"negbin\", \"nb\"                           log link; theta (default 2.0)\n"
    "  \"tdist\", \"scat\"                          identity link; nu (5.0), sigma2 (1.0)\n"
    "  \"tweedie\", \"tw\"                          log link; tweedie_p (1.5), tweedie_phi (1.0)\n"
    "  \"ocat\"                                   ordered categories; r = number of categories (required, >= 3)\n"
    "  \"elf\", \"quantile\"                        quantile regression; tau (0.5), elf_sigma and\n"
    "                                           elf_lambda (0 = tuned automatically)\n\n"
    "design: \"cr\" (cubic regression spline with k basis functions, the default),\n"
    "\"re\" (random effect, one coefficient per distinct value; k ignored) or\n"
    "\"cr_stable\" (cubic regression spline with a stable reparametrisation).\n\n"
    "Returns a FittedGam. Invalid input raises ValueError; numerical failures raise RuntimeError.";

py::object fit_entry(const py::args& args, const py::kwargs& kwargs) {
  const auto& sig = kFitSignature;
  const auto bound = bind_arguments(sig, args, kwargs);
  // Converted one by one in parameter order; the first failure wins.
  const std::string family_name = to_string(bound[0], sig, "family_name");
  const MatrixArg x(bound[1], sig, "x");
  const VectorArg y(bound[2], sig, "y");
  std::optional<Vector> weights = to_optional_vector_copy(bound[3], sig, "weights");
  FitOptions options;
  if (bound[4]) options.k = to_u64(bound[4], sig, "k");
  if (bound[5]) options.design = to_string(bound[5], sig, "design");
  options.theta = to_optional_f64(bound[6], sig, "theta");
  options.nu = to_optional_f64(bound[7], sig, "nu");
  options.sigma2 = to_optional_f64(bound[8], sig, "sigma2");
  options.tweedie_p = to_optional_f64(bound[9], sig, "tweedie_p");
  options.tweedie_phi = to_optional_f64(bound[10], sig, "tweedie_phi");
  options.r = to_optional_u64(bound[11], sig, "r");
  options.tau = to_optional_f64(bound[12], sig, "tau");
  options.elf_sigma = to_optional_f64(bound[13], sig, "elf_sigma");
  options.elf_lambda = to_optional_f64(bound[14], sig, "elf_lambda");
  return wrap_fitted(unwrap(fit_single(family_name, x.view(), y.view(), weights, options)));
}

}  // namespace

void register_fit(py::module_& m) {
  m.def("fit", &fit_entry, kFitDoc);
}

}  // namespace vorsk::py_bindings
