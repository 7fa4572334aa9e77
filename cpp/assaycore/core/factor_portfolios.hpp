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

// sum_j weight[j] * (now[j] / base[j] - 1), NaN products left out, with `by`
// the bases (Divide) or their reciprocals. Four partial sums in fixed lanes:
// the order never depends on the data or threads.
template <bool Divide>
inline double weighted_growth(const double* weight, const double* now, const double* by, std::int64_t n) {
    // Pairs of lanes map straight onto SSE2 registers, where wider generic
    // vectors get split lane by lane around the NaN mask.
    typedef double pair __attribute__((vector_size(16)));
    typedef std::int64_t bits __attribute__((vector_size(16)));
    pair acc[2] = {{0.0, 0.0}, {0.0, 0.0}};
    const pair one = {1.0, 1.0};
    std::int64_t j = 0;
    for (; j + 4 <= n; j += 4) {
        for (int h = 0; h < 2; ++h) {
            pair w, c, b;
            std::memcpy(&w, weight + j + 2 * h, sizeof w);
            std::memcpy(&c, now + j + 2 * h, sizeof c);
            std::memcpy(&b, by + j + 2 * h, sizeof b);
            const pair t = w * ((Divide ? c / b : c * b) - one);
            acc[h] += (pair)((bits)t & (t == t));  // NaN lanes add +0.0
        }
    }
    double total = (acc[0][0] + acc[0][1]) + (acc[1][0] + acc[1][1]);
    for (; j < n; ++j) {
        const double t = weight[j] * ((Divide ? now[j] / by[j] : now[j] * by[j]) - 1.0);
        if (!std::isnan(t)) total += t;
    }
    return total;
}

// One sub-portfolio walking down the rows: the weights and bases it holds
// (each instrument's from the latest renewal at which it had one) and its
// value on the row before. Its daily returns go to out[0..rows).
class SubPortfolio {
public:
    SubPortfolio(std::int64_t p, std::int64_t lv, std::int64_t cols, double* state, double* out)
        : p_(p), lv_(lv), cols_(cols), weight_(state), base_(state + cols), inverse_(state + 2 * cols), out_(out) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        std::fill(state, state + 3 * cols, nan);
        out_[0] = nan;
    }

    void step(const double* weights, const double* growth, std::int64_t i) {
        if (i < lv_) {
            out_[i] = 0.0;  // nothing held yet: value 1, return 0
            return;
        }
        const bool renewal = (i - lv_) % p_ == 0;
        if (renewal) renew(weights + i * cols_, growth + (i - 1) * cols_);
        const double* now = growth + i * cols_;
        const double held = exact_ ? weighted_growth<false>(weight_, now, inverse_, cols_)
                                   : weighted_growth<true>(weight_, now, base_, cols_);
        const double value = 1.0 + held;
        const double filled = std::isnan(value) ? previous_ : value;
        out_[i] = renewal ? held : filled / previous_ - 1.0;
        previous_ = filled;
    }

private:
    void renew(const double* w, const double* b) {
        exact_ = true;
        for (std::int64_t j = 0; j < cols_; ++j) {
            if (!std::isnan(w[j])) weight_[j] = w[j];
            if (!std::isnan(b[j])) {
                base_[j] = b[j];
                inverse_[j] = 1.0 / b[j];
            }
            exact_ = exact_ && reciprocal_is_exact(base_[j]);
        }
    }

    std::int64_t p_, lv_, cols_;
    double* weight_;
    double* base_;
    double* inverse_;
    double* out_;
    double previous_ = 1.0;
    bool exact_ = true;
};

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
    // Each worker walks a batch of its sub-portfolios down the rows together,
    // so a row of growth is read from memory once per batch, not once per
    // sub-portfolio; the batch's holdings stay in cache.
    run_threads(threads, [&](std::ptrdiff_t worker) {
        constexpr std::ptrdiff_t batch = 24;
        std::vector<double> state(static_cast<std::size_t>(batch * 3 * cols));
        std::vector<detail::SubPortfolio> walking;
        for (std::ptrdiff_t first = worker; first < n_tasks; first += batch * threads) {
            walking.clear();
            for (std::ptrdiff_t t = first, k = 0; t < n_tasks && k < batch; t += threads, ++k) {
                walking.emplace_back(periods[tasks[t].period], tasks[t].lv, cols, state.data() + k * 3 * cols,
                                     daily.data() + t * rows);
            }
            for (std::int64_t i = 1; i < rows; ++i) {
                for (auto& sub : walking) sub.step(weights, growth, i);
            }
        }
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
