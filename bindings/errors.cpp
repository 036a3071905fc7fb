#include "common.hpp"

namespace vorsk::py_bindings {

void raise(PyObject* exception_type, const std::string& message) {
  // Built from the full byte string: messages may echo caller text with embedded NULs.
  py::str text(message);
  PyErr_SetObject(exception_type, text.ptr());
  throw py::error_already_set();
}

void raise_error(const VorskError& error) {
  switch (error.kind()) {
    case VorskError::Kind::InvalidParameter:
      raise(PyExc_ValueError, error.message());
    case VorskError::Kind::SingularSystem:
    case VorskError::Kind::NotConverged:
    case VorskError::Kind::Linalg:
    case VorskError::Kind::Internal:
      raise(PyExc_RuntimeError, error.display());
  }
  raise(PyExc_RuntimeError, error.display());
}

}  // namespace vorsk::py_bindings
