#include "common/pybind11.hpp"

#include <cmath>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "common/parallel.hpp"
#include "rolling/bindings.hpp"
#include "rolling/core/extremes.hpp"
#include "rolling/core/moments.hpp"
#include "rolling/core/rank.hpp"
#include "rolling/core/sums.hpp"
#include "rolling/core/two_series.hpp"
#include "rolling/core/weighted.hpp"

namespace quellix::rolling {
namespace {

namespace core = quellix::rolling::core;

// Looked up once; deliberately leaked so no Python object is released after
// the interpreter has finalised.
const py::module_& numpy() {
    static const auto* np = new py::module_(py::module_::import("numpy"));
    return *np;
}

const py::object& numpy_asarray() {
    static const auto* f = new py::object(numpy().attr("asarray"));
    return *f;
}

const py::object& numpy_bool() {
    static const auto* t = new py::object(numpy().attr("bool_"));
    return *t;
}

// Element types the core is compiled for. Narrower integers, bool and
// float16 are widened to one of them first, as numpy's own loops widen them.
enum class Elem { f64, f32, i64, u64 };

// Kernels whose arithmetic is floating point whatever the input (integers
// become float64, float16 is computed in float32 like numpy's mean), and
// kernels that work on the input's own values (sums, extremes, ranks).
enum class Family { floating, native };

struct Series {
    py::array arr;   // what the core reads (possibly a converted copy)
    py::dtype orig;  // the caller's dtype
    Elem elem;
    int ndim;
    std::ptrdiff_t length;
    std::ptrdiff_t series;
    std::ptrdiff_t rs;  // element strides of arr
    std::ptrdiff_t cs;
};

bool is_half(const py::dtype& dt) { return dt.kind() == 'f' && dt.itemsize() == 2; }

std::string dtype_name(const py::dtype& dt) { return py::str(dt).cast<std::string>(); }

Elem elem_for(const py::dtype& dt, Family family) {
    const char k = dt.kind();
    if (k == 'f') return dt.itemsize() == 8 ? Elem::f64 : Elem::f32;
    if (family == Family::floating) return Elem::f64;
    return k == 'u' ? Elem::u64 : Elem::i64;
}

const char* elem_dtype(Elem e) {
    switch (e) {
        case Elem::f64: return "float64";
        case Elem::f32: return "float32";
        case Elem::i64: return "int64";
        default: return "uint64";
    }
}

py::array as_numeric(const py::object& obj, const char* name) {
    py::array arr = numpy_asarray()(obj);
    py::dtype dt = arr.dtype();
    const char k = dt.kind();
    const bool ok = k == 'b' || k == 'i' || k == 'u' || (k == 'f' && dt.itemsize() <= 8);
    if (!ok) {
        throw py::type_error(std::string(name) + " must be an array of real numbers or booleans, got dtype " +
                             dtype_name(dt));
    }
    if (arr.ndim() != 1 && arr.ndim() != 2) {
        throw py::value_error(std::string(name) + " must be one-dimensional (or two-dimensional: dates by series), got " +
                              std::to_string(arr.ndim()) + " dimension(s)");
    }
    return arr;
}

// Accepts Python and numpy integers; bool and float are rejected rather than
// silently truncated.
std::ptrdiff_t window_arg(const py::object& w, std::ptrdiff_t length) {
    const bool is_bool = PyBool_Check(w.ptr()) || py::isinstance(w, numpy_bool());
    if (is_bool || !PyIndex_Check(w.ptr())) {
        throw py::type_error("window must be an integer, got " +
                             py::str(py::type::handle_of(w).attr("__name__")).cast<std::string>());
    }
    py::int_ value = py::reinterpret_steal<py::int_>(PyNumber_Index(w.ptr()));
    if (!value) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    const std::string text = py::str(value).cast<std::string>();
    if (overflow < 0 || (overflow == 0 && v < 1)) {
        throw py::value_error("window must be a positive integer, got " + text);
    }
    if (overflow > 0 || v > length) {
        throw py::value_error("window (" + text + ") is larger than the series (" + std::to_string(length) + ")");
    }
    return static_cast<std::ptrdiff_t>(v);
}

void read_strides(Series& s) {
    const auto item = static_cast<std::ptrdiff_t>(s.arr.itemsize());
    s.length = s.arr.shape(0);
    s.series = s.ndim == 2 ? s.arr.shape(1) : 1;
    s.rs = s.arr.strides(0) / item;
    s.cs = s.ndim == 2 ? s.arr.strides(1) / item : 0;
    if (s.length <= 1) s.rs = 1;  // a lone date: any step works
    if (s.series <= 1) s.cs = 0;
}

bool strides_whole(const py::array& arr) {
    for (int k = 0; k < arr.ndim(); ++k) {
        if (arr.strides(k) % arr.itemsize() != 0) return false;
    }
    return true;
}

// Lanes run along memory, so one of the two axes must have unit stride; any
// other layout is copied once, which is cheaper than strided lanes.
void make_lane_friendly(Series& s) {
    read_strides(s);
    const bool time_unit = s.rs == 1 && strides_whole(s.arr);
    const bool series_unit = s.series > 1 && s.cs == 1 && strides_whole(s.arr);
    if (time_unit || series_unit) return;
    s.arr = numpy().attr("ascontiguousarray")(s.arr);
    read_strides(s);
}

Series prepare(const py::object& obj, const char* name, Family family) {
    py::array arr = as_numeric(obj, name);
    Series s{arr, arr.dtype(), elem_for(arr.dtype(), family), static_cast<int>(arr.ndim()), 0, 0, 0, 0};
    py::dtype target = py::dtype(elem_dtype(s.elem));
    if (!(arr.dtype().kind() == target.kind() && arr.dtype().itemsize() == target.itemsize())) {
        s.arr = arr.attr("astype")(target);
    }
    make_lane_friendly(s);
    return s;
}

// Both series of a pair are read with one offset per window, so their element
// strides must agree; differently laid out pairs are copied to row-major.
void align_pair(Series& a, Series& b) {
    if (a.rs == b.rs && a.cs == b.cs) return;
    for (Series* s : {&a, &b}) {
        s->arr = numpy().attr("ascontiguousarray")(s->arr);
        read_strides(*s);
    }
    if (a.series > 1) {
        a.rs = b.rs = a.series;
        a.cs = b.cs = 1;
    }
}

struct Plan {
    core::Layout layout;
    std::vector<py::ssize_t> shape;
    std::vector<py::ssize_t> out_strides;  // in elements
};

Plan plan(const Series& s, std::ptrdiff_t n) {
    Plan p;
    const std::ptrdiff_t m = s.length - n + 1;
    const bool along_time = s.rs == 1;
    core::Layout& g = p.layout;
    g.windows = m;
    g.window = n;
    g.series = s.series;
    g.row_stride = s.rs;
    g.col_stride = s.cs;
    g.lanes_along_time = along_time;
    if (s.ndim == 1) {
        p.shape = {m};
        p.out_strides = {1};
        g.out_row = 1;
        g.out_col = 0;
    } else {
        p.shape = {m, s.series};
        // A column-major input gets a column-major result so both the reads
        // and the lane stores stay contiguous.
        g.out_row = along_time ? 1 : s.series;
        g.out_col = along_time ? m : 1;
        p.out_strides = {g.out_row, g.out_col};
        if (!along_time) g.tile = core::tile_columns(n, s.arr.itemsize(), s.series);
    }
    return p;
}

template <class O>
py::array_t<O> allocate(const Plan& p) {
    std::vector<py::ssize_t> bytes;
    for (auto st : p.out_strides) bytes.push_back(st * static_cast<py::ssize_t>(sizeof(O)));
    return py::array_t<O>(p.shape, bytes);
}

// One instantiation per instruction set, each with the whole kernel inlined
// (flatten) so the lane vectors map onto that set's registers; AVX-512 runs
// twice the lanes. Every path performs the same IEEE operations lane by lane
// (no FMA contraction, no reassociation), so the path a machine takes never
// changes a result.
template <class K>
[[gnu::target("avx512f,avx512vl,avx512dq,avx512bw"), gnu::flatten]] void run_avx512(
    const K& k, const core::Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    core::run_panel<2 * K::width>(k, g, out, lo, hi);
}

template <class K>
[[gnu::target("avx2"), gnu::flatten]] void run_avx2(const K& k, const core::Layout& g, typename K::out_type* out,
                                                    std::ptrdiff_t lo, std::ptrdiff_t hi) {
    core::run_panel<K::width>(k, g, out, lo, hi);
}

template <class K>
[[gnu::flatten]] void run_baseline(const K& k, const core::Layout& g, typename K::out_type* out, std::ptrdiff_t lo,
                                   std::ptrdiff_t hi) {
    core::run_panel<K::width>(k, g, out, lo, hi);
}

enum class Isa { baseline, avx2, avx512 };

Isa detect_isa() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw")) {
        return Isa::avx512;
    }
    return __builtin_cpu_supports("avx2") ? Isa::avx2 : Isa::baseline;
}

