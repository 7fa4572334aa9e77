// Dispersion and higher moments of a window: std, var, zscore, avedev, skew,
// kurt.
#include "common/pybind11.hpp"

#include <cmath>

#include "rolling/bindings.hpp"
#include "rolling/core/moments.hpp"
#include "rolling/dispatch.hpp"

namespace quellix::rolling {
namespace {

using namespace binding;

// Variance, standard deviation and z-score share one kernel.
template <core::Moment What>
py::array spread(py::object x, py::object n, const char* name, const FpOps* ops) {
    return single<false>(x, n, name, Family::floating, Result::keeps_half, ops,
                         [](auto t, const Series& s, std::ptrdiff_t w) {
                             using T = typename decltype(t)::type;
                             return core::Dispersion<T, core::Moment::var>{src<T>(s), w, What};
                         });
}

py::array avedev(py::object s, py::object window) {
    return single<false>(s, window, "s", Family::floating, Result::keeps_half, &subtract_ops,
                         [](auto t, const Series& ser, std::ptrdiff_t n) {
                             using T = typename decltype(t)::type;
                             return core::AveDev<T>{src<T>(ser), n, ser.length == n};
                         });
}

py::array skew(py::object s, py::object n) {
    return single<false>(s, n, "s", Family::floating, Result::keeps_half, &divide_ops,
                         [](auto t, const Series& ser, std::ptrdiff_t w) {
                             using T = typename decltype(t)::type;
                             const bool corrected = w > 2;
                             const double factor = corrected ? std::pow(static_cast<double>(w * (w - 1)), 0.5) /
                                                                   static_cast<double>(w - 2)
                                                             : 1.0;
                             return core::Skew<T>{src<T>(ser), w, static_cast<T>(factor), corrected};
                         });
}

// kurt answers windows of 1, 2 and 3 with constants in the input's dtype.
// Unsigned dtypes cannot hold them (numpy wraps -3 to 2**64 - 3); those get
// float64, the dtype kurt has for longer windows.
py::array kurt_constant(const py::array& s, std::ptrdiff_t n) {
    const double value = n == 1 ? -3.0 : (n == 2 ? -2.0 : -1.5);
    const py::dtype dt = s.dtype();
    py::object dtype = dt.kind() == 'u' ? py::object(py::dtype("float64")) : py::object(dt);
    const py::ssize_t rows = s.shape(0) - n + 1;
    py::tuple shape = s.ndim() == 1 ? py::tuple(py::make_tuple(rows)) : py::tuple(py::make_tuple(rows, s.shape(1)));
    return numpy().attr("full")(shape, value, py::arg("dtype") = dtype);
}

py::array kurt(py::object s, py::object n) {
    py::array raw = as_numeric(s, "s");
    const std::ptrdiff_t w = window_arg(n, raw.shape(0));
    if (w <= 3) return kurt_constant(raw, w);
    return single<false>(raw, n, "s", Family::floating, Result::keeps_half, &divide_ops,
                         [](auto t, const Series& ser, std::ptrdiff_t win) {
                             using T = typename decltype(t)::type;
                             return core::Kurt<T>::make(src<T>(ser), win);
                         });
}

}  // namespace

void bind_moments(py::module_& m) {
    m.def(
        "std", [](py::object x, py::object n) { return spread<core::Moment::std>(x, n, "x", &subtract_ops); },
        QX_DOC("滑动总体标准差(除以 n)", QX_X QX_N, QX_OUT ", 浮点数"), py::arg("x"), py::arg("n"));
    m.def(
        "var", [](py::object x, py::object n) { return spread<core::Moment::var>(x, n, "x", &subtract_ops); },
        QX_DOC("滑动总体方差(除以 n)", QX_X QX_N, QX_OUT ", 浮点数"), py::arg("x"), py::arg("n"));
    m.def(
        "zscore",
        [](py::object s, py::object window) { return spread<core::Moment::zscore>(s, window, "s", &divide_ops); },
        QX_DOC("最新值相对窗口均值的标准分数(总体标准差)", QX_S QX_WINDOW, QX_OUT ", 浮点数"), py::arg("s"),
        py::arg("window"));
    m.def("avedev", avedev, QX_DOC("滑动平均绝对偏差(相对窗口均值, 除以 n)", QX_S QX_WINDOW, QX_OUT ", 浮点数"),
          py::arg("s"), py::arg("window"));
    m.def("skew", skew, QX_DOC("滑动偏度(n > 2 时做偏差修正)", QX_S QX_N, QX_OUT ", 浮点数"), py::arg("s"),
          py::arg("n"));
    m.def("kurt", kurt,
          QX_DOC("滑动超额峰度(偏差修正; n 为 1、2、3 时分别为常数 -3、-2、-1.5)", QX_S QX_N,
                 QX_OUT ", 浮点数(n <= 3 时类型同输入)"),
          py::arg("s"), py::arg("n"));
}

}  // namespace quellix::rolling
