#include <climits>

#include "common.hpp"

namespace vorsk::py_bindings {

namespace {

std::string quoted_list(const std::vector<std::string_view>& names) {
  auto q = [](std::string_view s) { return "'" + std::string(s) + "'"; };
  if (names.size() == 1) return q(names[0]);
  if (names.size() == 2) return q(names[0]) + " and " + q(names[1]);
  std::string out;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) out += q(names[i]) + ", ";
  return out + "and " + q(names.back());
}

std::string prefix(const Signature& sig, std::string_view arg) {
  return std::string(sig.function) + "() argument '" + std::string(arg) + "'";
}

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

// Re-raises the pending Python error with the argument's name in front, keeping its type.
[[noreturn]] void reraise_named(const Signature& sig, std::string_view arg) {
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  std::string detail = value ? py::str(value).cast<std::string>() : std::string();
  PyObject* kind = type ? type : PyExc_TypeError;
  Py_INCREF(kind);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(trace);
  py::object keep = py::reinterpret_steal<py::object>(kind);
  raise(kind, prefix(sig, arg) + ": " + detail);
}

}  // namespace

std::vector<py::handle> bind_arguments(const Signature& sig, const py::args& args,
                                       const py::kwargs& kwargs) {
  const std::size_t total = sig.params.size();
  const std::string fn = std::string(sig.function) + "()";
  if (args.size() > total) {
    const std::string takes = sig.required == total
                                  ? std::to_string(total)
                                  : "from " + std::to_string(sig.required) + " to " + std::to_string(total);
    raise(PyExc_TypeError, fn + " takes " + takes + " positional argument" + (total == 1 ? "" : "s") +
                               " but " + std::to_string(args.size()) +
                               (args.size() == 1 ? " was" : " were") + " given");
  }
  std::vector<py::handle> bound(total);
  for (std::size_t i = 0; i < args.size(); ++i) bound[i] = args[i];
  for (auto item : kwargs) {
    const std::string key = py::str(item.first).cast<std::string>();
    std::size_t index = total;
    for (std::size_t i = 0; i < total; ++i)
      if (sig.params[i] == key) index = i;
    if (index == total) raise(PyExc_TypeError, fn + " got an unexpected keyword argument '" + key + "'");
    if (bound[index]) raise(PyExc_TypeError, fn + " got multiple values for argument '" + key + "'");
    bound[index] = item.second;
  }
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < sig.required; ++i)
    if (!bound[i]) missing.push_back(sig.params[i]);
  if (!missing.empty())
    raise(PyExc_TypeError, fn + " missing " + std::to_string(missing.size()) + " required positional argument" +
                               (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
  return bound;
}

std::string to_string(py::handle value, const Signature& sig, std::string_view arg) {
  if (!PyUnicode_Check(value.ptr()))
    raise(PyExc_TypeError, prefix(sig, arg) + " must be str, not " + type_name(value));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (!data) reraise_named(sig, arg);
  return std::string(data, static_cast<std::size_t>(size));
}

std::uint64_t to_u64(py::handle value, const Signature& sig, std::string_view arg) {
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) {
    PyErr_Clear();
    raise(PyExc_TypeError, prefix(sig, arg) + " must be an integer, not " + type_name(value));
  }
  const unsigned long long out = PyLong_AsUnsignedLongLong(index.ptr());
  if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) reraise_named(sig, arg);
  return out;
}

double to_f64(py::handle value, const Signature& sig, std::string_view arg) {
  const double out = PyFloat_AsDouble(value.ptr());
  if (out == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise(PyExc_TypeError, prefix(sig, arg) + " must be a real number, not " + type_name(value));
    }
    reraise_named(sig, arg);
  }
  return out;
}

std::optional<double> to_optional_f64(py::handle value, const Signature& sig, std::string_view arg) {
  if (!value || value.is_none()) return std::nullopt;
  return to_f64(value, sig, arg);
}

std::optional<std::uint64_t> to_optional_u64(py::handle value, const Signature& sig,
                                             std::string_view arg) {
  if (!value || value.is_none()) return std::nullopt;
  return to_u64(value, sig, arg);
}

namespace {

// The array itself when it is a float64 array of `ndim` dimensions; TypeError otherwise.
py::array checked_array(py::handle value, int ndim, const Signature& sig, std::string_view arg) {
  const std::string want = std::string("a ") + std::to_string(ndim) + "-D float64 NumPy array";
  if (!py::isinstance<py::array>(value))
    raise(PyExc_TypeError, prefix(sig, arg) + " must be " + want + ", not " + type_name(value));
  auto array = py::reinterpret_borrow<py::array>(value);
  if (array.ndim() != ndim)
    raise(PyExc_TypeError, prefix(sig, arg) + " must be " + want + "; got an array of " +
                               std::to_string(array.ndim()) + " dimension" + (array.ndim() == 1 ? "" : "s"));
  if (!array.dtype().equal(py::dtype::of<double>()))
    raise(PyExc_TypeError, prefix(sig, arg) + " must be " + want + "; got dtype " +
                               py::str(array.dtype()).cast<std::string>());
  // Eigen views need non-negative strides that are whole elements on an aligned base.
  bool viewable = reinterpret_cast<std::uintptr_t>(array.data()) % alignof(double) == 0;
  for (int d = 0; d < ndim; ++d)
    viewable = viewable && array.strides(d) >= 0 && array.strides(d) % static_cast<py::ssize_t>(sizeof(double)) == 0;
  if (!viewable)
    array = py::module_::import("numpy").attr("ascontiguousarray")(array).cast<py::array>();
  return array;
}

py::ssize_t element_stride(const py::array& array, int dim) {
  return array.strides(dim) / static_cast<py::ssize_t>(sizeof(double));
}

}  // namespace

MatrixArg::MatrixArg(py::handle value, const Signature& sig, std::string_view arg)
    : array_(checked_array(value, 2, sig, arg)),
      map_(static_cast<const double*>(array_.data()), array_.shape(0), array_.shape(1),
           Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>(element_stride(array_, 0),
                                                         element_stride(array_, 1))) {}

VectorArg::VectorArg(py::handle value, const Signature& sig, std::string_view arg)
    : array_(checked_array(value, 1, sig, arg)),
      map_(static_cast<const double*>(array_.data()), array_.shape(0),
           Eigen::InnerStride<Eigen::Dynamic>(element_stride(array_, 0))) {}

std::optional<Vector> to_optional_vector_copy(py::handle value, const Signature& sig,
                                              std::string_view arg) {
  if (!value || value.is_none()) return std::nullopt;
  VectorArg view(value, sig, arg);
  return Vector(view.view());
}

py::array_t<double> to_numpy(const Vector& v) {
  py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.data(), v.data() + v.size(), out.mutable_data());
  return out;
}

py::array_t<double> to_numpy(const Matrix& m) {
  py::array_t<double> out({static_cast<py::ssize_t>(m.rows()), static_cast<py::ssize_t>(m.cols())});
  std::copy(m.data(), m.data() + m.size(), out.mutable_data());
  return out;
}

}  // namespace vorsk::py_bindings
