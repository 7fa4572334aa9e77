// Cumulative growth: the running products of (1 + return) that the portfolio
// analyses hold their positions on, and the compounding of their outputs.
#pragma once

#include "assaycore/core/element.hpp"
#include "common/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quellix::assaycore::core {

// Running product of (1 + r) down each column of the whole returns table, as
// pandas' `(r + 1).cumprod()`: a missing return leaves its cell NaN and the
// product carries on past it (no forward fill). The products are read at
// returns row rows[i] and column cols[j] into out[i * n_cols + j]; a negative
// position (a date or instrument the returns table lacks) reads NaN. Returns
// rows that no factor date selects still compound into the later products.
template <class T>
void growth_at(const StridedTable<T>& r, const std::int64_t* rows, std::int64_t n_rows, const std::int64_t* cols,
               std::int64_t n_cols, double* out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr std::int64_t block = 64;
    const std::int64_t n = r.rows;
    // The factor rows in the order of the returns rows they read, so one walk
    // down the returns table serves them all.
    std::vector<std::int64_t> order, first(static_cast<std::size_t>(n) + 1, 0);
    for (std::int64_t i = 0; i < n_rows; ++i) {
        if (rows[i] >= 0) ++first[rows[i] + 1];
    }
    for (std::int64_t s = 0; s < n; ++s) first[s + 1] += first[s];
    order.resize(static_cast<std::size_t>(first[n]));
    {
        std::vector<std::int64_t> fill(first.begin(), first.end() - 1);
        for (std::int64_t i = 0; i < n_rows; ++i) {
            if (rows[i] >= 0) order[fill[rows[i]]++] = i;
        }
    }
    for (std::int64_t i = 0; i < n_rows; ++i) {
        if (rows[i] < 0) std::fill(out + i * n_cols, out + (i + 1) * n_cols, nan);
    }
    const std::int64_t blocks = (n_cols + block - 1) / block;
    run_split(blocks, n * n_cols, [&](std::ptrdiff_t b0, std::ptrdiff_t b1) {
        double acc[block], now[block];
        for (std::int64_t b = b0; b < b1; ++b) {
            const std::int64_t j0 = b * block, width = std::min(block, n_cols - j0);
            std::fill(acc, acc + width, 1.0);
            for (std::int64_t s = 0; s < n; ++s) {
                for (std::int64_t k = 0; k < width; ++k) {
                    const std::int64_t c = cols[j0 + k];
                    const double x = c < 0 ? nan : r.at(s, c);
                    if (!std::isnan(x)) acc[k] *= x + 1.0;
                    now[k] = std::isnan(x) ? nan : acc[k];
                }
                for (std::int64_t e = first[s]; e < first[s + 1]; ++e) {
                    std::copy(now, now + width, out + order[e] * n_cols + j0);
                }
            }
        }
    });
}

// True when x * (1 / base) rounds like x / base up to one rounding for every
// x: the reciprocal of a subnormal or a huge base would leave the normal range.
// Dividing by the same base many times is then a multiplication.
inline bool reciprocal_is_exact(double base) {
    const double a = std::fabs(base);
    return !(a > 0.0) || std::isinf(a) || (a >= 0x1p-1022 && a <= 0x1p1022);
}

// x[k * stride] = running product of (1 + x) minus 1, k = 0..n-1, as pandas'
// `(1 + x).cumprod() - 1`: a NaN cell stays NaN and the product skips it.
inline void compound(double* x, std::int64_t n, std::int64_t stride = 1) {
    double acc = 1.0;
    for (std::int64_t k = 0; k < n; ++k) {
        double& v = x[k * stride];
        if (std::isnan(v)) continue;
        acc *= 1.0 + v;
        v = acc - 1.0;
    }
}

// Cumulative return of a price series read at the dates of an index:
// price[pos[i]] (NaN for a negative position), gaps forward-filled, change
// from row to row with a missing change counted as 0, then compounded. The
// first date is 0.
inline void cumulative_price_return(const double* price, const std::int64_t* pos, std::int64_t n, double* out) {
    double last = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t i = 0; i < n; ++i) {
        double v = pos[i] < 0 ? std::numeric_limits<double>::quiet_NaN() : price[pos[i]];
        if (std::isnan(v)) v = last;
        const double change = i == 0 ? 0.0 : v / last - 1.0;
        out[i] = std::isnan(change) ? 0.0 : change;
        last = v;
    }
    compound(out, n);
}

}  // namespace quellix::assaycore::core
