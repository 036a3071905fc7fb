#include "common.hpp"

namespace vorsk::py_bindings {

namespace {

const Signature kFitAdditiveSignature{"fit_additive", {"family_name", "x", "y", "terms", "weights"}, 4};

constexpr const char* kFitAdditiveDoc =
    "fit_additive(family_name, x, y, terms, weights=None)\n--\n\n"
    "Fit an additive model y ~ s(x_a) + s(x_b) + ... with one smoothing parameter per penalty.\n\n"
    "Not available yet in this version: raises ValueError after checking its arguments.";

py::object fit_additive_entry(const py::args& args, const py::kwargs& kwargs) {
  const auto& sig = kFitAdditiveSignature;
  const auto bound = bind_arguments(sig, args, kwargs);
  (void)to_string(bound[0], sig, "family_name");
  const MatrixArg x(bound[1], sig, "x");
  const VectorArg y(bound[2], sig, "y");
  if (!PyList_Check(bound[3].ptr()))
    raise(PyExc_TypeError, "fit_additive() argument 'terms' must be list, not " +
                               std::string(Py_TYPE(bound[3].ptr())->tp_name));
  (void)to_optional_vector_copy(bound[4], sig, "weights");
  raise(PyExc_ValueError, "fit_additive is not available yet");
}

}  // namespace

void register_fit_additive(py::module_& m) {
  m.def("fit_additive", &fit_additive_entry, kFitAdditiveDoc);
}

}  // namespace vorsk::py_bindings
