// Mean, dispersion and higher moments of a window, evaluated in numpy's
// operation order: the mean is a pairwise sum divided by n, the variance
// a pairwise sum of squared deviations from it divided by n.
#pragma once

#include <cmath>
#include <type_traits>

#include "rolling/core/pairwise_sum.hpp"
#include "rolling/core/panel.hpp"
#include "rolling/core/sums.hpp"

namespace quellix::rolling::core {

template <int W, class T>
QX_INLINE vec<T, W> window_sum(const Src<T>& x, std::ptrdiff_t off, std::ptrdiff_t n) {
    return pairwise_sum<vec<T, W>>([&](std::ptrdiff_t j) { return x.template at<W>(off, j); }, n);
}

// numpy's mean and var divide by the element count as an intp, which
// promotes a float32 sum to float64 for the division and rounds back. That
// equals float32 division while the count is exact in float32 (double
// rounding is harmless for a quotient of two floats), so only longer windows
// take the double path.
template <class V>
QX_INLINE V divide_by_count(const V& sum, std::ptrdiff_t n) {
    using T = std::remove_cvref_t<decltype(sum[0])>;
    if constexpr (std::is_same_v<T, float>) {
        if (n > (std::ptrdiff_t{1} << 24)) return convert<float>(convert<double>(sum) / static_cast<double>(n));
    }
    return sum / static_cast<T>(n);
}

template <int W, class T>
QX_INLINE vec<T, W> window_mean(const Src<T>& x, std::ptrdiff_t off, std::ptrdiff_t n) {
    return divide_by_count(window_sum<W>(x, off, n), n);
}

template <int W, class T>
QX_INLINE vec<T, W> window_var(const Src<T>& x, std::ptrdiff_t off, std::ptrdiff_t n, const vec<T, W>& mean) {
    auto sq = [&](std::ptrdiff_t j) {
        vec<T, W> d = x.template at<W>(off, j) - mean;
        return d * d;
    };
    return divide_by_count(pairwise_sum<vec<T, W>>(sq, n), n);
}

// The means of `windows` neighbouring windows of a packed strip of U lanes,
// from partial sums shared between the windows (pairwise_rows gives each
// window's pairwise sum exactly); false where that does not apply.
template <int U, class T>
bool strip_means(const T* strip, std::ptrdiff_t n, std::ptrdiff_t windows, T* out) {
    if (n < 8 || windows < 4) return false;
    auto finish = [n](const auto& s) { return divide_by_count(s, n); };
    if (n <= 128) {
        pairwise_rows<U>(strip, U, U, n, 0, windows, out, U, finish);
        return true;
    }
    return pairwise_tree_rows<U>(strip, U, U, n, 0, windows, out, U, finish);
}

// Kernels whose windows start from their mean take it from eval_given's
// argument on packed strips (see eval_packed).
#define QX_FROM_MEAN                                                                              \
    template <int W>                                                                              \
    QX_INLINE vec<T, W> eval(std::ptrdiff_t off) const {                                          \
        return eval_given<W>(off, window_mean<W>(x, off, n));                                     \
    }                                                                                             \
    template <int W>                                                                              \
    bool means(const T* strip, std::ptrdiff_t windows, T* out) const {                           \
        return strip_means<W>(strip, n, windows, out);                                            \
    }

enum class Moment { mean, var, std, zscore };

// The window mean (Kind mean), or, for Kind var, the variance, standard
// deviation or z-score of the newest value as `what` says: the three share
// one compiled copy, which branches once per group of windows on `what`
// (the same for every window of a call).
template <class T, Moment Kind>
struct Dispersion {
    using out_type = T;
    static constexpr int width = lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;
    Moment what = Kind;

    QX_FROM_MEAN

