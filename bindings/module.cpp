// The extension module: the fitted-model class, then the two fit functions.

#include "common.hpp"

PYBIND11_MODULE(_vorsk_native_module, m) {
  namespace py = pybind11;
  // Each docstring opens with its own text signature for inspect.signature.
  py::options options;
  options.disable_function_signatures();
  m.doc() = "Penalised generalised additive models: the compiled core of vorsk.";
  vorsk::py_bindings::register_fitted_gam(m);
  vorsk::py_bindings::register_fit(m);
  vorsk::py_bindings::register_fit_additive(m);
}

// The module's one exported symbol. The core and pybind11 keep per-process state that
// a second interpreter cannot share, so any interpreter but the main one is refused.
extern "C" PYBIND11_EXPORT PyObject* PyInit__vorsk_native() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "vorsk._vorsk_native can only be imported in the main interpreter, not a sub-interpreter");
    return nullptr;
  }
  return PyInit__vorsk_native_module();
}
