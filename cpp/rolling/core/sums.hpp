// Sums, products and counts of true values over a window.
#pragma once

#include <type_traits>
#include <vector>

#include "rolling/core/pairwise_sum.hpp"
#include "rolling/core/panel.hpp"

namespace quellix::rolling::core {

// Integer lanes accumulate as unsigned so overflow wraps like numpy's int64
// arithmetic instead of being undefined behaviour.
template <class T, int W>
using wrap_vec = vec<std::make_unsigned_t<T>, W>;

// Row-major panels of floating-point sums (and means) share partial sums
// between neighbouring windows from n = 8 on; everything else evaluates
// window by window.
template <int W, class K, class Finish>
void pairwise_sum_rows(const K& k, const Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi,
                       const Finish& finish) {
    if constexpr (is_float<typename K::out_type>) {
        if (k.n >= 8 && g.out_col == 1 && hi - lo >= 4) {
            if (k.n <= 128) {
                pairwise_rows<W>(k.x.p, k.x.step, g.series, k.n, lo, hi, out, g.out_row, finish);
                return;
            }
            if (pairwise_tree_rows<W>(k.x.p, k.x.step, g.series, k.n, lo, hi, out, g.out_row, finish)) return;
        }
    }
    eval_each<W>(k, g, out, lo, hi);
}

template <class T>
struct Sum {
    using out_type = T;
    static constexpr int width = lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;

    template <int W>
    QX_INLINE vec<T, W> eval(std::ptrdiff_t off) const {
        if constexpr (is_float<T>) {
            return pairwise_sum<vec<T, W>>([&](std::ptrdiff_t j) { return x.template at<W>(off, j); }, n);
        } else {
            auto r = (wrap_vec<T, W>)x.template at<W>(off, 0);
            for (std::ptrdiff_t j = 1; j < n; ++j) r += (wrap_vec<T, W>)x.template at<W>(off, j);
            return (vec<T, W>)r;
        }
    }

    template <int W>
    void rows(const Layout& g, T* out, std::ptrdiff_t lo, std::ptrdiff_t hi) const {
        pairwise_sum_rows<W>(*this, g, out, lo, hi, [](const auto& s) { return s; });
    }
};

template <class T, int W, bool Float>
struct product_lanes {
    using type = vec<T, W>;
};
template <class T, int W>
struct product_lanes<T, W, false> {
    using type = wrap_vec<T, W>;
};

// numpy's multiply.reduce runs left to right.
template <class T>
struct Product {
    using out_type = T;
    static constexpr int width = lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;

    template <int W>
    QX_INLINE vec<T, W> eval(std::ptrdiff_t off) const {
        if constexpr (is_float<T>) {
            auto r = x.template at<W>(off, 0);
            for (std::ptrdiff_t j = 1; j < n; ++j) r *= x.template at<W>(off, j);
            return r;
        } else {
            auto r = (wrap_vec<T, W>)x.template at<W>(off, 0);
            for (std::ptrdiff_t j = 1; j < n; ++j) r *= (wrap_vec<T, W>)x.template at<W>(off, j);
            return (vec<T, W>)r;
        }
    }

    // Four neighbouring windows at once: each window's product is one chain
    // of dependent multiplications, so four chains side by side keep the
    // multiplier busy where one would wait on its latency.
    template <int W>
    QX_INLINE void eval4(std::ptrdiff_t off, vec<T, W>* res) const {
        using V = typename product_lanes<T, W, is_float<T>>::type;
        V r[4];
        for (int q = 0; q < 4; ++q) r[q] = (V)x.template at<W>(off + q * x.step, 0);
        for (std::ptrdiff_t j = 1; j < n; ++j) {
            for (int q = 0; q < 4; ++q) r[q] *= (V)x.template at<W>(off + q * x.step, j);
        }
        for (int q = 0; q < 4; ++q) res[q] = (vec<T, W>)r[q];
    }
};

// Truth is "non-zero", so NaN counts as true, as in astype(bool).
template <class T>
struct Count {
    using out_type = std::int64_t;
    static constexpr int width = lanes<T>;
    static constexpr bool uses_masks = true;
    Src<T> x;
    std::ptrdiff_t n;

    template <int W>
    QX_INLINE vec<std::int64_t, W> eval(std::ptrdiff_t off) const {
        using M = decltype(vec<T, W>{} != vec<T, W>{});
        M c{};
        for (std::ptrdiff_t j = 0; j < n; ++j) c -= (x.template at<W>(off, j) != T(0));
        return __builtin_convertvector(c, vec<std::int64_t, W>);
    }

    // Row-major panels: counts are exact integers, so each window's count is
    // the previous one plus the entering value's truth minus the leaving
    // one's, two comparisons per value whatever n. Whole rows at a time (the
    // running counts of a row fit in L2) keep every access sequential.
    template <int W>
    void rows(const Layout& g, std::int64_t* out, std::ptrdiff_t lo, std::ptrdiff_t hi) const {
        std::vector<std::int64_t> acc(static_cast<std::size_t>(g.series), 0);
        for (std::ptrdiff_t t = lo; t + 1 < lo + n; ++t) {
            step<W>(acc.data(), x.p + t * x.step, nullptr, nullptr, 0, g.series);
        }
        for (std::ptrdiff_t i = lo; i < hi; ++i) {
            step<W>(acc.data(), x.p + (i + n - 1) * x.step, x.p + i * x.step, out + i * g.out_row, g.out_col,
                    g.series);
        }
    }

    // acc += truth(enter); out = acc; acc -= truth(leave), over `width` columns.
    template <int W>
    QX_INLINE static void step(std::int64_t* acc, const T* enter, const T* leave, std::int64_t* o,
                               std::ptrdiff_t o_col, std::ptrdiff_t width) {
        auto at = [&]<int U>(std::ptrdiff_t c) {
            lane_step<U>(acc + c, enter + c, leave ? leave + c : nullptr, o ? o + c * o_col : nullptr, o_col);
        };
        std::ptrdiff_t c = 0;
        for (; c + W <= width; c += W) at.template operator()<W>(c);
        for (; c < width; ++c) at.template operator()<1>(c);
    }

    template <int W>
    QX_INLINE static void lane_step(std::int64_t* acc, const T* enter, const T* leave, std::int64_t* o,
                                    std::ptrdiff_t o_col) {
        using I = vec<std::int64_t, W>;
        I a = load<I>(acc) - __builtin_convertvector(load<vec<T, W>>(enter) != T(0), I);
        if (o) store<W>(o, o_col, a);
        if (leave) a += __builtin_convertvector(load<vec<T, W>>(leave) != T(0), I);
        std::memcpy(acc, &a, sizeof(a));
    }
};

}  // namespace quellix::rolling::core
