// Covariance, correlation and regression slope of two series over a window,
// from raw moments (mean of products minus product of means), in numpy's
// types: each series' own moments in its own type, the element products in
// Q (numpy's type for a * b), and what mixes the two series' moments in P.
#pragma once

#include <type_traits>
#include <vector>

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

    // Covariance and the slope are made of plain window sums (of a, b, a*b
    // and a*a), which pairwise_rows shares between the neighbouring windows
    // of a packed strip of U lanes: the results of `windows` windows of the
    // strip, window by window, into out. The products are numpy's own
    // elementwise ones (every value lies in some window), the sums and the
    // last steps those of eval. False where that does not apply.
    template <int U>
    bool strip_results(const A* sa, const B* sb, std::ptrdiff_t rows, std::ptrdiff_t windows, P* out) const
        requires(Kind != Pair::correlation)
    {
        if (n < 8 || windows < 4) return false;
        const auto per = static_cast<std::size_t>(windows * U);
        auto sums = [&](const auto* strip, auto* dst) {
            auto same = [](const auto& v) { return v; };
            if (n <= 128) {
                pairwise_rows<U>(strip, U, U, n, 0, windows, dst, U, same);
                return true;
            }
            return pairwise_tree_rows<U>(strip, U, U, n, 0, windows, dst, U, same);
        };
        std::vector<A> sum_a(per), sum_aa(Kind == Pair::regression ? per : 0);
        std::vector<B> sum_b(per);
        std::vector<Q> prod(static_cast<std::size_t>(rows * U)), sum_ab(per);
        if (!sums(sa, sum_a.data())) return false;
        sums(sb, sum_b.data());
        for (std::ptrdiff_t t = 0; t < rows * U; ++t) prod[t] = static_cast<Q>(sa[t]) * static_cast<Q>(sb[t]);
        sums(prod.data(), sum_ab.data());
        if constexpr (Kind == Pair::regression) {
            std::vector<A> squares(static_cast<std::size_t>(rows * U));
            for (std::ptrdiff_t t = 0; t < rows * U; ++t) squares[t] = sa[t] * sa[t];
            sums(squares.data(), sum_aa.data());
        }
        for (std::ptrdiff_t w = 0; w < windows; ++w) {
            const auto ma = divide_by_count(load<vec<A, U>>(sum_a.data() + w * U), n);
            const auto mb = divide_by_count(load<vec<B, U>>(sum_b.data() + w * U), n);
            const auto sab = load<vec<Q, U>>(sum_ab.data() + w * U);
            const vec<P, U> cross = convert<P>(ma) * convert<P>(mb);
            vec<P, U> r;
            if constexpr (Kind == Pair::covariance) {
                r = convert<P>(divide_by_count(sab, n)) - cross;
            } else {
                const auto sxx = load<vec<A, U>>(sum_aa.data() + w * U);
                const vec<P, U> num = convert<P>(sab) - cross * static_cast<P>(n);
                const auto den = sxx - ma * ma * static_cast<A>(n);
                r = num / convert<P>(den);
            }
            std::memcpy(out + w * U, &r, sizeof(r));
        }
        return true;
    }
};

}  // namespace quellix::rolling::core
