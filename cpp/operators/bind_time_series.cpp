#include "common/pybind11.hpp"
#include "operators/bindings.hpp"
#include "operators/boundary.hpp"
#include "operators/core/time_series.hpp"

#include <string>

namespace quellix::operators {

namespace {

std::ptrdiff_t window_of(const py::handle& window, const core::Matrix& x) {
    PyObject* index = py::isinstance<py::bool_>(window) ? nullptr : PyNumber_Index(window.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        throw py::type_error("window must be an integer, got " + py::repr(window).cast<std::string>());
    }
    const long long d = py::reinterpret_steal<py::int_>(index).cast<long long>();
    if (d < 1) throw py::value_error("window must be at least 1, got " + std::to_string(d));
    if (d > x.rows) {
        throw py::value_error("window (" + std::to_string(d) + ") is larger than the series (" + std::to_string(x.rows) + ")");
    }
    return static_cast<std::ptrdiff_t>(d);
}

template <void (*Kernel)(const core::Matrix&, std::ptrdiff_t, double*)>
Float64 windowed(const py::handle& x, const py::handle& window) {
    Input in = matrix_argument(x, "x");
    const std::ptrdiff_t d = window_of(window, in.view);
    Float64 out = result_like(in, in.view.rows - d + 1);
    double* o = out.mutable_data();
    py::gil_scoped_release release;
    Kernel(in.view, d, o);
    return out;
}

template <bool Largest>
void arg_extreme(const core::Matrix& x, std::ptrdiff_t d, double* out) {
    core::ts_arg_extreme(x, d, Largest, out);
}

template <bool Correlation>
Float64 comoment(const py::handle& a, const py::handle& b, const py::handle& window) {
    Input ia = matrix_argument(a, "a"), ib = matrix_argument(b, "b");
    check_same_shape(ia, ib, "a", "b");
    const std::ptrdiff_t d = window_of(window, ia.view);
    Float64 out = result_like(ia, ia.view.rows - d + 1);
    double* o = out.mutable_data();
    py::gil_scoped_release release;
    core::ts_comoment(ia.view, ib.view, d, Correlation, o);
    return out;
}

}  // namespace

void bind_time_series(py::module_& m) {
    m.def("ts_rank_avg", &windowed<core::ts_rank>,
          "Rank of the newest value in its window of `window` rows, ties averaged, divided by the window: (0, 1]. "
          "A NaN in the window gives NaN.",
          py::arg("x"), py::arg("window"));
    m.def("ts_stddev", &windowed<core::ts_stddev>,
          "Standard deviation over the window dividing by its length; exactly 0 on a window of one finite value.",
          py::arg("x"), py::arg("window"));
    m.def("ts_decay_linear", &windowed<core::ts_decay_linear>,
          "Weighted mean over the window, weights 1 .. window from the oldest row to the newest, over their sum.",
          py::arg("x"), py::arg("window"));
    m.def("ts_argmax_first", &windowed<arg_extreme<true>>,
          "1-based position of the window's largest value from its oldest row (oldest of equal maxima); NaN in the window gives NaN.",
          py::arg("x"), py::arg("window"));
    m.def("ts_argmin_first", &windowed<arg_extreme<false>>,
          "1-based position of the window's smallest value from its oldest row (oldest of equal minima); NaN in the window gives NaN.",
          py::arg("x"), py::arg("window"));
    m.def("ts_covariance", &comoment<false>,
          "Covariance of two windows dividing by the window; 0 when either is constant, NaN when either holds NaN.",
          py::arg("a"), py::arg("b"), py::arg("window"));
    m.def("ts_correlation", &comoment<true>,
          "Pearson correlation of two windows; NaN when either is constant or holds NaN.",
          py::arg("a"), py::arg("b"), py::arg("window"));
}

}  // namespace quellix::operators
