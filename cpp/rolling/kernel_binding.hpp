// What every kernel binding shares: reading the series and the window,
// planning the output, running a core kernel on the best instruction set
// without the GIL, and reporting the floating-point conditions it met.
// Templates here are instantiated by the bind_<family>.cpp that uses them.
#pragma once

#include "common/pybind11.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "common/parallel.hpp"
#include "rolling/core/fp_status.hpp"
#include "rolling/core/panel.hpp"

namespace quellix::rolling::binding {

namespace core = quellix::rolling::core;

const py::module_& numpy();

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

bool is_half(const py::dtype& dt);
py::array as_numeric(const py::object& obj, const char* name);
std::ptrdiff_t window_arg(const py::object& w, std::ptrdiff_t length);
Series prepare(const py::object& obj, const char* name, Family family);
void align_pair(Series& a, Series& b);

// float32 lanes count window positions exactly only below 2**24; kernels
// that keep positions in the input's type read longer windows as float64.
void widen_for_positions(Series& s, std::ptrdiff_t n);

struct Plan {
    core::Layout layout;
    std::vector<py::ssize_t> shape;
    std::vector<py::ssize_t> out_strides;  // in elements
};

Plan plan(const Series& s, std::ptrdiff_t n);

template <class O>
py::array_t<O> allocate(const Plan& p) {
    std::vector<py::ssize_t> bytes;
    for (auto st : p.out_strides) bytes.push_back(st * static_cast<py::ssize_t>(sizeof(O)));
    return py::array_t<O>(p.shape, bytes);
}

// Where numpy keeps the input's float16 (or, for extremes, any input dtype),
// the result computed in a wider core type is cast back.
enum class Result { computed, keeps_half, keeps_dtype };

py::array narrow(const py::array& out, const py::object& dtype);
py::array finish(py::array out, const Series& s, Result rule);

// numpy's names for the ufuncs at which a kernel's formula meets its
// floating-point errors: 0/0 and x/0 on finite data (`finite`), and inf - inf
// or 0 * inf on data holding an infinity (`infinite`).
struct FpOps {
    const char* finite;
    const char* infinite;
};

// Raises numpy's RuntimeWarning, FloatingPointError, ... for the conditions
// in `flags` (core::FpFlag bits) under the caller's np.errstate, once per
// condition. `inputs` are what the kernel read. Needs the GIL.
void report_fp(unsigned flags, const FpOps& ops, std::initializer_list<const py::array*> inputs);

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

}  // namespace quellix::rolling::binding