    template <int W>
    QX_INLINE vec<T, W> eval_given(std::ptrdiff_t off, const vec<T, W>& mean) const {
        if constexpr (Kind == Moment::mean) {
            return mean;
        } else {
            vec<T, W> var = window_var<W>(x, off, n, mean);
            if (what == Moment::var) return var;
            vec<T, W> sd = vsqrt(var);
            if (what == Moment::std) return sd;
            return (x.template at<W>(off, n - 1) - mean) / sd;
        }
    }

    template <int W>
    void rows(const Layout& g, T* out, std::ptrdiff_t lo, std::ptrdiff_t hi) const
        requires(Kind == Moment::mean)
    {
        pairwise_sum_rows<W>(*this, g, out, lo, hi, [n = n](const auto& s) { return divide_by_count(s, n); });
    }
};

// Mean absolute deviation. The numpy formula reduces a transposed temporary,
// which numpy sums left to right, except when there is a single window and
// the reduction axis is contiguous again (then it is pairwise).
template <class T>
struct AveDev {
    using out_type = T;
    static constexpr int width = lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;
    bool pairwise;

    QX_FROM_MEAN

    template <int W>
    QX_INLINE vec<T, W> eval_given(std::ptrdiff_t off, const vec<T, W>& mean) const {
        auto dev = [&](std::ptrdiff_t j) { return vabs(x.template at<W>(off, j) - mean); };
        vec<T, W> s = pairwise ? pairwise_sum<vec<T, W>>(dev, n) : sequential_sum<vec<T, W>>(dev, n);
        return divide_by_count(s, n);
    }
};

// Skewness from raw moments: (E[x^3] - 3 u sd^2 - u^3) / sd^3, then the
// adjusted Fisher-Pearson factor for n > 2.
template <class T>
struct Skew {
    using out_type = T;
    static constexpr int width = lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;
    T factor;  // sqrt(n (n - 1)) / (n - 2), rounded to T; 1 when uncorrected
    bool corrected;

    QX_FROM_MEAN

    template <int W>
    QX_INLINE vec<T, W> eval_given(std::ptrdiff_t off, const vec<T, W>& u) const {
        using V = vec<T, W>;
        auto cube = [&](std::ptrdiff_t j) {
            V v = x.template at<W>(off, j);
            return v * v * v;
        };
        V u3 = divide_by_count(pairwise_sum<V>(cube, n), n);
        V sd = vsqrt(window_var<W>(x, off, n, u));
        V r = (u3 - T(3) * u * sd * sd - u * u * u) / (sd * sd * sd);
        return corrected ? r * factor : r;
    }
};

// Bias-corrected excess kurtosis for n >= 4 (shorter windows are constants).
template <class T>
struct Kurt {
    using out_type = T;
    static constexpr int width = lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;
    T c1, c2, c3;  // 1/((n-2)(n-3)), n^2 - 1, 3 (n-1)^2, each rounded to T

    QX_FROM_MEAN

    template <int W>
    QX_INLINE vec<T, W> eval_given(std::ptrdiff_t off, const vec<T, W>& mean) const {
        using V = vec<T, W>;
        auto d2 = [&](std::ptrdiff_t j) {
            V d = x.template at<W>(off, j) - mean;
            return d * d;
        };
        // The formula divides by n as a Python int, which a float32 array
        // takes as float32.
        V m2 = pairwise_sum<V>(d2, n) / static_cast<T>(n);
        auto d4 = [&](std::ptrdiff_t j) {
            V s = d2(j);
            return s * s;
        };
        V m4 = pairwise_sum<V>(d4, n) / static_cast<T>(n);
        return c1 * (c2 * m4 / (m2 * m2) - c3);
    }

    static Kurt make(Src<T> x, std::ptrdiff_t n) {
        return Kurt{x, n, static_cast<T>(1.0 / static_cast<double>((n - 2) * (n - 3))),
                    static_cast<T>(static_cast<double>(n * n) - 1.0), static_cast<T>(3 * (n - 1) * (n - 1))};
    }
};

#undef QX_FROM_MEAN

}  // namespace quellix::rolling::core
