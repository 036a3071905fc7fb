#pragma once
// Methods installed as real method descriptors rather than pybind11 functions: their
// "$self"/"$cls" text signatures then read correctly through inspect.signature on both
// the class and its instances.

#include <new>
#include <stdexcept>

#include "fitted_gam.hpp"

namespace vorsk::py_bindings {

using MethodImpl = py::object (*)(const FittedGamObject&, const py::args&, const py::kwargs&);
using ClassMethodImpl = py::object (*)(py::handle cls, const py::args&, const py::kwargs&);

namespace detail {

// Turns any exception escaping a method body into the pending Python error.
inline void set_python_error() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
  }
}

inline py::kwargs as_kwargs(PyObject* kwargs) {
  return kwargs ? py::reinterpret_borrow<py::kwargs>(kwargs) : py::kwargs();
}

template <MethodImpl Impl>
PyObject* method_trampoline(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    const auto* object = py::cast<const FittedGamObject*>(py::handle(self));
    if (!object) throw py::type_error("FittedGam object is not initialised");
    return Impl(*object, py::reinterpret_borrow<py::args>(args), as_kwargs(kwargs)).release().ptr();
  } catch (...) {
    set_python_error();
    return nullptr;
  }
}

template <ClassMethodImpl Impl>
PyObject* classmethod_trampoline(PyObject* cls, PyObject* args, PyObject* kwargs) {
  try {
    return Impl(py::handle(cls), py::reinterpret_borrow<py::args>(args), as_kwargs(kwargs)).release().ptr();
  } catch (...) {
    set_python_error();
    return nullptr;
  }
}

// The method table entries live as long as the class, that is, for the process.
inline PyMethodDef* new_method_def(const char* name, PyCFunction function, int flags, const char* doc) {
  return new PyMethodDef{name, function, flags, doc};
}

}  // namespace detail

template <MethodImpl Impl>
void add_method(py::class_<FittedGamObject>& cls, const char* name, const char* doc) {
  auto* def = detail::new_method_def(
      name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::method_trampoline<Impl>)),
      METH_VARARGS | METH_KEYWORDS, doc);
  py::object descriptor = py::reinterpret_steal<py::object>(
      PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
  if (!descriptor) throw py::error_already_set();
  py::setattr(cls, name, descriptor);
}

template <ClassMethodImpl Impl>
void add_classmethod(py::class_<FittedGamObject>& cls, const char* name, const char* doc) {
  auto* def = detail::new_method_def(
      name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::classmethod_trampoline<Impl>)),
      METH_VARARGS | METH_KEYWORDS | METH_CLASS, doc);
  py::object descriptor = py::reinterpret_steal<py::object>(
      PyDescr_NewClassMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
  if (!descriptor) throw py::error_already_set();
  py::setattr(cls, name, descriptor);
}

}  // namespace vorsk::py_bindings
