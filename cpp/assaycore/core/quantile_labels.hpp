// Quantile group of every instrument on every date.
//
// Each date's values are ranked 1..n (method "first": equal values take
// their ranks in column order) and the ranks are cut into q groups at edges
// computed with numpy's floating-point steps: linspace(0, 1, q + 1) times
// (n - 1), split into integer part and fraction, interpolated between
// neighbouring ranks, the first edge lowered by one, and each rank placed in
// the first group whose edge is not below it (digitize with right=True).
// Exact fractions would place some ranks differently: with 6 groups and 19
// ranks the fifth edge computes as 15.999999999999998, so rank 16 falls into
// the sixth group.
#pragma once

#include "assaycore/core/rank.hpp"
#include "common/parallel.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

namespace quellix::assaycore::core {

// labels[r - 1] = group (0-based) of rank r, r = 1..n, for q >= 1 groups.
inline void labels_by_rank(std::int64_t n, std::int32_t q, std::vector<double>& edges, std::int32_t* labels) {
    if (n <= 0) return;
    edges.resize(static_cast<std::size_t>(q) + 1);
    const double step = 1.0 / q;
    const double last = static_cast<double>(n - 1);
    for (std::int32_t k = 0; k <= q; ++k) {
        const double share = k == q ? 1.0 : k * step;  // linspace sets its last entry to the stop exactly
        const double idx = share * last;
        const double fraction = std::fmod(idx, 1.0);
        const auto pos = static_cast<std::int64_t>(idx);
        // The sorted ranks are 1..n, so the order statistic at pos is pos + 1;
        // the one after the last wraps to the first (its fraction is 0).
        const double a = static_cast<double>(pos + 1);
        const double b = pos + 1 < n ? static_cast<double>(pos + 2) : 1.0;
        edges[k] = a + (b - a) * fraction;
    }
    edges[0] -= 1.0;
    std::int32_t k = 1;
    for (std::int64_t r = 1; r <= n; ++r) {
        while (edges[k] < static_cast<double>(r)) ++k;  // edges[q] == n ends the walk
        labels[r - 1] = k - 1;
    }
}

// tags (rows x cols, row-major) = group of each cell of `shifted` (row-major
// factor, already moved down a row), -1 where the value is NaN. With
// `ascending` rank 1 is the smallest value, else the largest.
inline void quantile_labels(const double* shifted, std::int64_t rows, std::int64_t cols, bool ascending, std::int32_t q,
                            std::int32_t* tags) {
    run_split(rows, rows * cols, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        SortScratch scratch;
        SortedSeries sorted;
        std::vector<double> row(static_cast<std::size_t>(cols));
        std::vector<double> edges;
        std::vector<std::int32_t> by_rank(static_cast<std::size_t>(cols));
        for (std::int64_t i = first; i < last; ++i) {
            const double* x = shifted + i * cols;
            std::int32_t* out = tags + i * cols;
            // Descending ranks are the ascending ranks of the negated values,
            // whose sort keeps equal values in column order just the same.
            for (std::int64_t j = 0; j < cols; ++j) row[j] = ascending ? x[j] : -x[j];
            sorted.assign(row.data(), cols, scratch);
            const auto n = static_cast<std::int64_t>(sorted.order.size());
            for (std::int64_t j = 0; j < cols; ++j) out[j] = -1;
            labels_by_rank(n, q, edges, by_rank.data());
            for (std::int64_t r = 0; r < n; ++r) out[sorted.order[r]] = by_rank[r];
        }
    });
}

}  // namespace quellix::assaycore::core
