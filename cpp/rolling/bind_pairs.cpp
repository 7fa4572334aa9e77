// Rolling covariance, Pearson correlation and regression slope of two series.
#include "common/pybind11.hpp"

#include "rolling/bindings.hpp"
#include "rolling/paired.hpp"

namespace quellix::rolling {

void bind_pairs(py::module_& m) {
    using namespace binding;
    m.def(
        "covariance",
        [](py::object window, py::object a, py::object b) {
            return paired<core::Pair::covariance>(window, a, b, "a", "b", &subtract_ops);
        },
        QX_DOC("两序列的滑动总体协方差(除以 n)", QX_PAIR("a", "b"), QX_OUT ", 浮点数"), py::arg("window"), py::arg("a"),
        py::arg("b"));
    m.def(
        "correlation",
        [](py::object window, py::object a, py::object b) {
            return paired<core::Pair::correlation>(window, a, b, "a", "b", &divide_ops);
        },
        QX_DOC("两序列的滑动皮尔逊相关系数", QX_PAIR("a", "b"), QX_OUT ", 浮点数"), py::arg("window"), py::arg("a"),
        py::arg("b"));
    m.def(
        "regression",
        [](py::object window, py::object x, py::object y) {
            return paired<core::Pair::regression>(window, x, y, "x", "y", &divide_ops);
        },
        QX_DOC("y 对 x 的滑动最小二乘回归斜率(含截距)", QX_PAIR("x", "y"), QX_OUT ", 浮点数"), py::arg("window"), py::arg("x"),
        py::arg("y"));
}

}  // namespace quellix::rolling
