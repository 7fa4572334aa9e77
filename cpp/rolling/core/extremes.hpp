// Window extremes and their positions, with numpy's NaN conventions: a NaN
// makes the extreme NaN and is itself reported as the position.
#pragma once

#include <limits>
#include <type_traits>

#include "rolling/core/panel.hpp"

namespace quellix::rolling::core {

template <class T, bool Max>
struct Extreme {
    using out_type = T;
    static constexpr int width = lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;

    template <int W>
    QX_INLINE vec<T, W> eval(std::ptrdiff_t off) const {
        using V = vec<T, W>;
        V r = x.template at<W>(off, 0);
        auto nan = r != r;
        for (std::ptrdiff_t j = 1; j < n; ++j) {
            V v = x.template at<W>(off, j);
            if constexpr (Max) {
                r = v > r ? v : r;
            } else {
                r = v < r ? v : r;
            }
            if constexpr (is_float<T>) nan |= v != v;
        }
        if constexpr (is_float<T>) r = nan ? splat<V>(std::numeric_limits<T>::quiet_NaN()) : r;
        return r;
    }
};

// Position (from the oldest value) of the first extreme, as float64: one
// pass for the extreme, one for its first occurrence, each a few operations
// per element with no long loop-carried chain. Positions live in integer
// lanes of the input's width (the comparison mask type), 32-bit for float32
// input: the binding widens float32 input for windows beyond that.
template <class T, bool Max>
struct ArgExtreme {
    using out_type = double;
    static constexpr int width = lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;

    template <int W>
    QX_INLINE vec<double, W> eval(std::ptrdiff_t off) const {
        using V = vec<T, W>;
        using I = decltype(V{} != V{});
        using P = decltype(I{}[0]);
        const V best = Extreme<T, Max>{x, n}.template eval<W>(off);
        // Scanning newest to oldest, the last hit is the first occurrence.
        // A window holding a NaN has a NaN extreme, which equals nothing, so
        // there only the NaNs hit.
        I idx{};
        I pos = splat<I>(static_cast<P>(n - 1));
        for (std::ptrdiff_t j = n - 1; j >= 0; --j) {
            V v = x.template at<W>(off, j);
            auto hit = v == best;
            if constexpr (is_float<T>) hit |= v != v;
            idx = hit ? pos : idx;
            pos -= P(1);
        }
        return convert<double>(idx);
    }
};

}  // namespace quellix::rolling::core
