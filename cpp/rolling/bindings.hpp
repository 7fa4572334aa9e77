#pragma once

#include "common/pybind11.hpp"

namespace quellix::rolling {

void bind_nodes(py::module_& m);      // RollingWindowFactor, CombinedRollingWindowFactor
void bind_kernels(py::module_& m);    // the numeric kernels
void bind_operators(py::module_& m);  // upper-case operators and their aliases

}  // namespace quellix::rolling
