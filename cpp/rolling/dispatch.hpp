// Runs a core kernel over a panel on the best instruction set the machine
// has. Included only by the bind_<family>.cpp files, so each kernel's three
// instruction-set copies are compiled in its own family's translation unit.
#pragma once

#include "rolling/kernel_binding.hpp"

#include <atomic>
#include <type_traits>

#include "rolling/core/fp_status.hpp"

namespace quellix::rolling::binding {

enum class Isa { baseline, avx2, avx512 };

Isa machine_isa();  // asked once

// Sanitizer builds skip the whole-kernel inlining: it multiplies their
// compile time, and every path performs the same IEEE operations anyway.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__) || defined(QX_NO_FLATTEN)
#define QX_FLATTEN
#else
#define QX_FLATTEN gnu::flatten
#endif

// One instantiation per instruction set, each with the whole kernel inlined
// (flatten) so the lane vectors map onto that set's registers; AVX-512 runs
// twice the lanes. Every path performs the same IEEE operations lane by lane
// (no FMA contraction, no reassociation), so the path a machine takes never
// changes a result.
template <class K>
[[gnu::target("avx512f,avx512vl,avx512dq,avx512bw"), QX_FLATTEN]] void run_avx512(
    const K& k, const core::Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    core::run_panel<2 * K::width>(k, g, out, lo, hi);
}

template <class K>
[[gnu::target("avx2"), QX_FLATTEN]] void run_avx2(const K& k, const core::Layout& g, typename K::out_type* out,
                                                  std::ptrdiff_t lo, std::ptrdiff_t hi) {
    core::run_panel<K::width>(k, g, out, lo, hi);
}

// Never inlined, like the two above (whose target differs from their
// caller's): the call keeps the kernel's arithmetic between the reads of the
// floating-point flags, which the compiler does not order arithmetic by.
template <class K>
[[gnu::noinline, QX_FLATTEN]] void run_baseline(const K& k, const core::Layout& g, typename K::out_type* out, std::ptrdiff_t lo,
                                 std::ptrdiff_t hi) {
    core::run_panel<K::width>(k, g, out, lo, hi);
}

// GCC lowers comparisons of 512-bit generic vectors lane by lane, so kernels
// built on comparison masks stay on 256-bit registers.
template <class K, class = void>
struct uses_masks : std::false_type {};
template <class K>
struct uses_masks<K, std::void_t<decltype(K::uses_masks)>> : std::bool_constant<K::uses_masks> {};

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
        auto body = [&] {
            switch (isa) {
                case Isa::avx512:
                    if constexpr (uses_masks<K>::value) {
                        run_avx2(k, g, out, lo, hi);
                    } else {
                        run_avx512(k, g, out, lo, hi);
                    }
                    break;
                case Isa::avx2: run_avx2(k, g, out, lo, hi); break;
                default: run_baseline(k, g, out, lo, hi); break;
            }
        };
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
