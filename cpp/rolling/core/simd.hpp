// Lane vectors for evaluating W neighbouring windows at once. Each lane runs
// the exact scalar operation sequence of its own window, so results do not
// depend on the lane count (W = 1 is the scalar tail of every loop).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#define QX_INLINE [[gnu::always_inline]] inline

// Lane vectors never cross a call boundary by value (everything returning one
// is always_inline, the recursion passes references), so the note that their
// ABI depends on the instruction set does not concern this code.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quellix::rolling::core {

template <class T, int W>
struct vec_of {
    typedef T type __attribute__((vector_size(W * sizeof(T))));
};
template <class T, int W>
using vec = typename vec_of<T, W>::type;

// Lanes per block: one 256-bit register of the input element type.
template <class T>
inline constexpr int lanes = static_cast<int>(32 / sizeof(T));

template <class V>
QX_INLINE V load(const void* p) {
    V v;
    std::memcpy(&v, p, sizeof(V));
    return v;
}

template <class V>
QX_INLINE V splat(decltype(V{}[0]) s) {
    V v;
    constexpr int w = sizeof(V) / sizeof(v[0]);
    for (int k = 0; k < w; ++k) v[k] = s;
    return v;
}

template <class V>
inline constexpr int width_of = static_cast<int>(sizeof(V) / sizeof(V{}[0]));

template <class To, class V>
QX_INLINE vec<To, width_of<V>> convert(const V& v) {
    if constexpr (std::is_same_v<vec<To, width_of<V>>, V>) {
        return v;
    } else {
        return __builtin_convertvector(v, vec<To, width_of<V>>);
    }
}

// std::sqrt must be able to set errno, which keeps the compiler from
// vectorising it; SSE2's packed square root (part of every x86-64 target, and
// VEX-encoded inside AVX code) is the same correctly rounded IEEE operation.
template <class V>
QX_INLINE V vsqrt(const V& in) {
    V v = in;
    using E = std::remove_cvref_t<decltype(v[0])>;
#if defined(__SSE2__)
    if constexpr (sizeof(V) % 16 == 0) {
        typedef E pair __attribute__((vector_size(16)));
        for (std::size_t b = 0; b < sizeof(V); b += 16) {
            pair p;
            std::memcpy(&p, reinterpret_cast<const char*>(&v) + b, 16);
            if constexpr (std::is_same_v<E, double>) {
                p = __builtin_ia32_sqrtpd(p);
            } else {
                p = __builtin_ia32_sqrtps(p);
            }
            std::memcpy(reinterpret_cast<char*>(&v) + b, &p, 16);
        }
        return v;
    }
#endif
    for (int k = 0; k < width_of<V>; ++k) v[k] = std::sqrt(v[k]);
    return v;
}

template <class V>
QX_INLINE V vabs(const V& in) {
    V v = in;
    for (int k = 0; k < width_of<V>; ++k) v[k] = std::fabs(v[k]);
    return v;
}

// Stores W lanes to out[0], out[stride], ...: outputs are contiguous in the
// common cases, strided only for column-major 2-D results.
template <int W, class T>
QX_INLINE void store(T* out, std::ptrdiff_t stride, const vec<T, W>& v) {
    if (stride == 1) {
        std::memcpy(out, &v, sizeof(v));
    } else {
        for (int k = 0; k < W; ++k) out[k * stride] = v[k];
    }
}

template <class T>
inline constexpr bool is_float = std::is_floating_point_v<T>;

}  // namespace quellix::rolling::core
