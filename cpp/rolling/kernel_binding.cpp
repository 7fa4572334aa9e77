#include "common/pybind11.hpp"

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/cpu_features.hpp"
#include "rolling/dispatch.hpp"
#include "rolling/kernel_binding.hpp"

namespace quellix::rolling::binding {
namespace {

// Looked up once; deliberately leaked so no Python object is released after
// the interpreter has finalised.
const py::object& numpy_asarray() {
    static const auto* f = new py::object(numpy().attr("asarray"));
    return *f;
}

const py::object& numpy_bool() {
    static const auto* t = new py::object(numpy().attr("bool_"));
    return *t;
}

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
// other layout is copied once, which is cheaper than strided lanes. numpy
// arrays may also start off their element alignment (views into byte
// buffers); the core reads whole elements, so those are copied too.
void make_lane_friendly(Series& s) {
    read_strides(s);
    const bool aligned = reinterpret_cast<std::uintptr_t>(s.arr.data()) % s.arr.itemsize() == 0;
    const bool time_unit = s.rs == 1 && strides_whole(s.arr);
    const bool series_unit = s.series > 1 && s.cs == 1 && strides_whole(s.arr);
    if (aligned && (time_unit || series_unit)) return;
    s.arr = aligned ? numpy().attr("ascontiguousarray")(s.arr) : s.arr.attr("copy")();
    read_strides(s);
}

// numpy writes native order as '=' (or '|' where order does not apply).
bool is_native(const py::dtype& dt) {
    const char order = dt.byteorder();
    return order == '=' || order == '|' || order == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? '<' : '>');
}

bool same_type(const py::dtype& a, const py::dtype& b) {
    return a.kind() == b.kind() && a.itemsize() == b.itemsize() && is_native(a);
}

}  // namespace

const py::module_& numpy() {
    static const auto* np = new py::module_(py::module_::import("numpy"));
    return *np;
}

Isa machine_isa() {
    static const Isa isa = [] {
#ifndef QX_NO_AVX512  // -DQUELLIX_AVX512=OFF: a build for measuring what the AVX-512 copies buy
        if (cpu_has_avx512()) return Isa::avx512;
#endif
        return cpu_has_avx2() ? Isa::avx2 : Isa::baseline;
    }();
    return isa;
}

bool is_half(const py::dtype& dt) { return dt.kind() == 'f' && dt.itemsize() == 2; }

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

Series prepare(const py::object& obj, const char* name, Family family) {
    py::array arr = as_numeric(obj, name);
    Series s{arr, arr.dtype(), elem_for(arr.dtype(), family), static_cast<int>(arr.ndim()), 0, 0, 0, 0};
    // Byte-swapped input is converted too: the core reads native values.
    py::dtype target = py::dtype(elem_dtype(s.elem));
    if (!same_type(arr.dtype(), target)) s.arr = arr.attr("astype")(target);
    make_lane_friendly(s);
    return s;
}

void widen_for_positions(Series& s, std::ptrdiff_t n) {
    if (s.elem != Elem::f32 || n < (std::ptrdiff_t{1} << 24)) return;
    s.arr = s.arr.attr("astype")("float64");
    s.elem = Elem::f64;
    make_lane_friendly(s);
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

// Narrowing to float16 may overflow to inf; like every other IEEE special
// value the kernels produce, that is returned without a warning.
py::array narrow(const py::array& out, const py::object& dtype) {
    py::object quiet = numpy().attr("errstate")(py::arg("over") = "ignore");
    quiet.attr("__enter__")();
    py::array narrowed = out.attr("astype")(dtype);
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    return narrowed;
}

// numpy's reductions answer in native byte order whatever the input's.
py::array finish(py::array out, const Series& s, Result rule) {
    if (rule == Result::keeps_dtype || (rule == Result::keeps_half && is_half(s.orig))) {
        if (!(out.dtype().kind() == s.orig.kind() && out.dtype().itemsize() == s.orig.itemsize())) {
            return narrow(out, s.orig.attr("newbyteorder")("="));
        }
    }
    return out;
}

// numpy's own handling of a ufunc's floating-point errors: conditions in the
// order divide, invalid; per condition the mode np.errstate set for it.
void report_fp(unsigned flags, const FpOps& ops, std::initializer_list<const py::array*> inputs) {
    bool infinite = false;
    if (flags & core::fp_invalid) {
        for (const py::array* a : inputs) {
            if (a->dtype().kind() == 'f') infinite = infinite || numpy().attr("isinf")(*a).attr("any")().cast<bool>();
        }
    }
    py::dict modes = numpy().attr("geterr")();
    const struct {
        unsigned bit;
        const char* key;
        const char* what;
        const char* op;
    } conditions[] = {{core::fp_divide, "divide", "divide by zero", "divide"},
                      {core::fp_invalid, "invalid", "invalid value", infinite ? ops.infinite : ops.finite}};
    for (const auto& c : conditions) {
        if (!(flags & c.bit)) continue;
        const std::string mode = py::str(modes[c.key]);
        const std::string message = std::string(c.what) + " encountered in " + c.op;
        if (mode == "ignore") continue;
        if (mode == "warn") {
            if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) < 0) throw py::error_already_set();
        } else if (mode == "raise") {
            PyErr_SetString(PyExc_FloatingPointError, message.c_str());
            throw py::error_already_set();
        } else if (mode == "print") {
            std::fprintf(stderr, "Warning: %s\n", message.c_str());
        } else {
            const bool log = mode == "log";
            py::object handler = numpy().attr("geterrcall")();
            if (handler.is_none()) {
                PyErr_Format(PyExc_NameError, "%s specified for %s (in %s) but no %s found.",
                             log ? "log" : "python callback", c.what, c.op,
                             log ? "object with write method" : "function");
                throw py::error_already_set();
            }
            if (log) {
                handler.attr("write")("Warning: " + message + "\n");
            } else {
                handler(c.what, flags);
            }
        }
    }
}

}  // namespace quellix::rolling::binding
