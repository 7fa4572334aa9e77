#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"

namespace quellix::assaycore {

void bind_industry(py::module_& m) { (void)m; }

}  // namespace quellix::assaycore
