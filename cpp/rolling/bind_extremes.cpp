// Window extremes and the positions of the first extremes.
#include "common/pybind11.hpp"

#include <vector>

#include "rolling/bindings.hpp"
#include "rolling/core/extremes.hpp"
#include "rolling/dispatch.hpp"

namespace quellix::rolling {
namespace {

using namespace binding;

template <class T>
using Min = core::Extreme<T, false>;
template <class T>
using Max = core::Extreme<T, true>;

// Series laid out along time take the block algorithm, one series at a
// time; row-major panels take the lane kernel, whose lanes are series (and
// which runs the same block algorithm over them).
template <bool Max>
py::array arg_extreme(py::object x, py::object w) {
    Series s = prepare(x, "x", Family::native);
    const std::ptrdiff_t n = window_arg(w, s.length);
    // Short windows are cheaper scanned directly than split into blocks.
    const bool lanes = !(s.rs == 1) || n < 16;
    if (lanes) widen_for_positions(s, n);
    const Plan p = plan(s, n);
    if (lanes) {
        return visit<true>(s.elem, [&](auto t) {
            using T = typename decltype(t)::type;
            return launch(core::ArgExtreme<T, Max>{src<T>(s), n}, p);
        });
    }
    return visit<true>(s.elem, [&](auto t) {
        using T = typename decltype(t)::type;
        auto out = allocate<double>(p);
        double* data = out.mutable_data();
        const T* in = static_cast<const T*>(s.arr.data());
        const core::Layout& g = p.layout;
        {
            py::gil_scoped_release nogil;
            run_split(g.series, s.length * g.series, [&](std::ptrdiff_t c_lo, std::ptrdiff_t c_hi) {
                std::vector<T> values(static_cast<std::size_t>(s.length));
                std::vector<std::ptrdiff_t> positions(static_cast<std::size_t>(s.length));
                for (std::ptrdiff_t c = c_lo; c < c_hi; ++c) {
                    core::first_extreme_positions<T, Max>(in + c * g.col_stride, s.length, n, data + c * g.out_col,
                                                          g.out_row, values.data(), positions.data());
                }
            });
        }
        return py::array(out);
    });
}

}  // namespace

void bind_extremes(py::module_& m) {
    const auto N = Family::native;
    const auto D = Result::keeps_dtype;
    m.def("ts_min", plain<Min, true>("x", N, D, nullptr),
          QX_DOC("滑动最小值(窗口含 NaN 时为 NaN)", QX_X QX_N, QX_OUT ", 类型同输入"), py::arg("x"), py::arg("n"));
    m.def("ts_max", plain<Max, true>("x", N, D, nullptr),
          QX_DOC("滑动最大值(窗口含 NaN 时为 NaN)", QX_X QX_N, QX_OUT ", 类型同输入"), py::arg("x"), py::arg("n"));
    m.def("ts_argmax", arg_extreme<true>,
          QX_DOC("窗口内首个最大值的位置(最旧为 0; 含 NaN 时为首个 NaN 的位置)", QX_X QX_N, QX_OUT ", float64"),
          py::arg("x"), py::arg("n"));
    m.def("ts_argmin", arg_extreme<false>,
          QX_DOC("窗口内首个最小值的位置(最旧为 0; 含 NaN 时为首个 NaN 的位置)", QX_X QX_N, QX_OUT ", float64"),
          py::arg("x"), py::arg("n"));
}

}  // namespace quellix::rolling
