// Weighted window sums (ema, wma) and the least-squares trend (slope).
// All are float64 whatever the input type: each value is widened before it
// meets a float64 weight or position, as numpy's type promotion does.
#pragma once

#include <cstdint>
#include <type_traits>

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

// n (n - 1) (2n - 1) / 6 as Python's integers give it: the exact quotient
// (the product is always divisible by 6), rounded once to double. In int64
// the product overflows from n ~ 1.66e6 on, so the 2 and the 3 are divided
// out of the factors first and the rest is multiplied in 128 bits.
inline double sum_of_squares(std::ptrdiff_t n) {
    unsigned __int128 a = static_cast<std::uint64_t>(n);
    unsigned __int128 b = static_cast<std::uint64_t>(n - 1);
    unsigned __int128 c = static_cast<std::uint64_t>(2 * n - 1);
    (a % 2 == 0 ? a : b) /= 2;
    (a % 3 == 0 ? a : (b % 3 == 0 ? b : c)) /= 3;
    return static_cast<double>(a * b * c);  // exact below 2**128, correctly rounded
}

// Slope against positions 0..n-1: (sumx * S - n * Sxy) / (sumx^2 - n * sumxsqr),
// the negated textbook numerator and divisor. S is summed in the input's own
// type (a float32 series sums in float32, integers wrap in 64 bits) before
// widening.
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
        D s;
        if constexpr (is_float<T>) {
            auto plain = [&](std::ptrdiff_t j) { return x.template at<W>(off, j); };
            s = convert<double>(pairwise_sum<vec<T, W>>(plain, n));
        } else {
            using U = vec<std::make_unsigned_t<T>, W>;
            U r = (U)x.template at<W>(off, 0);
            for (std::ptrdiff_t j = 1; j < n; ++j) r += (U)x.template at<W>(off, j);
            s = convert<double>((vec<T, W>)r);
        }
        auto moment = [&](std::ptrdiff_t j) {
            return convert<double>(x.template at<W>(off, j)) * static_cast<double>(j);
        };
        D sxy = pairwise_sum<D>(moment, n);
        return (sumx * s - static_cast<double>(n) * sxy) / divisor;
    }

    static Slope make(Src<T> x, std::ptrdiff_t n) {
        double sumx = pairwise_sum<vec<double, 1>>(
            [](std::ptrdiff_t j) { return vec<double, 1>{static_cast<double>(j)}; }, n)[0];
        return Slope{x, n, sumx, sumx * sumx - static_cast<double>(n) * sum_of_squares(n)};
    }
};

}  // namespace quellix::rolling::core
