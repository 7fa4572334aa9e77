// Weighted window sums (ema, wma) and the least-squares trend (slope).
#include "common/pybind11.hpp"

#include "rolling/bindings.hpp"
#include "rolling/core/weighted.hpp"
#include "rolling/dispatch.hpp"

namespace quellix::rolling {
namespace {

using namespace binding;

// ema's weights come from numpy itself: a * (1 - a) ** e with float
// exponents, so they match the formula even where numpy's power differs from
// the C library's by an ulp.
// One ufunc call per kernel call: the exponents and the product with `a`
// (exact IEEE operations either way) are done here.
py::array ema_weights(std::ptrdiff_t n) {
    const double a = 2.0 / static_cast<double>(n + 1);
    py::array_t<double> e(n);
    double* ep = e.mutable_data();
    for (std::ptrdiff_t k = 0; k < n; ++k) ep[k] = static_cast<double>(n - 1 - k);
    py::array_t<double> w = numpy().attr("power")(1.0 - a, e, py::arg("out") = e);
    double* wp = w.mutable_data();
    for (std::ptrdiff_t k = 0; k < n; ++k) wp[k] = a * wp[k];
    return w;
}

py::array linear_weights(std::ptrdiff_t n) {
    py::array_t<double> w(n);
    core::linear_weights(n, w.mutable_data());
    return w;
}

template <class MakeWeights>
auto weighted(MakeWeights make_weights) {
    return [make_weights](py::object x, py::object w) {
        py::object keep;  // outlives the GIL-free run that reads it
        return single<false>(x, w, "x", Family::floating, Result::computed, &reduce_ops,
                             [&](auto t, const Series& s, std::ptrdiff_t n) {
                                 using T = typename decltype(t)::type;
                                 if (!keep) keep = make_weights(n);
                                 auto* wt = static_cast<const double*>(py::array(keep).data());
                                 return core::WeightedSum<T>{src<T>(s), n, wt};
                             });
    };
}

// The formula sums the window in the series' own type (an integer series in
// int64 or uint64, wrapping as numpy does) before it meets a float64.
py::array slope(py::object y, py::object n) {
    return single<true>(y, n, "y", Family::native, Result::computed, &slope_ops,
                        [](auto t, const Series& s, std::ptrdiff_t w) {
                            using T = typename decltype(t)::type;
                            return core::Slope<T>::make(src<T>(s), w);
                        });
}

}  // namespace

void bind_weighted(py::module_& m) {
    m.def("ema", weighted(ema_weights),
          QX_DOC("滑动指数加权和(平滑因子 2 / (n + 1), 权重不归一)", QX_X QX_N, QX_OUT ", float64"), py::arg("x"),
          py::arg("n"));
    m.def("wma", weighted(linear_weights),
          QX_DOC("滑动线性加权平均(越新的值权重越大, 权重和为 1)", QX_X QX_N, QX_OUT ", float64"), py::arg("x"),
          py::arg("n"));
    m.def("slope", slope, QX_DOC("窗口值对位置 0..n-1 的最小二乘斜率", QX_Y QX_N, QX_OUT ", float64(n 为 1 时为 NaN)"),
          py::arg("y"), py::arg("n"));
}

}  // namespace quellix::rolling
