#include "common/pybind11.hpp"
#include "operators/bindings.hpp"

PYBIND11_MODULE(_operators, m) {
    m.doc() = "Kernels of the cross-sectional, group and alpha time-series operators over dates x instruments arrays.";
    quellix::operators::bind_cross_section(m);
    quellix::operators::bind_group(m);
    quellix::operators::bind_time_series(m);
    quellix::operators::bind_buffers(m);
}