// GCC lowers comparisons of 512-bit generic vectors lane by lane, so kernels
// built on comparison masks stay on 256-bit registers.
template <class K, class = void>
struct uses_masks : std::false_type {};
template <class K>
struct uses_masks<K, std::void_t<decltype(K::uses_masks)>> : std::bool_constant<K::uses_masks> {};

// Runs K on the best instruction set, a whole-market panel split over both
// cores (by series when lanes run along time, else by dates, so that each
// thread first-touches its own pages of the result); needs no GIL.
template <class K>
void run(const K& k, const core::Layout& g, typename K::out_type* out) {
    static const Isa isa = detect_isa();
    const std::ptrdiff_t tasks = g.lanes_along_time ? g.series : g.windows;
    run_split(tasks, g.windows * g.series * g.window, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
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
    });
}

template <class K>
py::array launch(const K& k, const Plan& p) {
    auto out = allocate<typename K::out_type>(p);
    auto* data = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        run(k, p.layout, data);
    }
    return out;
}

template <class T>
struct tag {
    using type = T;
};

template <bool Integers, class F>
py::array visit(Elem e, F&& f) {
    switch (e) {
        case Elem::f64: return f(tag<double>{});
        case Elem::f32: return f(tag<float>{});
        default: break;
    }
    if constexpr (Integers) {
        if (e == Elem::i64) return f(tag<std::int64_t>{});
        return f(tag<std::uint64_t>{});
    } else {
        throw std::logic_error("integer input reached a floating-point kernel");
    }
}

