// Per-date operations within the groups (industries) of a row's instruments.
// Group labels come as a matrix of the same shape holding codes 0, 1, ...;
// a NaN or negative code means the instrument has no group that date.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/parallel.hpp"
#include "operators/core/cross_section.hpp"
#include "operators/core/sort_keys.hpp"

namespace quellix::operators::core {

inline std::ptrdiff_t group_of(double code) {
    return code >= 0.0 ? static_cast<std::ptrdiff_t>(code) : -1;  // NaN compares false
}

constexpr double kMaxCode = 1 << 24;

// Number of groups (one past the largest code present), or -1 if an entry is
// no code: not NaN, not a finite negative number, and not an integer below
// 2**24. One branch-free pass: the labels are a whole-market matrix read per
// node.
inline std::ptrdiff_t group_count(const Matrix& groups) {
    double top = -1.0;
    bool bad = false;
    for (std::ptrdiff_t r = 0; r < groups.rows; ++r) {
        const double* g = groups.row(r);
        for (std::ptrdiff_t j = 0; j < groups.cols; ++j) {
            const double v = g[j];
            const bool code = v >= 0.0;  // NaN compares false
            // Clamped before the conversion, which is undefined out of range.
            const double clamped = code && v < kMaxCode ? v : 0.0;
            const double whole = static_cast<double>(static_cast<std::int32_t>(clamped));
            bad |= (code && (v >= kMaxCode || whole != v)) || v == -HUGE_VAL;
            top = std::max(top, code ? v : -1.0);
        }
    }
    return bad ? -1 : static_cast<std::ptrdiff_t>(top) + 1;
}

// x minus the mean of its group on its date (NaN skipped in the mean); an
// instrument without a group gives NaN.
inline void group_demean_rows(const Matrix& x, const Matrix& groups, std::ptrdiff_t n_groups, double* out) {
    run_split(x.rows, x.rows * x.cols, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        std::vector<double> sums(n_groups), counts(n_groups);
        for (std::ptrdiff_t r = begin; r < end; ++r) {
            const double* v = x.row(r);
            const double* g = groups.row(r);
            double* o = out + r * x.cols;
            std::fill(sums.begin(), sums.end(), 0.0);
            std::fill(counts.begin(), counts.end(), 0.0);
            for (std::ptrdiff_t j = 0; j < x.cols; ++j) {
                const std::ptrdiff_t k = group_of(g[j]);
                if (k >= 0 && !std::isnan(v[j])) {
                    sums[k] += v[j];
                    counts[k] += 1.0;
                }
            }
            for (std::ptrdiff_t k = 0; k < n_groups; ++k) sums[k] = counts[k] > 0.0 ? sums[k] / counts[k] : kNaN;
            for (std::ptrdiff_t j = 0; j < x.cols; ++j) {
                const std::ptrdiff_t k = group_of(g[j]);
                o[j] = k >= 0 ? v[j] - sums[k] : kNaN;
            }
        }
    });
}

// Percentage rank within the instrument's group on its date, ties averaged;
// NaN values and instruments without a group give NaN and are not counted.
inline void group_rank_rows(const Matrix& x, const Matrix& groups, std::ptrdiff_t n_groups, double* out) {
    run_split(x.rows, x.rows * x.cols * 8, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        SortScratch scratch;
        std::vector<std::uint32_t> start(n_groups + 1);
        std::vector<std::uint64_t> keys(x.cols);
        std::vector<std::int32_t> index(x.cols);
        std::vector<std::uint32_t> next(n_groups);
        for (std::ptrdiff_t r = begin; r < end; ++r) {
            const double* g = groups.row(r);
            double* o = out + r * x.cols;
            fill_nan(o, x.cols);
            const std::ptrdiff_t m = sort_row(x.row(r), x.cols, scratch);
            // A stable counting sort by group keeps each group's values in ascending order.
            std::fill(start.begin(), start.end(), 0u);
            for (std::ptrdiff_t i = 0; i < m; ++i) {
                const std::ptrdiff_t k = group_of(g[scratch.index[i]]);
                if (k >= 0) ++start[k + 1];
            }
            for (std::ptrdiff_t k = 0; k < n_groups; ++k) start[k + 1] += start[k];
            std::copy(start.begin(), start.end() - 1, next.begin());
            for (std::ptrdiff_t i = 0; i < m; ++i) {
                const std::int32_t pos = scratch.index[i];
                const std::ptrdiff_t k = group_of(g[pos]);
                if (k < 0) continue;
                const std::uint32_t dst = next[k]++;
                keys[dst] = scratch.keys[i];
                index[dst] = pos;
            }
            for (std::ptrdiff_t k = 0; k < n_groups; ++k) {
                write_pct_ranks(keys.data() + start[k], index.data() + start[k], start[k + 1] - start[k], o);
            }
        }
    });
}

}  // namespace quellix::operators::core
