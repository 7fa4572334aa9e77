// Per-date work on tables that pandas usually stores column-major: dates are
// copied a block at a time into row-major memory (the caller's output rows or
// a scratch block), so one date's instruments are contiguous for the kernel.
#pragma once

#include "assaycore/core/element.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace quellix::assaycore::core {

// Enough dates per block that a column-major source is read in whole cache
// lines, few enough that the block stays in L2.
inline constexpr std::int64_t kDateBlock = 16;

// dst[b * cols + j] = table(t0 + b, j) for b < rows.
template <class T>
void gather_dates(const StridedTable<T>& table, std::int64_t t0, std::int64_t rows, double* dst) {
    const std::int64_t m = table.cols;
    if (std::abs(table.row_stride) < std::abs(table.col_stride)) {
        // Column-major: tiles of 8 instruments, so each row of the tile is one
        // cache line written and the tile's source lines stay in L1.
        constexpr std::int64_t tile = 8;
        for (std::int64_t j0 = 0; j0 < m; j0 += tile) {
            const std::int64_t width = std::min(tile, m - j0);
            for (std::int64_t b = 0; b < rows; ++b) {
                double* out = dst + b * m + j0;
                for (std::int64_t k = 0; k < width; ++k) out[k] = table.at(t0 + b, j0 + k);
            }
        }
        return;
    }
    for (std::int64_t b = 0; b < rows; ++b) {
        double* out = dst + b * m;
        for (std::int64_t j = 0; j < m; ++j) out[j] = table.at(t0 + b, j);
    }
}

}  // namespace quellix::assaycore::core
