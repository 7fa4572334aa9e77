#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"

namespace quellix::assaycore {

void bind_ic_func(py::module_& m) { (void)m; }

}  // namespace quellix::assaycore
