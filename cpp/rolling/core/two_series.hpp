// Covariance, correlation and regression slope of two series over a window,
// from raw moments (mean of products minus product of means). Each series'
// own moments are taken in its own type; anything mixing the two is in the
// promoted type P, as numpy's promotion does for mixed float32/float64 input.
#pragma once

#include <type_traits>

#include "rolling/core/moments.hpp"

namespace quellix::rolling::core {

enum class Pair { covariance, correlation, regression };

template <class A, class B, Pair Kind>
struct TwoSeries {
    using P = std::conditional_t<std::is_same_v<A, float> && std::is_same_v<B, float>, float, double>;
    using out_type = P;
    static constexpr int width = lanes<P>;
    Src<A> a;  // x for the regression
    Src<B> b;  // y for the regression
    std::ptrdiff_t n;

    template <int W>
    QX_INLINE vec<P, W> eval(std::ptrdiff_t off) const {
        using V = vec<P, W>;
        auto ma = window_mean<W>(a, off, n);
        auto mb = window_mean<W>(b, off, n);
        auto prod = [&](std::ptrdiff_t j) {
            return convert<P>(a.template at<W>(off, j)) * convert<P>(b.template at<W>(off, j));
        };
        V sab = pairwise_sum<V>(prod, n);
        V cross = convert<P>(ma) * convert<P>(mb);
        if constexpr (Kind == Pair::covariance) {
            return sab / static_cast<P>(n) - cross;
        } else if constexpr (Kind == Pair::correlation) {
            auto sa = vsqrt(window_var<W>(a, off, n, ma));
            auto sb = vsqrt(window_var<W>(b, off, n, mb));
            return (sab / static_cast<P>(n) - cross) / (convert<P>(sa) * convert<P>(sb));
        } else {
            auto sq = [&](std::ptrdiff_t j) {
                auto v = a.template at<W>(off, j);
                return v * v;
            };
            auto sxx = pairwise_sum<vec<A, W>>(sq, n);
            V num = sab - cross * static_cast<P>(n);
            auto den = sxx - ma * ma * static_cast<A>(n);
            return num / convert<P>(den);
        }
    }
};

}  // namespace quellix::rolling::core
