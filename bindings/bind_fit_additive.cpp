#include "common.hpp"
#include "fit/additive_driver.hpp"
#include "fitted_gam.hpp"

namespace vorsk::py_bindings {

namespace {

const Signature kFitAdditiveSignature{"fit_additive", {"family_name", "x", "y", "terms", "weights"}, 4};

constexpr const char* kFitAdditiveDoc =
    "fit_additive(family_name, x, y, terms, weights=None)\n--\n\n"
    "Fit an additive model y ~ s(x_a) + s(x_b) + ... with one smoothing parameter per penalty.\n\n"
    "terms is a list of tuples, one per term:\n"
    "  (col, basis_name, k)            basis_name \"cr\" or \"cr_stable\": a spline of column col\n"
    "                                  with k basis functions (10 when k is missing)\n"
    "  (col, \"re\")                     a random effect of column col (a third element is ignored)\n"
    "  ((col_a, col_b), \"te\", (k_a, k_b))\n"
    "                                  a tensor-product smooth of two columns (k 10 x 10 when missing)\n"
    "Term strings exist only here: the core receives a typed list of terms.\n\n"
    "family_name accepts the names of fit except the shape-aware families (tdist, scat,\n"
    "negbin, tweedie, ocat, elf, quantile); those fail with a message pointing to vorsk.fit(...).";

[[noreturn]] void term_error(const std::string& message) { raise(PyExc_ValueError, message); }

std::string repr_of(py::handle value) { return py::repr(value).cast<std::string>(); }

// An element of a term converted like `k`; the conversion's own error propagates.
std::uint64_t term_integer(py::handle value, std::size_t term, int element) {
  const Signature sig{"fit_additive", {}, 0};
  const std::string arg = "terms[" + std::to_string(term) + "][" + std::to_string(element) + "]";
  return to_u64(value, sig, arg);
}

// (col_a, col_b) or (k_a, k_b): a tuple of exactly two integers.
std::pair<std::uint64_t, std::uint64_t> integer_pair(py::handle value, std::size_t term, int element) {
  auto pair = py::reinterpret_borrow<py::tuple>(value);
  return {term_integer(pair[0], term, element), term_integer(pair[1], term, element)};
}

TermSpec parse_term(py::handle entry, std::size_t i) {
  const std::string index = std::to_string(i);
  if (!PyTuple_Check(entry.ptr()))
    term_error("fit_additive: term " + index + " must be a tuple; got " + repr_of(entry));
  auto term = py::reinterpret_borrow<py::tuple>(entry);
  if (term.size() < 2) term_error("fit_additive: term " + index + " tuple must have at least 2 elements");
  if (!PyUnicode_Check(term[1].ptr()))
    raise(PyExc_TypeError, "fit_additive() argument 'terms[" + index + "][1]' must be str, not " +
                               std::string(Py_TYPE(term[1].ptr())->tp_name));
  const std::string basis = to_string(term[1], Signature{"fit_additive", {}, 0}, "terms[" + index + "][1]");

  if (basis == "te") {
    if (!PyTuple_Check(term[0].ptr()))
      term_error("fit_additive: tensor term " + index + " first element must be a (col_a, col_b) tuple");
    if (py::reinterpret_borrow<py::tuple>(term[0]).size() != 2)
      term_error("fit_additive: tensor term " + index + " cols tuple must have exactly 2 elements");
    const auto [col_a, col_b] = integer_pair(term[0], i, 0);
    std::uint64_t k_a = 10, k_b = 10;
    if (term.size() >= 3) {
      if (!PyTuple_Check(term[2].ptr()))
        term_error("fit_additive: tensor term " + index + " k must be a (k_a, k_b) tuple");
      if (py::reinterpret_borrow<py::tuple>(term[2]).size() != 2)
        term_error("fit_additive: tensor term " + index + " k tuple must have exactly 2 elements");
      std::tie(k_a, k_b) = integer_pair(term[2], i, 2);
    }
    return TensorTermSpec{col_a, col_b, k_a, k_b};
  }

  // Any failure to read the column index, whatever its cause, is reported as one message.
  std::uint64_t col = 0;
  {
    py::object index_value = py::reinterpret_steal<py::object>(PyNumber_Index(term[0].ptr()));
    const unsigned long long v = index_value ? PyLong_AsUnsignedLongLong(index_value.ptr()) : 0;
    if (!index_value || (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      PyErr_Clear();
      term_error("fit_additive: univariate term " + index + " first element must be an integer column index");
    }
    col = v;
  }
  if (basis != "cr" && basis != "cr_stable" && basis != "re")
    term_error("fit_additive: term " + index + " basis must be 'cr', 'cr_stable', 're', or 'te'; got " + basis);
  if (basis == "re") return ReTermSpec{col};
  const std::uint64_t k = term.size() >= 3 ? term_integer(term[2], i, 2) : 10;
  if (basis == "cr") return CrTermSpec{col, k};
  return CrStableTermSpec{col, k};
}

py::object fit_additive_entry(const py::args& args, const py::kwargs& kwargs) {
  const auto& sig = kFitAdditiveSignature;
  const auto bound = bind_arguments(sig, args, kwargs);
  const std::string family_name = to_string(bound[0], sig, "family_name");
  const MatrixArg x(bound[1], sig, "x");
  const VectorArg y(bound[2], sig, "y");
  if (!PyList_Check(bound[3].ptr()))
    raise(PyExc_TypeError, "fit_additive() argument 'terms' must be list, not " +
                               std::string(Py_TYPE(bound[3].ptr())->tp_name));
  const auto list = py::reinterpret_borrow<py::list>(bound[3]);
  const std::optional<Vector> weights = to_optional_vector_copy(bound[4], sig, "weights");

  // Read by index up to the length at the time of the call; a term's __index__ or
  // __repr__ may change the list, and a missing entry then raises IndexError.
  const std::size_t count = list.size();
  std::vector<TermSpec> terms;
  for (std::size_t i = 0; i < count; ++i) {
    py::object entry = py::reinterpret_borrow<py::object>(PyList_GetItem(list.ptr(), static_cast<Py_ssize_t>(i)));
    if (!entry) throw py::error_already_set();
    terms.push_back(parse_term(entry, i));
  }
  if (terms.empty()) raise(PyExc_ValueError, "fit_additive: terms list must be non-empty");
  return wrap_fitted(unwrap(fit_additive_core(family_name, x.view(), y.view(), weights, terms)));
}

}  // namespace

void register_fit_additive(py::module_& m) {
  m.def("fit_additive", &fit_additive_entry, kFitAdditiveDoc);
}

}  // namespace vorsk::py_bindings
