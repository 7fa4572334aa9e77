// Weighted window sums (ema, wma) and the least-squares trend (slope).
// All are float64 whatever the input type: each value is widened before it
// meets a float64 weight, as numpy's type promotion does.
#pragma once

#include "rolling/core/pairwise_sum.hpp"
#include "rolling/core/panel.hpp"

namespace quellix::rolling::core {

// Sum over j of w_j * weights[j], oldest value first.
template <class T>
struct WeightedSum {
    using out_type = double;
    static constexpr int width = lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;
    const double* weights;

    template <int W>
    QX_INLINE vec<double, W> eval(std::ptrdiff_t off) const {
        auto term = [&](std::ptrdiff_t j) { return convert<double>(x.template at<W>(off, j)) * weights[j]; };
        return pairwise_sum<vec<double, W>>(term, n);
    }
};

// Linear weights 2k / (n (n + 1)), k = 1..n; they add up to 1.
inline void linear_weights(std::ptrdiff_t n, double* out) {
    const double denom = static_cast<double>(n * (n + 1));
    for (std::ptrdiff_t k = 1; k <= n; ++k) out[k - 1] = static_cast<double>(2 * k) / denom;
}

// Slope against positions 0..n-1: (sumx * S - n * Sxy) / (sumx^2 - n * sumxsqr),
// the negated textbook numerator and divisor. S is summed in the input's own
// type (a float32 series sums in float32) before widening.
template <class T>
struct Slope {
    using out_type = double;
    static constexpr int width = lanes<T>;
    Src<T> x;
    std::ptrdiff_t n;
    double sumx;
    double divisor;

    template <int W>
    QX_INLINE vec<double, W> eval(std::ptrdiff_t off) const {
        using D = vec<double, W>;
        auto plain = [&](std::ptrdiff_t j) { return x.template at<W>(off, j); };
        D s = convert<double>(pairwise_sum<vec<T, W>>(plain, n));
        auto moment = [&](std::ptrdiff_t j) {
            return convert<double>(x.template at<W>(off, j)) * static_cast<double>(j);
        };
        D sxy = pairwise_sum<D>(moment, n);
        return (sumx * s - static_cast<double>(n) * sxy) / divisor;
    }

    static Slope make(Src<T> x, std::ptrdiff_t n) {
        double sumx = pairwise_sum<vec<double, 1>>(
            [](std::ptrdiff_t j) { return vec<double, 1>{static_cast<double>(j)}; }, n)[0];
        double sumxsqr = static_cast<double>(n * (n - 1) * (2 * n - 1)) / 6.0;
        return Slope{x, n, sumx, sumx * sumx - static_cast<double>(n) * sumxsqr};
    }
};

}  // namespace quellix::rolling::core
