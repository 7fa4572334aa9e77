// Factor-weighted long-short portfolios held over staggered periods.
//
// Row t is weighted by the factor of row t - 1 (factor_weights.hpp). A
// holding period of p rows runs p sub-portfolios; sub-portfolio lv renews on
// rows lv, lv + p, ..., each instrument keeping the weight and the base
// (growth at the close before the renewal) of the latest renewal at which it
// had one. Its value since the renewal R on row i is
//     held = sum_j weight_j * (growth_ij / base_j - 1)      (NaN terms left out);
// its daily return the change of 1 + held from the row before, or held itself
// on a renewal row. The period's return is the mean over its sub-portfolios,
// compounded.
//
// Instruments with both a weight and a base on R itself contribute the same
// terms to every sub-portfolio renewing on R, whatever its period, so their
// sum is computed once per (R, i) pair; each sub-portfolio adds only the few
// instruments it carries over from earlier renewals.
#pragma once

#include "assaycore/core/growth.hpp"
#include "assaycore/core/lanes.hpp"
#include "common/cpu_features.hpp"
#include "common/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quellix::assaycore::core {

namespace detail {

// sum_j weight[j] * (now[j] / base[j] - 1), NaN terms left out, with `by`
// the bases (Divide) or their reciprocals. Four partial sums in fixed lanes:
// the order never depends on the data or threads.
template <bool Divide>
inline double weighted_growth(const double* weight, const double* now, const double* by, std::int64_t n) {
    pair acc[2] = {{0.0, 0.0}, {0.0, 0.0}};
    const pair one = {1.0, 1.0};
    std::int64_t j = 0;
    for (; j + 4 <= n; j += 4) {
        for (int h = 0; h < 2; ++h) {
            const pair c = load_pair(now + j + 2 * h), b = load_pair(by + j + 2 * h);
            acc[h] += unless_nan(load_pair(weight + j + 2 * h) * ((Divide ? c / b : c * b) - one));
        }
    }
    double total = (acc[0][0] + acc[0][1]) + (acc[1][0] + acc[1][1]);
    for (; j < n; ++j) {
        const double t = weight[j] * ((Divide ? now[j] / by[j] : now[j] * by[j]) - 1.0);
        if (!std::isnan(t)) total += t;
    }
    return total;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same sum four lanes wide where the processor has AVX2: the four lanes
// are the four partial sums above, combined in the same order, so both give
// the same bits.
template <bool Divide>
__attribute__((target("avx2"))) inline double weighted_growth_avx2(const double* weight, const double* now, const double* by,
                                                                  std::int64_t n) {
    typedef double quad __attribute__((vector_size(32)));
    typedef std::int64_t quad_bits __attribute__((vector_size(32)));
    quad acc = {0.0, 0.0, 0.0, 0.0};
    const quad one = {1.0, 1.0, 1.0, 1.0};
    std::int64_t j = 0;
    for (; j + 4 <= n; j += 4) {
        quad w, c, b;
        std::memcpy(&w, weight + j, sizeof w);
        std::memcpy(&c, now + j, sizeof c);
        std::memcpy(&b, by + j, sizeof b);
        const quad t = w * ((Divide ? c / b : c * b) - one);
        acc += (quad)((quad_bits)t & (t == t));
    }
    double total = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    for (; j < n; ++j) {
        const double t = weight[j] * ((Divide ? now[j] / by[j] : now[j] * by[j]) - 1.0);
        if (!std::isnan(t)) total += t;
    }
    return total;
}

inline bool has_avx2() {
    static const bool yes = cpu_has_avx2();
    return yes;
}
#endif

template <bool Divide>
inline double weighted_growth_here(const double* weight, const double* now, const double* by, std::int64_t n) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (has_avx2()) return weighted_growth_avx2<Divide>(weight, now, by, n);
#endif
    return weighted_growth<Divide>(weight, now, by, n);
}

// shared[R * depth + d]: the terms of the instruments with a weight and a base
// on renewal row R, on row R + d.
inline std::vector<double> shared_values(const double* weights, const double* growth, std::int64_t rows, std::int64_t cols,
                                         std::int64_t depth) {
    std::vector<double> shared(static_cast<std::size_t>(rows * depth), std::numeric_limits<double>::quiet_NaN());
    run_split(rows, rows * cols * depth, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        // The others get weight 0 and base 1: their terms are +-0 or NaN (left out).
        std::vector<double> weight(static_cast<std::size_t>(cols)), by(static_cast<std::size_t>(cols));
        for (std::int64_t R = std::max<std::int64_t>(first, 1); R < last; ++R) {
            const double* w = weights + R * cols;
            const double* b = growth + (R - 1) * cols;
            bool exact = true;
            for (std::int64_t j = 0; j < cols; ++j) {
                const bool fresh = !std::isnan(w[j]) && !std::isnan(b[j]);
                weight[j] = fresh ? w[j] : 0.0;
                by[j] = fresh ? b[j] : 1.0;
                exact = exact && reciprocal_is_exact(by[j]);
            }
            if (exact) {
                for (std::int64_t j = 0; j < cols; ++j) by[j] = 1.0 / by[j];
            }
            const std::int64_t span = std::min(depth, rows - R);
            for (std::int64_t d = 0; d < span; ++d) {
                const double* now = growth + (R + d) * cols;
                shared[R * depth + d] = exact ? weighted_growth_here<false>(weight.data(), now, by.data(), cols)
                                              : weighted_growth_here<true>(weight.data(), now, by.data(), cols);
            }
        }
    });
    return shared;
}

