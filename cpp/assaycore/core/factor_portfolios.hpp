// Factor-weighted long-short portfolios held over staggered periods.
//
// Row t is weighted by the factor of row t - 1: each instrument by its
// distance from the row mean over the row's sum of absolute distances. A
// holding period of p rows runs p sub-portfolios; sub-portfolio lv renews on
// rows lv, lv + p, ..., each instrument keeping the weight and the base
// (growth at the close before the renewal) of the latest renewal at which it
// had one. Its value since the renewal is the weighted sum of the members'
// growth over their bases minus 1; its daily return the change of 1 + that
// value, or the value itself on a renewal row. The period's return is the
// mean over its sub-portfolios, compounded.
#pragma once

#include "assaycore/core/growth.hpp"
#include "common/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace quellix::assaycore::core {

// Each row of x (rows x cols, row-major, the factor already moved down a row)
// becomes (x - mean) / sum|x - mean| over its non-NaN values, negated when
// asked. Rows with no spread (all NaN, one value, all equal) become all NaN.
inline void demeaned_weights(double* x, std::int64_t rows, std::int64_t cols, bool negate) {
    run_split(rows, rows * cols, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        for (std::int64_t i = first; i < last; ++i) {
            double* row = x + i * cols;
            double total = 0.0;
            std::int64_t n = 0;
            for (std::int64_t j = 0; j < cols; ++j) {
                if (std::isnan(row[j])) continue;
                total += row[j];
                ++n;
            }
            const double mean = total / static_cast<double>(n);
            double spread = 0.0;
            for (std::int64_t j = 0; j < cols; ++j) {
                row[j] -= mean;
                if (!std::isnan(row[j])) spread += std::fabs(row[j]);
            }
            for (std::int64_t j = 0; j < cols; ++j) {
                const double w = row[j] / spread;
                row[j] = negate ? -w : w;
            }
        }
    });
}

namespace detail {

// sum_j weight[j] * (now[j] / base[j] - 1), NaN products left out. Four
// partial sums in fixed lanes: the order never depends on the data or threads.
inline double weighted_growth(const double* weight, const double* now, const double* base, std::int64_t n) {
    typedef double lanes __attribute__((vector_size(32)));
    lanes acc = {0.0, 0.0, 0.0, 0.0};
    const lanes one = {1.0, 1.0, 1.0, 1.0};
    const lanes zero = {0.0, 0.0, 0.0, 0.0};
    std::int64_t j = 0;
    for (; j + 4 <= n; j += 4) {
        lanes w, c, b;
        std::memcpy(&w, weight + j, sizeof w);
        std::memcpy(&c, now + j, sizeof c);
        std::memcpy(&b, base + j, sizeof b);
        const lanes t = w * (c / b - one);
        acc += t == t ? t : zero;
    }
    double total = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    for (; j < n; ++j) {
        const double t = weight[j] * (now[j] / base[j] - 1.0);
        if (!std::isnan(t)) total += t;
    }
    return total;
}

// Daily returns of sub-portfolio lv of period p into out[0..rows).
inline void sub_portfolio_returns(const double* weights, const double* growth, std::int64_t rows, std::int64_t cols,
                                  std::int64_t p, std::int64_t lv, std::vector<double>& weight, std::vector<double>& base,
                                  double* out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    std::fill(weight.begin(), weight.end(), nan);
    std::fill(base.begin(), base.end(), nan);
    // Before its first renewal it holds nothing: value 1, return 0.
    out[0] = nan;
    for (std::int64_t i = 1; i < std::min(lv, rows); ++i) out[i] = 0.0;
    double previous = 1.0;
    for (std::int64_t R = lv; R < rows; R += p) {
        const double* w = weights + R * cols;
        const double* b = growth + (R - 1) * cols;
        for (std::int64_t j = 0; j < cols; ++j) {
            if (!std::isnan(w[j])) weight[j] = w[j];
            if (!std::isnan(b[j])) base[j] = b[j];
        }
        const std::int64_t span = std::min(p, rows - R);
        for (std::int64_t d = 0; d < span; ++d) {
            const double held = weighted_growth(weight.data(), growth + (R + d) * cols, base.data(), cols);
            const double value = 1.0 + held;
            const double filled = std::isnan(value) ? previous : value;
            out[R + d] = d == 0 ? held : filled / previous - 1.0;
            previous = filled;
        }
    }
}

}  // namespace detail

// weights: rows x cols from demeaned_weights; growth: rows x cols running
// products at the factor's dates and instruments. out[k * rows + i] = the
// cumulative return of period periods[k] up to row i. Periods must be >= 1.
inline void factor_portfolios(const double* weights, const double* growth, std::int64_t rows, std::int64_t cols,
                              const std::vector<std::int64_t>& periods, double* out) {
    if (rows == 0) return;
    // One task per sub-portfolio that renews at all; the others (lv >= rows)
    // hold nothing and return 0 on every row but the first.
    struct Task {
        std::size_t period;
        std::int64_t lv;
    };
    std::vector<Task> tasks;
    for (std::size_t k = 0; k < periods.size(); ++k) {
        for (std::int64_t lv = 1; lv <= periods[k] && lv < rows; ++lv) tasks.push_back({k, lv});
    }
    std::vector<double> daily(tasks.size() * static_cast<std::size_t>(rows));
    const auto n_tasks = static_cast<std::ptrdiff_t>(tasks.size());
    const std::ptrdiff_t threads = thread_count(n_tasks, n_tasks * rows * cols);
    std::vector<std::vector<double>> weight(static_cast<std::size_t>(threads), std::vector<double>(cols));
    std::vector<std::vector<double>> base(static_cast<std::size_t>(threads), std::vector<double>(cols));
    run_dynamic(threads, n_tasks, [&](std::ptrdiff_t worker, std::ptrdiff_t t) {
        detail::sub_portfolio_returns(weights, growth, rows, cols, periods[tasks[t].period], tasks[t].lv, weight[worker],
                                      base[worker], daily.data() + t * rows);
    });

    std::size_t t = 0;
    std::vector<double> sum(static_cast<std::size_t>(rows));
    std::vector<double> count(static_cast<std::size_t>(rows));
    for (std::size_t k = 0; k < periods.size(); ++k) {
        std::fill(sum.begin(), sum.end(), 0.0);
        std::fill(count.begin(), count.end(), 0.0);
        for (; t < tasks.size() && tasks[t].period == k; ++t) {
            const double* r = daily.data() + t * rows;
            for (std::int64_t i = 0; i < rows; ++i) {
                if (std::isnan(r[i])) continue;
                sum[i] += r[i];
                count[i] += 1.0;
            }
        }
        const double idle = static_cast<double>(std::max<std::int64_t>(periods[k] - (rows - 1), 0));
        double* column = out + k * rows;
        for (std::int64_t i = 0; i < rows; ++i) {
            const double n = count[i] + (i > 0 ? idle : 0.0);
            const double mean = n > 0 ? sum[i] / n : std::numeric_limits<double>::quiet_NaN();
            column[i] = std::isnan(mean) ? 0.0 : mean;
        }
        compound(column, rows);
    }
}

}  // namespace quellix::assaycore::core
