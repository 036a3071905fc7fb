// The extension module: the fitted-model class, then the two fit functions.

#include "common.hpp"

PYBIND11_MODULE(_vorsk_native, m) {
  namespace py = pybind11;
  // Each docstring opens with its own text signature for inspect.signature.
  py::options options;
  options.disable_function_signatures();
  m.doc() = "Penalised generalised additive models: the compiled core of vorsk.";
  vorsk::py_bindings::register_fitted_gam(m);
  vorsk::py_bindings::register_fit(m);
  vorsk::py_bindings::register_fit_additive(m);
}