// One sub-portfolio walking down the rows: the weight and base it holds for
// each instrument, the instruments it carries over from earlier renewals, and
// its value on the row before. Its daily returns go to out[0..rows).
class SubPortfolio {
public:
    SubPortfolio(std::int64_t p, std::int64_t lv, std::int64_t cols, double* out)
        : p_(p), lv_(lv), weight_(static_cast<std::size_t>(cols), kNaN), base_(static_cast<std::size_t>(cols), kNaN), out_(out) {
        out_[0] = kNaN;
    }

    void step(const double* weights, const double* growth, const std::vector<double>& shared, std::int64_t depth,
              std::int64_t i) {
        if (i < lv_) {
            out_[i] = 0.0;  // nothing held yet: value 1, return 0
            return;
        }
        const auto cols = static_cast<std::int64_t>(weight_.size());
        const std::int64_t d = (i - lv_) % p_;
        if (d == 0) renew(weights + i * cols, growth + (i - 1) * cols);
        const double* now = growth + i * cols;
        double held = shared[(i - d) * depth + d];
        for (std::size_t k = 0; k < kept_.size(); ++k) {
            const double t = kept_weight_[k] * (now[kept_[k]] / kept_base_[k] - 1.0);
            if (!std::isnan(t)) held += t;
        }
        const double value = 1.0 + held;
        const double filled = std::isnan(value) ? previous_ : value;
        out_[i] = d == 0 ? held : filled / previous_ - 1.0;
        previous_ = filled;
    }

private:
    // Takes the weights and bases of renewal row R where it has them and
    // lists the instruments held with a weight or base from earlier.
    void renew(const double* w, const double* b) {
        kept_.clear();
        kept_weight_.clear();
        kept_base_.clear();
        const auto cols = static_cast<std::int64_t>(weight_.size());
        std::int64_t j = 0;
        for (; j + 2 <= cols; j += 2) {
            const pair nw = load_pair(w + j), nb = load_pair(b + j);
            const bits has_w = nw == nw, has_b = nb == nb;
            const pair weight = choose(has_w, nw, load_pair(&weight_[j]));
            const pair base = choose(has_b, nb, load_pair(&base_[j]));
            store_pair(&weight_[j], weight);
            store_pair(&base_[j], base);
            const bits carried = ~(has_w & has_b) & (weight == weight) & (base == base);
            if (carried[0]) keep(j);
            if (carried[1]) keep(j + 1);
        }
        for (; j < cols; ++j) {
            if (!std::isnan(w[j])) weight_[j] = w[j];
            if (!std::isnan(b[j])) base_[j] = b[j];
            if ((std::isnan(w[j]) || std::isnan(b[j])) && !std::isnan(weight_[j]) && !std::isnan(base_[j])) keep(j);
        }
    }

    void keep(std::int64_t j) {
        kept_.push_back(j);
        kept_weight_.push_back(weight_[j]);
        kept_base_.push_back(base_[j]);
    }

    static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    std::int64_t p_, lv_;
    std::vector<double> weight_, base_;
    std::vector<std::int64_t> kept_;
    std::vector<double> kept_weight_, kept_base_;
    double* out_;
    double previous_ = 1.0;
};

}  // namespace detail

// weights: rows x cols from demeaned_weights; growth: rows x cols running
// products at the factor's dates and instruments. out[k * rows + i] = the
// cumulative return of period periods[k] up to row i. Periods must be >= 1.
inline void factor_portfolios(const double* weights, const double* growth, std::int64_t rows, std::int64_t cols,
                              const std::vector<std::int64_t>& periods, double* out) {
    if (rows == 0 || periods.empty()) return;
    const std::int64_t depth = std::min(*std::max_element(periods.begin(), periods.end()), rows);
    const std::vector<double> shared = detail::shared_values(weights, growth, rows, cols, depth);

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
    const std::ptrdiff_t threads = thread_count(n_tasks, static_cast<std::ptrdiff_t>(periods.size()) * rows * cols);
    // Each worker walks a batch of its sub-portfolios down the rows together:
    // they renew from the same rows and pick their carried-over instruments
    // from the same row of growth, which is then in cache.
    run_threads(threads, [&](std::ptrdiff_t worker) {
        constexpr std::ptrdiff_t batch = 32;
        std::vector<detail::SubPortfolio> walking;
        for (std::ptrdiff_t first = worker; first < n_tasks; first += batch * threads) {
            walking.clear();
            for (std::ptrdiff_t t = first, k = 0; t < n_tasks && k < batch; t += threads, ++k) {
                walking.emplace_back(std::min(periods[tasks[t].period], rows), tasks[t].lv, cols, daily.data() + t * rows);
            }
            for (std::int64_t i = 1; i < rows; ++i) {
                for (auto& sub : walking) sub.step(weights, growth, shared, depth, i);
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
