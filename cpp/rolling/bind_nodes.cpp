#include "common/pybind11.hpp"
#include "rolling/bindings.hpp"

namespace quellix::rolling {

void bind_nodes(py::module_& m) { (void)m; }

}  // namespace quellix::rolling
