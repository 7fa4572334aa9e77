#include "common/pybind11.hpp"
#include "operators/bindings.hpp"
#include "operators/boundary.hpp"
#include "operators/core/cross_section.hpp"

namespace quellix::operators {

namespace {

Float64 rank(const py::handle& x) {
    Input in = matrix_argument(x, "x");
    Float64 out = result_like(in, in.view.rows);
    double* o = out.mutable_data();
    py::gil_scoped_release release;
    core::rank_rows(in.view, o);
    return out;
}

Float64 scale(const py::handle& x, double a) {
    Input in = matrix_argument(x, "x");
    Float64 out = result_like(in, in.view.rows);
    double* o = out.mutable_data();
    py::gil_scoped_release release;
    core::scale_rows(in.view, a, o);
    return out;
}

Float64 zscore(const py::handle& x) {
    Input in = matrix_argument(x, "x");
    Float64 out = result_like(in, in.view.rows);
    double* o = out.mutable_data();
    py::gil_scoped_release release;
    core::zscore_rows(in.view, o);
    return out;
}

}  // namespace

void bind_cross_section(py::module_& m) {
    m.def("cs_rank", &rank, "Percentage rank of each value within its row (date), ties averaged; NaN stays NaN.",
          py::arg("x"));
    m.def("cs_scale", &scale, "a * x / (sum of the row's absolute values); a row summing to 0 gives NaN.",
          py::arg("x"), py::arg("a") = 1.0);
    m.def("cs_zscore", &zscore, "(x - row mean) / row standard deviation (dividing by the count); NaN skipped.",
          py::arg("x"));
}

}  // namespace quellix::operators
