// Covariance, correlation and regression slope of two series over a window,
// from raw moments (mean of products minus product of means), in numpy's
// types: each series' own moments in its own type, the element products in
// Q (numpy's type for a * b), and what mixes the two series' moments in P.
#pragma once

#include <type_traits>

#include "rolling/core/moments.hpp"

namespace quellix::rolling::core {

enum class Pair { covariance, correlation, regression };

template <class A, class B, class Q, Pair Kind>
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
            return convert<Q>(a.template at<W>(off, j)) * convert<Q>(b.template at<W>(off, j));
        };
        vec<Q, W> sab = pairwise_sum<vec<Q, W>>(prod, n);
        V cross = convert<P>(ma) * convert<P>(mb);
        if constexpr (Kind == Pair::covariance) {
            return convert<P>(divide_by_count(sab, n)) - cross;
        } else if constexpr (Kind == Pair::correlation) {
            auto sa = vsqrt(window_var<W>(a, off, n, ma));
            auto sb = vsqrt(window_var<W>(b, off, n, mb));
            return (convert<P>(divide_by_count(sab, n)) - cross) / (convert<P>(sa) * convert<P>(sb));
        } else {
            auto sq = [&](std::ptrdiff_t j) {
                auto v = a.template at<W>(off, j);
                return v * v;
            };
            auto sxx = pairwise_sum<vec<A, W>>(sq, n);
            V num = convert<P>(sab) - cross * static_cast<P>(n);
            auto den = sxx - ma * ma * static_cast<A>(n);
            return num / convert<P>(den);
        }
    }
};

}  // namespace quellix::rolling::core
