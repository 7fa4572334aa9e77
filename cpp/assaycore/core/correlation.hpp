// Correlation coefficients and their test statistics, computed with the same
// floating-point steps as scipy.stats.spearmanr / pearsonr so that results
// (perfect correlations included) agree to the last bit where the inputs allow.
#pragma once

#include "assaycore/core/rank.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quellix::assaycore::core {

// One correlation: the coefficient, the number of pairs it used and the
// argument of the distribution function that turns it into a p-value.
struct CorrCell {
    double r = 0.0;
    double stat = 0.0;
    std::int64_t n = 0;
};

// numpy's pairwise summation (float64 add.reduce on contiguous data).
inline double pairwise_sum(const double* a, std::ptrdiff_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::ptrdiff_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

inline double clip_unit(double r) { return r > 1.0 ? 1.0 : (r < -1.0 ? -1.0 : r); }

// Spearman coefficient from exact sums of doubled ranks, following
// numpy.corrcoef's steps: covariance scaled by 1/(n-1), then divided by the
// factor's and then the return's standard deviation.
inline CorrCell spearman_from_sums(std::int64_t n, wide_int sum_rf_ry, const WalkStats& f, const WalkStats& y) {
    CorrCell c;
    c.n = n;
    if (n < 2) return c;
    if (f.groups < 2 || y.groups < 2) {
        c.r = c.stat = std::nan("");
        return c;
    }
    const wide_int base = static_cast<wide_int>(n) * (n + 1) * (n + 1);
    const double cxy = static_cast<double>(sum_rf_ry - base) / 4.0;
    const double cff = static_cast<double>(f.sum_sq - base) / 4.0;
    const double cyy = static_cast<double>(y.sum_sq - base) / 4.0;
    const double fact = 1.0 / static_cast<double>(n - 1);
    const double sf = std::sqrt(cff * fact);
    const double sy = std::sqrt(cyy * fact);
    const double r = clip_unit(((cxy * fact) / sf) / sy);
    const double dof = static_cast<double>(n - 2);
    double q = dof / ((r + 1.0) * (1.0 - r));
    if (q < 0.0) q = 0.0;
    c.r = r;
    c.stat = -std::fabs(r * std::sqrt(q));
    return c;
}

// Centred and scaled copy, as pearsonr does before the dot product; tmp holds n doubles.
inline void pearson_normalise(const double* x, std::ptrdiff_t n, double* out, double* tmp) {
    const double mean = pairwise_sum(x, n) / static_cast<double>(n);
    double amax = 0.0;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        out[i] = x[i] - mean;
        const double a = std::fabs(out[i]);
        if (a > amax) amax = a;
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double s = out[i] / amax;
        tmp[i] = s * s;
    }
    const double norm = amax * std::sqrt(pairwise_sum(tmp, n));
    for (std::ptrdiff_t i = 0; i < n; ++i) out[i] /= norm;
}

// Pearson on n NaN-free pairs (y: returns, x: factor). Scratch holds 3n doubles.
inline CorrCell pearson(const double* y, const double* x, std::ptrdiff_t n, std::vector<double>& scratch) {
    CorrCell c;
    c.n = n;
    if (n < 2) return c;
    bool const_x = true, const_y = true, finite = true;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const_x &= x[i] == x[0];
        const_y &= y[i] == y[0];
        finite &= std::isfinite(x[i]) && std::isfinite(y[i]);
    }
    // Infinite values turn the centred data into NaN in pearsonr as well.
    if (const_x || const_y || !finite) {
        c.r = c.stat = std::nan("");
        return c;
    }
    scratch.resize(static_cast<std::size_t>(3 * n));
    double* u = scratch.data();
    double* v = u + n;
    double* prod = v + n;
    pearson_normalise(y, n, u, prod);
    pearson_normalise(x, n, v, prod);
    for (std::ptrdiff_t i = 0; i < n; ++i) prod[i] = u[i] * v[i];
    double r = clip_unit(pairwise_sum(prod, n));
    if (n == 2) r = std::nearbyint(r);
    c.r = r;
    c.stat = (std::fabs(r) - (-1.0)) / 2.0;
    return c;
}

// Degrees-of-freedom argument of the p-value function for a cell.
inline double pvalue_shape(const CorrCell& c, bool rank) {
    return rank ? static_cast<double>(c.n - 2) : static_cast<double>(c.n) / 2.0 - 1.0;
}

// Final p-value from the distribution tail tail = F(shape, stat), with the
// conventions for fewer than two pairs (0, 0) and Pearson on two pairs.
inline void finish_cell(double& r, double& p, double tail, std::int64_t n, bool rank) {
    if (n < 2) {
        r = 0.0;
        p = 0.0;
        return;
    }
    p = 2.0 * tail;
    if (!rank && n == 2) p = std::isnan(r) ? r : 1.0;
}

}  // namespace quellix::assaycore::core
