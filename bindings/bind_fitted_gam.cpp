#include "fitted_gam.hpp"

namespace vorsk::py_bindings {

py::object wrap_fitted(FittedGam record) {
  return py::cast(FittedGamObject{std::move(record)}, py::return_value_policy::move);
}

void register_fitted_gam(py::module_& m) {
  const std::string qualified =
      m.attr("__name__").cast<std::string>() + ".FittedGam";
  py::class_<FittedGamObject>(m, "FittedGam",
                              "A fitted penalised GAM: coefficients, smoothing parameters, "
                              "summaries, covariance and the predictor that rebuilds the model "
                              "matrix at new inputs. Created only by fit, fit_additive and "
                              "FittedGam.deserialize.")
      .def(py::init([qualified](const py::args&, const py::kwargs&) -> FittedGamObject* {
        raise(PyExc_TypeError, "cannot create '" + qualified + "' instances");
      }));
}

}  // namespace vorsk::py_bindings
