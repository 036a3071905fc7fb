#include "fit/predict.hpp"
#include "fitted_gam.hpp"
#include "methods.hpp"

namespace vorsk::py_bindings {

namespace {

const Signature kPredictSig{"predict", {"x_new"}, 1};
const Signature kPredictResponseSig{"predict_response", {"x_new"}, 1};
const Signature kPredictCiSig{"predict_ci", {"x_new", "level", "scale"}, 1};
const Signature kPredictDiffSig{"predict_diff", {"x_a", "x_b", "level"}, 2};
const Signature kLpmatrixSig{"evaluate_lpmatrix", {"x_new"}, 1};
const Signature kNoArgsVcov{"vcov", {}, 0};
const Signature kNoArgsRanges{"term_col_ranges", {}, 0};

py::tuple interval_tuple(const Interval& interval) {
  return py::make_tuple(to_numpy(interval.mean), to_numpy(interval.lo), to_numpy(interval.hi));
}

py::object predict_method(const FittedGamObject& s, const py::args& args, const py::kwargs& kwargs) {
  const auto bound = bind_arguments(kPredictSig, args, kwargs);
  const MatrixArg x(bound[0], kPredictSig, "x_new");
  return to_numpy(unwrap(predict(s.record, x.view())));
}

py::object predict_response_method(const FittedGamObject& s, const py::args& args, const py::kwargs& kwargs) {
  const auto bound = bind_arguments(kPredictResponseSig, args, kwargs);
  const MatrixArg x(bound[0], kPredictResponseSig, "x_new");
  return to_numpy(unwrap(predict_response(s.record, x.view())));
}

py::object predict_ci_method(const FittedGamObject& s, const py::args& args, const py::kwargs& kwargs) {
  const auto& sig = kPredictCiSig;
  const auto bound = bind_arguments(sig, args, kwargs);
  const MatrixArg x(bound[0], sig, "x_new");
  const double level = bound[1] ? to_f64(bound[1], sig, "level") : 0.95;
  const std::string scale = bound[2] ? to_string(bound[2], sig, "scale") : "response";
  return interval_tuple(unwrap(predict_ci(s.record, x.view(), level, scale)));
}

py::object predict_diff_method(const FittedGamObject& s, const py::args& args, const py::kwargs& kwargs) {
  const auto& sig = kPredictDiffSig;
  const auto bound = bind_arguments(sig, args, kwargs);
  const MatrixArg a(bound[0], sig, "x_a");
  const MatrixArg b(bound[1], sig, "x_b");
  const double level = bound[2] ? to_f64(bound[2], sig, "level") : 0.95;
  return interval_tuple(unwrap(predict_diff(s.record, a.view(), b.view(), level)));
}

py::object evaluate_lpmatrix_method(const FittedGamObject& s, const py::args& args, const py::kwargs& kwargs) {
  const auto bound = bind_arguments(kLpmatrixSig, args, kwargs);
  const MatrixArg x(bound[0], kLpmatrixSig, "x_new");
  return to_numpy(unwrap(evaluate_lpmatrix(s.record, x.view())));
}

py::object vcov_method(const FittedGamObject& s, const py::args& args, const py::kwargs& kwargs) {
  (void)bind_arguments(kNoArgsVcov, args, kwargs);
  return to_numpy(s.record.vcov);
}

py::object term_col_ranges_method(const FittedGamObject& s, const py::args& args, const py::kwargs& kwargs) {
  (void)bind_arguments(kNoArgsRanges, args, kwargs);
  py::list out;
  for (const auto& [first, last] : term_col_ranges(s.record)) out.append(py::make_tuple(first, last));
  return out;
}

}  // namespace

py::object wrap_fitted(FittedGam record) {
  return py::cast(FittedGamObject{std::move(record)}, py::return_value_policy::move);
}

void register_fitted_gam(py::module_& m) {
  const std::string qualified = m.attr("__name__").cast<std::string>() + ".FittedGam";
  using Self = FittedGamObject;
  py::class_<Self> cls(m, "FittedGam",
                 "A fitted penalised GAM: coefficients, smoothing parameters, summaries,\n"
                 "covariance and the predictor that rebuilds the model matrix at new inputs.\n"
                 "Created only by fit, fit_additive and FittedGam.deserialize.");
  // Instances come only from the fit functions and deserialize, which allocate them
  // directly; calling the class, or its __new__, is refused.
  static const std::string refusal = "cannot create '" + qualified + "' instances";
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  type->tp_new = [](PyTypeObject*, PyObject*, PyObject*) -> PyObject* {
    PyErr_SetString(PyExc_TypeError, refusal.c_str());
    return nullptr;
  };
  PyType_Modified(type);

  cls.def_property_readonly("beta", [](const Self& s) { return to_numpy(s.record.beta); });
  cls.def_property_readonly(
      "rho", [](const Self& s) { return to_numpy(s.record.rho); },
      "Fitted log smoothing parameters, one per penalty: length 1 for single-smooth fits;\n"
      "for additive fits one per term, a tensor term contributing two.");
  cls.def_property_readonly(
      "lambda", [](const Self& s) { return to_numpy(s.record.lambda); },
      "Smoothing parameters lambda_j = exp(rho_j), one per penalty (reach it with\n"
      "getattr(model, \"lambda\"): lambda is a Python keyword).");
  cls.def_property_readonly(
      "edf_per_term", [](const Self& s) { return to_numpy(s.record.edf_per_term); },
      "Effective degrees of freedom per penalty; they sum to edf_total - 1 (the intercept\n"
      "is excluded).");
  cls.def_property_readonly("scale", [](const Self& s) { return s.record.scale; });
  cls.def_property_readonly("edf_total", [](const Self& s) { return s.record.edf_total; });
  cls.def_property_readonly("n", [](const Self& s) { return s.record.n; });
  cls.def_property_readonly("n_iters", [](const Self& s) { return s.record.n_iters; });
  cls.def_property_readonly("converged", [](const Self& s) { return s.record.converged; });
  cls.def_property_readonly("reml_value", [](const Self& s) { return s.record.reml_value; });
  cls.def_property_readonly(
      "shape_params", [](const Self& s) { return to_numpy(s.record.shape_params); },
      "Fitted shape parameters: empty for families without them, the thresholds for ocat,\n"
      "the log-shape parameters for the other shape-aware families.");

  add_method<&predict_method>(cls, "predict",
      "predict($self, x_new)\n--\n\n"
      "Linear predictor eta at new inputs x_new of shape (n_new, n_input_dims); returns\n"
      "an array of length n_new.");
  add_method<&predict_response_method>(cls, "predict_response",
      "predict_response($self, x_new)\n--\n\n"
      "Mean mu at new inputs: the inverse link applied to eta element by element.");
  add_method<&predict_ci_method>(cls, "predict_ci",
      "predict_ci($self, x_new, level=0.95, scale=\"response\")\n--\n\n"
      "Wald interval for predictions: (mean, lo, hi) on the requested scale, \"link\" (eta)\n"
      "or \"response\" (mu).");
  add_method<&predict_diff_method>(cls, "predict_diff",
      "predict_diff($self, x_a, x_b, level=0.95)\n--\n\n"
      "Wald interval for the contrast predict(x_a) - predict(x_b) on the eta scale:\n"
      "(diff, lo, hi). When one input has a single row it is broadcast against the other.");
  add_method<&evaluate_lpmatrix_method>(cls, "evaluate_lpmatrix",
      "evaluate_lpmatrix($self, x_new)\n--\n\n"
      "The model matrix at x_new, shape (n_new, p): column 0 is the intercept and the term\n"
      "blocks follow, for partial predictions or posterior sampling.");
  add_method<&vcov_method>(cls, "vcov",
      "vcov($self)\n--\n\n"
      "Posterior covariance of the coefficients, scale * A^-1 with A the penalised Hessian,\n"
      "shape (p, p).");
  add_method<&term_col_ranges_method>(cls, "term_col_ranges",
      "term_col_ranges($self)\n--\n\n"
      "One (first, last_exclusive) column range per term of an additive fit; [(1, p)] for a\n"
      "single-smooth fit. The intercept, column 0, lies outside every range.");
  add_persistence_methods(cls);
}

}  // namespace vorsk::py_bindings
