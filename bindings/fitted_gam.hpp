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

}  // namespace vorsk::py_bindings
