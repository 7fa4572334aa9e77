#include "common/pybind11.hpp"
#include "rolling/bindings.hpp"

namespace quellix::rolling {

void bind_operators(py::module_& m) { (void)m; }

}  // namespace quellix::rolling
