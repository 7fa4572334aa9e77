#include "common/pybind11.hpp"
#include "operators/bindings.hpp"
#include "operators/boundary.hpp"
#include "operators/core/group.hpp"

#include <cstdint>
#include <string>

namespace quellix::operators {

namespace {

// Codes index per-row scratch tables, so an absurd code is refused here rather than allocated.
std::ptrdiff_t checked_group_count(const core::Matrix& groups) {
    const std::ptrdiff_t count = core::group_count(groups);
    if (count >= 0) return count;
    for (std::ptrdiff_t r = 0; r < groups.rows; ++r) {
        const double* g = groups.row(r);
        for (std::ptrdiff_t j = 0; j < groups.cols; ++j) {
            if (g[j] >= 1 << 24 || std::isinf(g[j]) || (g[j] >= 0 && g[j] != std::floor(g[j]))) {
                throw py::value_error("groups must hold integer codes from 0 to 2**24 - 1 (NaN or negative: none), got " +
                                      py::repr(py::float_(g[j])).cast<std::string>());
            }
        }
    }
    throw py::value_error("groups must hold integer codes from 0 to 2**24 - 1 (NaN or negative: none)");
}

template <void (*Kernel)(const core::Matrix&, const core::Matrix&, std::ptrdiff_t, double*)>
Float64 grouped(const py::handle& x, const py::handle& groups) {
    Input in = matrix_argument(x, "x");
    Input codes = matrix_argument(groups, "groups");
    check_same_shape(in, codes, "x", "groups");
    const std::ptrdiff_t n_groups = checked_group_count(codes.view);
    Float64 out = result_like(in, in.view.rows);
    double* o = out.mutable_data();
    py::gil_scoped_release release;
    Kernel(in.view, codes.view, n_groups, o);
    return out;
}

}  // namespace

void bind_group(py::module_& m) {
    m.def("group_demean", &grouped<core::group_demean_rows>,
          "x minus the mean of its group on its row (NaN skipped); no group (NaN or negative code) gives NaN.",
          py::arg("x"), py::arg("groups"));
    m.def("group_rank", &grouped<core::group_rank_rows>,
          "Percentage rank of x within its group on its row, ties averaged; no group gives NaN.",
          py::arg("x"), py::arg("groups"));
}

}  // namespace quellix::operators