template <class T>
core::Src<T> src(const Series& s) {
    return {static_cast<const T*>(s.arr.data()), s.rs};
}

// Where numpy keeps the input's float16 (or, for extremes, any input dtype),
// the result computed in a wider core type is cast back.
enum class Result { computed, keeps_half, keeps_dtype };

// Narrowing to float16 may overflow to inf; like every other IEEE special
// value the kernels produce, that is returned without a warning.
py::array narrow(const py::array& out, const py::object& dtype) {
    py::object quiet = numpy().attr("errstate")(py::arg("over") = "ignore");
    quiet.attr("__enter__")();
    py::array narrowed = out.attr("astype")(dtype);
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    return narrowed;
}

py::array finish(py::array out, const Series& s, Result rule) {
    if (rule == Result::keeps_dtype || (rule == Result::keeps_half && is_half(s.orig))) {
        if (!(out.dtype().kind() == s.orig.kind() && out.dtype().itemsize() == s.orig.itemsize())) {
            return narrow(out, s.orig);
        }
    }
    return out;
}

template <bool Integers, class Make>
py::array single(const py::object& x, const py::object& w, const char* name, Family family, Result rule,
                 Make&& make) {
    Series s = prepare(x, name, family);
    const std::ptrdiff_t n = window_arg(w, s.length);
    // float32 lanes hold window positions exactly only below 2**24.
    if (s.elem == Elem::f32 && n >= (1 << 24)) {
        s.arr = s.arr.attr("astype")("float64");
        s.elem = Elem::f64;
        make_lane_friendly(s);
    }
    const Plan p = plan(s, n);
    py::array out = visit<Integers>(s.elem, [&](auto t) { return launch(make(t, s, n), p); });
    return finish(out, s, rule);
}

