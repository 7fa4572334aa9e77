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
    static constexpr int width = chain_lanes<T>;
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

// Position (from the oldest value) of the first extreme, as float64. The
// position is tracked in a float lane of the input's width so that selecting
// it shares the comparison mask; it is exact while n < 2**24 for float32
// input (the binding widens float32 beyond that).
template <class T, bool Max>
struct ArgExtreme {
    using out_type = double;
    static constexpr int width = chain_lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;

    template <int W>
    QX_INLINE vec<double, W> eval(std::ptrdiff_t off) const {
        using V = vec<T, W>;
        using P = std::conditional_t<sizeof(T) == 4, float, double>;
        using I = vec<P, W>;
        V best = x.template at<W>(off, 0);
        I idx{};
        auto done = best != best;
        for (std::ptrdiff_t j = 1; j < n; ++j) {
            V v = x.template at<W>(off, j);
            decltype(done) take;
            if constexpr (Max) {
                take = v > best;
            } else {
                take = v < best;
            }
            if constexpr (is_float<T>) {
                auto isnan = v != v;
                take = (take | isnan) & ~done;
                done |= isnan;
            }
            best = take ? v : best;
            idx = take ? splat<I>(static_cast<P>(j)) : idx;
        }
        return convert<double>(idx);
    }
};

}  // namespace quellix::rolling::core
