// Per-date work on tables that pandas usually stores column-major: dates are
// taken a block at a time into a row-major scratch (so one date's instruments
// are contiguous for the kernel), and results go back into a column-major
// output, the layout pandas adopts without a copy.
#pragma once

#include "assaycore/core/element.hpp"

#include <cstdlib>
#include <cstdint>

namespace quellix::assaycore::core {

// Enough dates per block that a column-major source is read in whole cache
// lines, few enough that the block stays in L2.
inline constexpr std::int64_t kDateBlock = 16;

// scratch[b * cols + j] = table(t0 + b, j) for b < rows.
template <class T>
void gather_dates(const StridedTable<T>& table, std::int64_t t0, std::int64_t rows, double* scratch) {
    const std::int64_t m = table.cols;
    if (std::abs(table.row_stride) < std::abs(table.col_stride)) {
        for (std::int64_t j = 0; j < m; ++j) {
            for (std::int64_t b = 0; b < rows; ++b) scratch[b * m + j] = table.at(t0 + b, j);
        }
        return;
    }
    for (std::int64_t b = 0; b < rows; ++b) {
        double* dst = scratch + b * m;
        for (std::int64_t j = 0; j < m; ++j) dst[j] = table.at(t0 + b, j);
    }
}

// out[j * n_dates + t0 + b] = scratch[b * cols + j]: `out` is the column-major
// (n_dates x cols) result.
inline void scatter_dates(const double* scratch, std::int64_t t0, std::int64_t rows, std::int64_t cols,
                          double* out, std::int64_t n_dates) {
    for (std::int64_t j = 0; j < cols; ++j) {
        double* dst = out + j * n_dates + t0;
        for (std::int64_t b = 0; b < rows; ++b) dst[b] = scratch[b * cols + j];
    }
}

}  // namespace quellix::assaycore::core