template <core::Pair Kind>
py::array paired(const py::object& w, const py::object& a, const py::object& b, const char* na, const char* nb) {
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
    py::array out = visit<false>(sa.elem, [&](auto ta) {
        return visit<false>(sb.elem, [&](auto tb) {
            using A = typename decltype(ta)::type;
            using B = typename decltype(tb)::type;
            return launch(core::TwoSeries<A, B, Kind>{src<A>(sa), src<B>(sb), n}, p);
        });
    });
    // numpy keeps float16 only when both inputs are float16.
    if (is_half(sa.orig) && is_half(sb.orig)) return narrow(out, py::dtype("float16"));
    return out;
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

// ema's weights come from numpy itself: a * (1 - a) ** e with float
// exponents, so they match the formula even where numpy's power differs from
// the C library's by an ulp.
py::array ema_weights(std::ptrdiff_t n) {
    // Cached per window length (read and written with the GIL held): building
    // them through numpy costs more than the kernel itself on short series.
    static auto* cache = new std::map<std::ptrdiff_t, py::array>();
    if (auto hit = cache->find(n); hit != cache->end()) return hit->second;
    const double a = 2.0 / static_cast<double>(n + 1);
    const py::module_& np = numpy();
    py::object e = np.attr("arange")(n - 1, -1, -1.0);
    py::array w = np.attr("multiply")(a, np.attr("power")(1.0 - a, e));
    w = np.attr("ascontiguousarray")(w, py::arg("dtype") = "float64");
    if (cache->size() >= 64) cache->clear();
    cache->emplace(n, w);
    return w;
}

py::array linear_weights(std::ptrdiff_t n) {
    py::array_t<double> w(n);
    core::linear_weights(n, w.mutable_data());
    return w;
}

#define QX_DOC(summary, params, returns) summary "\n\n参数:\n" params "\n返回:\n    " returns

#define QX_X "    x: 一维数值数组(二维时每列为一个序列)\n"
#define QX_S "    s: 一维数值数组(二维时每列为一个序列)\n"
#define QX_Y "    y: 一维数值数组(二维时每列为一个序列)\n"
#define QX_WINDOW "    window: int, 窗口长度\n"
#define QX_N "    n: int, 窗口长度\n"
#define QX_OUT "numpy.ndarray, 长度为 L - n + 1"


template <class T> using Mean = core::Dispersion<T, core::Moment::mean>;
template <class T> using Var = core::Dispersion<T, core::Moment::var>;
template <class T> using Std = core::Dispersion<T, core::Moment::std>;
template <class T> using ZScore = core::Dispersion<T, core::Moment::zscore>;
template <class T> using Min = core::Extreme<T, false>;
template <class T> using Max = core::Extreme<T, true>;

// Kernels whose state is just the series and the window.
template <template <class> class K, bool Integers>
auto plain(const char* name, Family family, Result rule) {
    return [name, family, rule](py::object x, py::object w) {
        return single<Integers>(x, w, name, family, rule, [](auto t, const Series& s, std::ptrdiff_t n) {
            using T = typename decltype(t)::type;
            return K<T>{src<T>(s), n};
        });
    };
}

template <class MakeWeights>
auto weighted(MakeWeights make_weights) {
    return [make_weights](py::object x, py::object w) {
        py::object keep;  // outlives the GIL-free run that reads it
        return single<false>(x, w, "x", Family::floating, Result::computed,
                             [&](auto t, const Series& s, std::ptrdiff_t n) {
                                 using T = typename decltype(t)::type;
                                 if (!keep) keep = make_weights(n);
                                 auto* wt = static_cast<const double*>(py::array(keep).data());
                                 return core::WeightedSum<T>{src<T>(s), n, wt};
                             });
    };
}

// Series laid out along time take the block algorithm, one series at a
// time; row-major panels take the lane kernel, whose lanes are series (and
// which runs the same block algorithm over them).
template <bool Max>
auto arg_extreme() {
    return [](py::object x, py::object w) {
        Series s = prepare(x, "x", Family::native);
        const std::ptrdiff_t n = window_arg(w, s.length);
        const Plan p = plan(s, n);
        // Short windows are cheaper scanned directly than split into blocks.
        if (!p.layout.lanes_along_time || n < 16) {
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
                        core::first_extreme_positions<T, Max>(in + c * g.col_stride, s.length, n,
                                                              data + c * g.out_col, g.out_row, values.data(),
                                                              positions.data());
                    }
                });
            }
            return py::array(out);
        });
    };
}

