// A factor table moved down one row, as a row-major float64 matrix.
//
// Both portfolio analyses act on row t with the factor of row t - 1 and walk
// one date's instruments at a time, while pandas hands its tables over
// column-major; the copy is made once, in tiles, so neither layout thrashes.
#pragma once

#include "assaycore/core/element.hpp"
#include "common/parallel.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace quellix::assaycore::core {

// out (rows x cols, row-major): row 0 NaN, row i = table row i - 1.
template <class T>
void shifted_rows(const StridedTable<T>& table, double* out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr std::int64_t tile = 32;
    const std::int64_t n = table.rows, m = table.cols;
    if (n == 0) return;
    std::fill(out, out + m, nan);
    const std::int64_t tiles = (n - 1 + tile - 1) / tile;
    run_split(tiles, (n - 1) * m, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        for (std::int64_t b = first; b < last; ++b) {
            const std::int64_t i0 = b * tile, i1 = std::min(n - 1, i0 + tile);
            for (std::int64_t j0 = 0; j0 < m; j0 += tile) {
                const std::int64_t j1 = std::min(m, j0 + tile);
                for (std::int64_t j = j0; j < j1; ++j) {
                    for (std::int64_t i = i0; i < i1; ++i) out[(i + 1) * m + j] = table.at(i, j);
                }
            }
        }
    });
}

}  // namespace quellix::assaycore::core
