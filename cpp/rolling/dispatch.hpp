// Runs a core kernel over a panel on the best instruction set the machine
// has. The kernels' compiled copies live in rolling/kernels/ (one source per
// family, built once per instruction set); this only picks one.
#pragma once

#include "rolling/kernel_binding.hpp"

#include <atomic>
#include <type_traits>

#include "rolling/core/fp_status.hpp"
#include "rolling/simd/isa.hpp"

namespace quellix::rolling::binding {

using simd::Isa;

Isa machine_isa();  // asked once

// Runs K, a whole-market panel split over both cores (by series when lanes
// run along time, else by dates, so that each thread first-touches its own
// pages of the result); needs no GIL. With `watch`, returns the IEEE
// divide/invalid flags the kernel raised (core::FpFlag bits), else 0.
template <class K>
unsigned run(const K& k, const core::Layout& g, typename K::out_type* out, bool watch) {
    const Isa isa = machine_isa();
    std::atomic<unsigned> raised{0};
    const std::ptrdiff_t tasks = g.lanes_along_time ? g.series : g.windows;
    run_split(tasks, g.windows * g.series * g.window, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
        auto body = [&] { simd::run_on(isa, k, g, out, lo, hi); };
        if (!watch) return body();
        core::FpWatch fp;
        body();
        raised |= fp.raised();
    });
    return raised.load();
}

// Allocates the result and runs K without the GIL. With `raised`, watches
// for the IEEE conditions numpy reports and stores them there.
template <class K>
py::array launch(const K& k, const Plan& p, unsigned* raised = nullptr) {
    auto out = allocate<typename K::out_type>(p);
    auto* data = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        const unsigned flags = run(k, p.layout, data, raised != nullptr);
        if (raised) *raised = flags;
    }
    return out;
}

// `ops` null: numpy's formula raises nothing for this kernel, so nothing is
// watched.
template <bool Integers, class Make>
py::array single(const py::object& x, const py::object& w, const char* name, Family family, Result rule,
                 const FpOps* ops, Make&& make) {
    Series s = prepare(x, name, family);
    const std::ptrdiff_t n = window_arg(w, s.length);
    const Plan p = plan(s, n);
    unsigned raised = 0;
    py::array out = visit<Integers>(s.elem, [&](auto t) { return launch(make(t, s, n), p, ops ? &raised : nullptr); });
    if (raised) report_fp(raised, *ops, {&s.arr});
    return finish(out, s, rule);
}

// Kernels whose state is just the series and the window.
template <template <class> class K, bool Integers>
auto plain(const char* name, Family family, Result rule, const FpOps* ops) {
    return [name, family, rule, ops](py::object x, py::object w) {
        return single<Integers>(x, w, name, family, rule, ops, [](auto t, const Series& s, std::ptrdiff_t n) {
            using T = typename decltype(t)::type;
            return K<T>{src<T>(s), n};
        });
    };
}

// The operations of the numpy formulas where their errors arise.
inline constexpr FpOps reduce_ops{"reduce", "reduce"};
inline constexpr FpOps subtract_ops{"subtract", "subtract"};
inline constexpr FpOps divide_ops{"divide", "subtract"};
inline constexpr FpOps slope_ops{"divide", "multiply"};

#define QX_DOC(summary, params, returns) summary "\n\n参数:\n" params "\n返回:\n    " returns

#define QX_X "    x: 一维数值数组(二维时每列为一个序列)\n"
#define QX_S "    s: 一维数值数组(二维时每列为一个序列)\n"
#define QX_Y "    y: 一维数值数组(二维时每列为一个序列)\n"
#define QX_WINDOW "    window: int, 窗口长度\n"
#define QX_N "    n: int, 窗口长度\n"
#define QX_OUT "numpy.ndarray, 长度为 L - n + 1"

}  // namespace quellix::rolling::binding
