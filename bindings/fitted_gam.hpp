#pragma once

#include "common.hpp"
#include "fit/fitted.hpp"

namespace vorsk::py_bindings {

// The Python FittedGam owns its record by value; nothing in it changes after creation.
struct FittedGamObject {
  FittedGam record;
};

// A new Python FittedGam owning `record`.
py::object wrap_fitted(FittedGam record);

// serialize, deserialize and __reduce__ (the saved-fit frame and pickling).
void add_persistence_methods(py::class_<FittedGamObject>& cls);

}  // namespace vorsk::py_bindings
