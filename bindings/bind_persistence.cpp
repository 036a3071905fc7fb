#include "fitted_gam.hpp"

namespace vorsk::py_bindings {

void add_persistence_methods(py::class_<FittedGamObject>&) {}

}  // namespace vorsk::py_bindings
