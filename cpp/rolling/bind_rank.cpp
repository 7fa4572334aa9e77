// Rank of the newest value within its window.
#include "common/pybind11.hpp"

#include "rolling/bindings.hpp"
#include "rolling/core/rank.hpp"
#include "rolling/dispatch.hpp"

namespace quellix::rolling {

void bind_rank(py::module_& m) {
    using namespace binding;
    m.def("ts_rank", plain<core::Rank, true>("x", Family::native, Result::computed, nullptr),
          QX_DOC("最新值在窗口内的升序排名除以窗口长度(NaN 最大, 相等值中先出现者在前)", QX_X QX_WINDOW,
                 QX_OUT ", float64, 取值 0 到 (window - 1) / window"),
          py::arg("x"), py::arg("window"));
}

}  // namespace quellix::rolling
