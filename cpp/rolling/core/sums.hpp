// Sums, products and counts of true values over a window.
#pragma once

#include <type_traits>

#include "rolling/core/pairwise_sum.hpp"
#include "rolling/core/panel.hpp"

namespace quellix::rolling::core {

// Integer lanes accumulate as unsigned so overflow wraps like numpy's int64
// arithmetic instead of being undefined behaviour.
template <class T, int W>
using wrap_vec = vec<std::make_unsigned_t<T>, W>;

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
};

}  // namespace quellix::rolling::core
