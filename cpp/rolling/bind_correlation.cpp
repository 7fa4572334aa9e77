// Rolling Pearson correlation of two series.
#include "common/pybind11.hpp"

#include "rolling/bindings.hpp"
#include "rolling/paired.hpp"

namespace quellix::rolling {

void bind_correlation(py::module_& m) {
    using namespace binding;
    m.def(
        "correlation",
        [](py::object window, py::object a, py::object b) {
            return paired<core::Pair::correlation>(window, a, b, "a", "b", &divide_ops);
        },
        QX_DOC("两序列的滑动皮尔逊相关系数", QX_PAIR("a", "b"), QX_OUT ", 浮点数"), py::arg("window"), py::arg("a"),
        py::arg("b"));
}

}  // namespace quellix::rolling