// A series laid out along time is first turned into 0/1 integers, one
// comparison per element instead of one per element per window; the window
// sums of those are exact and run on the widest registers. Row-major panels
// take the lane kernel, whose lanes are series and which keeps running
// counts (a 0/1 copy of the whole panel would cost more than it saves).
auto count_kernel() {
    return [](py::object x, py::object w) {
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
                        run(core::Sum<std::int64_t>{{truth.data(), 1}, n}, column, data + c * g.out_col);
                    }
                });
            }
            return py::array(out);
        });
    };
}

}  // namespace

void bind_kernels(py::module_& m) {
    const auto F = Family::floating;
    const auto N = Family::native;
    const auto C = Result::computed;
    const auto H = Result::keeps_half;
    const auto D = Result::keeps_dtype;

    m.def("count", count_kernel(),
          QX_DOC("滑动窗口内的真值个数(非零为真, NaN 为真)", QX_X QX_WINDOW, QX_OUT ", int64"), py::arg("x"),
          py::arg("window"));
    m.def("ts_rank", plain<core::Rank, true>("x", N, C),
          QX_DOC("最新值在窗口内的升序排名除以窗口长度(NaN 最大, 相等值中先出现者在前)", QX_X QX_WINDOW,
                 QX_OUT ", float64, 取值 0 到 (window - 1) / window"),
          py::arg("x"), py::arg("window"));
    m.def("product", plain<core::Product, true>("s", N, H),
          QX_DOC("滑动窗口内各值的乘积", QX_S QX_WINDOW, QX_OUT ", 类型同 numpy.prod"), py::arg("s"),
          py::arg("window"));
    m.def("ma", plain<Mean, false>("x", F, H), QX_DOC("滑动算术平均", QX_X QX_N, QX_OUT ", 浮点数"), py::arg("x"),
          py::arg("n"));
    m.def("ema", weighted(ema_weights),
          QX_DOC("滑动指数加权和(平滑因子 2 / (n + 1), 权重不归一)", QX_X QX_N, QX_OUT ", float64"), py::arg("x"),
          py::arg("n"));
    m.def("wma", weighted(linear_weights),
          QX_DOC("滑动线性加权平均(越新的值权重越大, 权重和为 1)", QX_X QX_N, QX_OUT ", float64"), py::arg("x"),
          py::arg("n"));
    m.def("sum", plain<core::Sum, true>("x", N, H),
          QX_DOC("滑动求和", QX_X QX_N, QX_OUT ", 类型同 numpy.sum"), py::arg("x"), py::arg("n"));
    m.def("std", plain<Std, false>("x", F, H), QX_DOC("滑动总体标准差(除以 n)", QX_X QX_N, QX_OUT ", 浮点数"),
          py::arg("x"), py::arg("n"));
    m.def("var", plain<Var, false>("x", F, H), QX_DOC("滑动总体方差(除以 n)", QX_X QX_N, QX_OUT ", 浮点数"),
          py::arg("x"), py::arg("n"));
    m.def("ts_min", plain<Min, true>("x", N, D),
          QX_DOC("滑动最小值(窗口含 NaN 时为 NaN)", QX_X QX_N, QX_OUT ", 类型同输入"), py::arg("x"), py::arg("n"));
    m.def("ts_max", plain<Max, true>("x", N, D),
          QX_DOC("滑动最大值(窗口含 NaN 时为 NaN)", QX_X QX_N, QX_OUT ", 类型同输入"), py::arg("x"), py::arg("n"));
    m.def("ts_argmax", arg_extreme<true>(),
          QX_DOC("窗口内首个最大值的位置(最旧为 0; 含 NaN 时为首个 NaN 的位置)", QX_X QX_N, QX_OUT ", float64"),
          py::arg("x"), py::arg("n"));
    m.def("ts_argmin", arg_extreme<false>(),
          QX_DOC("窗口内首个最小值的位置(最旧为 0; 含 NaN 时为首个 NaN 的位置)", QX_X QX_N, QX_OUT ", float64"),
          py::arg("x"), py::arg("n"));
    m.def("zscore", plain<ZScore, false>("s", F, H),
          QX_DOC("最新值相对窗口均值的标准分数(总体标准差)", QX_S QX_WINDOW, QX_OUT ", 浮点数"), py::arg("s"),
          py::arg("window"));
    m.def(
        "avedev",
        [](py::object s, py::object window) {
            return single<false>(s, window, "s", F, H, [](auto t, const Series& ser, std::ptrdiff_t n) {
                using T = typename decltype(t)::type;
                return core::AveDev<T>{src<T>(ser), n, ser.length == n};
            });
        },
        QX_DOC("滑动平均绝对偏差(相对窗口均值, 除以 n)", QX_S QX_WINDOW, QX_OUT ", 浮点数"), py::arg("s"),
        py::arg("window"));
    m.def(
        "skew",
        [](py::object s, py::object n) {
            return single<false>(s, n, "s", F, H, [](auto t, const Series& ser, std::ptrdiff_t w) {
                using T = typename decltype(t)::type;
                const bool corrected = w > 2;
                const double factor =
                    corrected ? std::pow(static_cast<double>(w * (w - 1)), 0.5) / static_cast<double>(w - 2) : 1.0;
                return core::Skew<T>{src<T>(ser), w, static_cast<T>(factor), corrected};
            });
        },
        QX_DOC("滑动偏度(n > 2 时做偏差修正)", QX_S QX_N, QX_OUT ", 浮点数"), py::arg("s"), py::arg("n"));
    m.def(
        "kurt",
        [](py::object s, py::object n) {
            py::array raw = as_numeric(s, "s");
            const std::ptrdiff_t w = window_arg(n, raw.shape(0));
            if (w <= 3) return kurt_constant(raw, w);
            return single<false>(raw, n, "s", F, H,
                                 [](auto t, const Series& ser, std::ptrdiff_t win) {
                                     using T = typename decltype(t)::type;
                                     return core::Kurt<T>::make(src<T>(ser), win);
                                 });
        },
        QX_DOC("滑动超额峰度(偏差修正; n 为 1、2、3 时分别为常数 -3、-2、-1.5)", QX_S QX_N,
               QX_OUT ", 浮点数(n <= 3 时类型同输入)"),
        py::arg("s"), py::arg("n"));
    m.def(
        "slope",
        [](py::object y, py::object n) {
            return single<false>(y, n, "y", F, C, [](auto t, const Series& s, std::ptrdiff_t w) {
                using T = typename decltype(t)::type;
                return core::Slope<T>::make(src<T>(s), w);
            });
        },
        QX_DOC("窗口值对位置 0..n-1 的最小二乘斜率", QX_Y QX_N, QX_OUT ", float64(n 为 1 时为 NaN)"), py::arg("y"),
        py::arg("n"));

#define QX_PAIR(first, second) \
    "    window: int, 窗口长度\n    " first ": 一维数值数组(二维时每列为一个序列)\n    " second ": 与 " first " 形状相同\n"

    m.def(
        "covariance", [](py::object window, py::object a, py::object b) {
            return paired<core::Pair::covariance>(window, a, b, "a", "b");
        },
        QX_DOC("两序列的滑动总体协方差(除以 n)", QX_PAIR("a", "b"), QX_OUT ", 浮点数"), py::arg("window"),
        py::arg("a"), py::arg("b"));
    m.def(
        "correlation", [](py::object window, py::object a, py::object b) {
            return paired<core::Pair::correlation>(window, a, b, "a", "b");
        },
        QX_DOC("两序列的滑动皮尔逊相关系数", QX_PAIR("a", "b"), QX_OUT ", 浮点数"), py::arg("window"), py::arg("a"),
        py::arg("b"));
    m.def(
        "regression", [](py::object window, py::object x, py::object y) {
            return paired<core::Pair::regression>(window, x, y, "x", "y");
        },
        QX_DOC("y 对 x 的滑动最小二乘回归斜率(含截距)", QX_PAIR("x", "y"), QX_OUT ", 浮点数"), py::arg("window"),
        py::arg("x"), py::arg("y"));
}

}  // namespace quellix::rolling
