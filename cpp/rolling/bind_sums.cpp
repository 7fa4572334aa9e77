// Window sums, means, products and counts of true values.
#include "common/pybind11.hpp"

#include <vector>

#include "rolling/bindings.hpp"
#include "rolling/core/moments.hpp"
#include "rolling/core/sums.hpp"
#include "rolling/dispatch.hpp"

namespace quellix::rolling {
namespace {

using namespace binding;

template <class T>
using Mean = core::Dispersion<T, core::Moment::mean>;

// A series laid out along time is first turned into 0/1 integers, one
// comparison per element instead of one per element per window; the window
// sums of those are exact and run on the widest registers. Row-major panels
// take the lane kernel, whose lanes are series and which keeps running
// counts (a 0/1 copy of the whole panel would cost more than it saves).
py::array count(py::object x, py::object w) {
    Series s = prepare(x, "x", Family::native);
    const std::ptrdiff_t n = window_arg(w, s.length);
    const Plan p = plan(s, n);
    return visit<true>(s.elem, [&](auto t) {
        using T = typename decltype(t)::type;
        if (!p.layout.lanes_along_time) return launch(core::Count<T>{src<T>(s), n}, p);
        auto out = allocate<std::int64_t>(p);
        std::int64_t* data = out.mutable_data();
        const T* in = static_cast<const T*>(s.arr.data());
        const core::Layout& g = p.layout;
        {
            py::gil_scoped_release nogil;
            core::Layout column{g.windows, 1, 1, 0, g.out_row, 0, true};
            column.window = n;
            run_split(g.series, s.length * g.series, [&](std::ptrdiff_t c_lo, std::ptrdiff_t c_hi) {
                std::vector<std::int64_t> truth(static_cast<std::size_t>(s.length));
                for (std::ptrdiff_t c = c_lo; c < c_hi; ++c) {
                    const T* series = in + c * g.col_stride;
                    for (std::ptrdiff_t i = 0; i < s.length; ++i) truth[i] = series[i] != T(0);
                    run(core::Sum<std::int64_t>{{truth.data(), 1}, n}, column, data + c * g.out_col, false);
                }
            });
        }
        return py::array(out);
    });
}

}  // namespace

void bind_sums(py::module_& m) {
    const auto N = Family::native;
    const auto H = Result::keeps_half;
    m.def("count", count, QX_DOC("滑动窗口内的真值个数(非零为真, NaN 为真)", QX_X QX_WINDOW, QX_OUT ", int64"),
          py::arg("x"), py::arg("window"));
    m.def("product", plain<core::Product, true>("s", N, H, &reduce_ops),
          QX_DOC("滑动窗口内各值的乘积", QX_S QX_WINDOW, QX_OUT ", 类型同 numpy.prod"), py::arg("s"),
          py::arg("window"));
    m.def("ma", plain<Mean, false>("x", Family::floating, H, &reduce_ops),
          QX_DOC("滑动算术平均", QX_X QX_N, QX_OUT ", 浮点数"), py::arg("x"), py::arg("n"));
    m.def("sum", plain<core::Sum, true>("x", N, H, &reduce_ops), QX_DOC("滑动求和", QX_X QX_N, QX_OUT ", 类型同 numpy.sum"),
          py::arg("x"), py::arg("n"));
}

}  // namespace quellix::rolling
