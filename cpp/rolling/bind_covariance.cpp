// Rolling population covariance of two series.
#include "common/pybind11.hpp"

#include "rolling/bindings.hpp"
#include "rolling/paired.hpp"

namespace quellix::rolling {

void bind_covariance(py::module_& m) {
    using namespace binding;
    m.def(
        "covariance",
        [](py::object window, py::object a, py::object b) {
            return paired<core::Pair::covariance>(window, a, b, "a", "b", &subtract_ops);
        },
        QX_DOC("两序列的滑动总体协方差(除以 n)", QX_PAIR("a", "b"), QX_OUT ", 浮点数"), py::arg("window"), py::arg("a"),
        py::arg("b"));
}

}  // namespace quellix::rolling
