// The binding shared by the kernels of two series: it picks the kernel for
// the pair's element types and numpy's product type.
#pragma once

#include "common/pybind11.hpp"

#include <string>
#include <type_traits>

#include "rolling/core/two_series.hpp"
#include "rolling/dispatch.hpp"

namespace quellix::rolling::binding {

inline bool single_float(const py::dtype& dt) { return dt.kind() == 'f' && dt.itemsize() <= 4; }

inline bool small_integer(const py::dtype& dt) {
    const char k = dt.kind();
    return k == 'b' || ((k == 'i' || k == 'u') && dt.itemsize() <= 2);
}

// numpy multiplies a float32 (or float16, computed as float32 here) by a
// float of at most 32 bits, or by an integer of at most 16 bits, in float32;
// everything else in float64. Two integer series multiply in float64 here,
// where numpy would wrap.
inline bool products_in_float32(const py::dtype& a, const py::dtype& b) {
    return (single_float(a) && (single_float(b) || small_integer(b))) || (small_integer(a) && single_float(b));
}

template <core::Pair Kind>
py::array paired(const py::object& w, const py::object& a, const py::object& b, const char* na, const char* nb,
                 const FpOps* ops) {
    Series sa = prepare(a, na, Family::floating);
    Series sb = prepare(b, nb, Family::floating);
    if (sa.ndim != sb.ndim || sa.length != sb.length || sa.series != sb.series) {
        throw py::value_error(std::string(na) + " and " + nb + " must have the same shape, got " +
                              py::str(sa.arr.attr("shape")).cast<std::string>() + " and " +
                              py::str(sb.arr.attr("shape")).cast<std::string>());
    }
    const std::ptrdiff_t n = window_arg(w, sa.length);
    align_pair(sa, sb);
    const Plan p = plan(sa, n);
    const bool q32 = products_in_float32(sa.orig, sb.orig);
    unsigned raised = 0;
    py::array out = visit<false>(sa.elem, [&](auto ta) {
        return visit<false>(sb.elem, [&](auto tb) {
            using A = typename std::remove_cvref_t<decltype(ta)>::type;
            using B = typename std::remove_cvref_t<decltype(tb)>::type;
            constexpr bool mixed = !std::is_same_v<A, B>;
            // Two float32 series always multiply in float32, two float64
            // ones in float64; only a mixed pair can go either way.
            if constexpr (mixed || std::is_same_v<A, float>) {
                if (q32) return launch(core::TwoSeries<A, B, float, Kind>{src<A>(sa), src<B>(sb), n}, p, &raised);
            }
            if constexpr (mixed || std::is_same_v<A, double>) {
                return launch(core::TwoSeries<A, B, double, Kind>{src<A>(sa), src<B>(sb), n}, p, &raised);
            }
            throw std::logic_error("float32 pair with float64 products");
        });
    });
    if (raised) report_fp(raised, *ops, {&sa.arr, &sb.arr});
    // numpy keeps float16 only when both inputs are float16.
    if (is_half(sa.orig) && is_half(sb.orig)) return narrow(out, py::dtype("float16"));
    return out;
}

#define QX_PAIR(first, second) \
    "    window: int, 窗口长度\n    " first ": 一维数值数组(二维时每列为一个序列)\n    " second ": 与 " first " 形状相同\n"

}  // namespace quellix::rolling::binding
