// Rolling least-squares slope of y on x.
#include "common/pybind11.hpp"

#include "rolling/bindings.hpp"
#include "rolling/paired.hpp"

namespace quellix::rolling {

void bind_regression(py::module_& m) {
    using namespace binding;
    m.def(
        "regression",
        [](py::object window, py::object x, py::object y) {
            return paired<core::Pair::regression>(window, x, y, "x", "y", &divide_ops);
        },
        QX_DOC("y 对 x 的滑动最小二乘回归斜率(含截距)", QX_PAIR("x", "y"), QX_OUT ", 浮点数"), py::arg("window"), py::arg("x"),
        py::arg("y"));
}

}  // namespace quellix::rolling
