// Simple returns of a closing-price table, missing closes carried forward.
#pragma once

#include "assaycore/core/element.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quellix::assaycore::core {

// Row i - 1 of `out` (rows - 1 by cols, row-major) is close[i] / close[i - 1] - 1
// after a forward fill of each column: a day without a price earns 0 once the
// instrument has had one, and stays NaN before its first price. This is the
// forward-filling pct_change of pandas 1.x without its first (empty) row.
template <class T>
void filled_simple_returns(const StridedTable<T>& close, double* out) {
    const std::int64_t n = close.rows;
    const std::int64_t m = close.cols;
    if (n < 2) return;
    std::vector<double> prev(static_cast<std::size_t>(m));
    for (std::int64_t j = 0; j < m; ++j) prev[j] = close.at(0, j);
    for (std::int64_t i = 1; i < n; ++i) {
        double* dst = out + (i - 1) * m;
        for (std::int64_t j = 0; j < m; ++j) {
            const double x = close.at(i, j);
            const double now = std::isnan(x) ? prev[j] : x;
            dst[j] = now / prev[j] - 1.0;
            prev[j] = now;
        }
    }
}

}  // namespace quellix::assaycore::core
