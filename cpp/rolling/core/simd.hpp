// Lane vectors for evaluating W neighbouring windows at once. Each lane runs
// the exact scalar operation sequence of its own window, so results do not
// depend on the lane count (W = 1 is the scalar tail of every loop).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

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
// Wider vectors are split into 16-byte halves by shuffles, which stay in
// registers (a round trip through memory stalls on store forwarding).
template <std::size_t Off, class V, std::size_t... I>
QX_INLINE auto lanes_at(const V& v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, (Off + I)...);
}

template <class H, std::size_t... I>
QX_INLINE auto join(const H& a, const H& b, std::index_sequence<I...>) {
    return __builtin_shufflevector(a, b, I...);
}

template <class V>
QX_INLINE V vsqrt(const V& v) {
    using E = std::remove_cvref_t<decltype(v[0])>;
    constexpr std::size_t w = sizeof(V) / sizeof(E);
#if defined(__SSE2__)
    if constexpr (sizeof(V) == 16) {
        if constexpr (std::is_same_v<E, double>) {
            return __builtin_ia32_sqrtpd(v);
        } else {
            return __builtin_ia32_sqrtps(v);
        }
    } else if constexpr (sizeof(V) % 32 == 0) {
        using H = vec<E, static_cast<int>(w / 2)>;
        const H low = vsqrt<H>(lanes_at<0>(v, std::make_index_sequence<w / 2>{}));
        const H high = vsqrt<H>(lanes_at<w / 2>(v, std::make_index_sequence<w / 2>{}));
        return join(low, high, std::make_index_sequence<w>{});
    }
#endif
    V r = v;
    for (std::size_t k = 0; k < w; ++k) r[k] = std::sqrt(r[k]);
    return r;
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
