#pragma once

#include "common/pybind11.hpp"

namespace quellix::operators {

void bind_cross_section(py::module_& m);  // rank, scale, zscore per date
void bind_group(py::module_& m);          // industry demeaning and ranks per date
void bind_time_series(py::module_& m);
void bind_buffers(py::module_& m);       // numpy allocator that reuses large buffers    // windowed rank, arg-extremes, covariance, correlation

}  // namespace quellix::operators
