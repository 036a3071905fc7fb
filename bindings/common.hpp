#pragma once
// The only door to Python: argument binding in the interpreter's own style, exact
// conversions without coercion, and the mapping of VorskError to exceptions.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "linalg/types.hpp"

namespace vorsk::py_bindings {

namespace py = pybind11;

[[noreturn]] void raise(PyObject* exception_type, const std::string& message);
[[noreturn]] void raise_error(const VorskError& error);

template <typename T>
T unwrap(Result<T>&& result) {
  if (!result.ok()) raise_error(result.error());
  return std::move(result).value();
}

// Parameters of one Python-facing function, in order; the first `required` of them
// have no default.
struct Signature {
  std::string_view function;  // as shown in messages, e.g. "fit"
  std::vector<std::string_view> params;
  std::size_t required;
};

// Binds positional and keyword arguments to the parameters. An omitted parameter is
// an empty handle. Binding failures raise TypeError worded as the interpreter words
// them for functions defined in Python.
std::vector<py::handle> bind_arguments(const Signature& sig, const py::args& args,
                                       const py::kwargs& kwargs);

// Conversions; `arg` names the parameter in the error message.
std::string to_string(py::handle value, const Signature& sig, std::string_view arg);
std::uint64_t to_u64(py::handle value, const Signature& sig, std::string_view arg);
double to_f64(py::handle value, const Signature& sig, std::string_view arg);
std::optional<double> to_optional_f64(py::handle value, const Signature& sig, std::string_view arg);
std::optional<std::uint64_t> to_optional_u64(py::handle value, const Signature& sig,
                                             std::string_view arg);

using StridedMatrixMap =
    Eigen::Map<const Matrix, Eigen::Unaligned, Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>>;
using StridedVectorMap = Eigen::Map<const Vector, Eigen::Unaligned, Eigen::InnerStride<Eigen::Dynamic>>;

// A float64 NumPy array of 2 dimensions, read in place. Layouts Eigen cannot view
// (negative or unaligned strides) are copied once to C order.
class MatrixArg {
 public:
  MatrixArg(py::handle value, const Signature& sig, std::string_view arg);
  const StridedMatrixMap& view() const { return map_; }

 private:
  py::array array_;
  StridedMatrixMap map_;
};

class VectorArg {
 public:
  VectorArg(py::handle value, const Signature& sig, std::string_view arg);
  const StridedVectorMap& view() const { return map_; }

 private:
  py::array array_;
  StridedVectorMap map_;
};

// None → absent; otherwise a 1-D float64 array, copied.
std::optional<Vector> to_optional_vector_copy(py::handle value, const Signature& sig,
                                              std::string_view arg);

py::array_t<double> to_numpy(const Vector& v);
py::array_t<double> to_numpy(const Matrix& m);

void register_fitted_gam(py::module_& m);
void register_fit(py::module_& m);
void register_fit_additive(py::module_& m);

}  // namespace vorsk::py_bindings
