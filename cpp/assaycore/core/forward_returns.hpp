// Forward compound returns of a per-date returns table.
//
// Tables are dates (rows) by instruments (columns). The growth table is kept
// row-major so one date's instruments are contiguous for the ratio pass.
#pragma once

#include "assaycore/core/element.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quellix::assaycore::core {

// Columns are walked in blocks so that both a column-major source and the
// row-major destination stay within a few cache lines per step.
inline constexpr std::int64_t kColumnBlock = 64;

// Running product of (1 + r) down each column, skipping missing returns, then
// forward-filled. This is pandas' `(r + 1).cumprod().ffill()`: the skipped cell
// is NaN in the cumprod and takes the cell above in the fill, and a product
// that turns NaN arithmetically (0 * inf) stays NaN in cumprod and is therefore
// also replaced by the last valid product. Cells above a column's first valid
// product stay NaN. `out` is rows x cols, row-major.
template <class T>
void compound_growth(const StridedTable<T>& r, double* out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::int64_t n = r.rows;
    const std::int64_t m = r.cols;
    double acc[kColumnBlock];
    double last[kColumnBlock];
    for (std::int64_t j0 = 0; j0 < m; j0 += kColumnBlock) {
        const std::int64_t width = std::min(kColumnBlock, m - j0);
        std::fill(acc, acc + width, 1.0);
        std::fill(last, last + width, nan);
        for (std::int64_t i = 0; i < n; ++i) {
            double* row = out + i * m + j0;
            for (std::int64_t k = 0; k < width; ++k) {
                const double x = r.at(i, j0 + k);
                if (!std::isnan(x)) acc[k] *= x + 1.0;
                const double v = (std::isnan(x) || std::isnan(acc[k])) ? last[k] : acc[k];
                last[k] = v;
                row[k] = v;
            }
        }
    }
}

// For each selected row t: growth[t + p] / growth[t] - 1 per column, NaN where
// t + p falls outside the table (pandas' shift(-p) leaves those rows empty).
// `out` receives the selected rows laid end to end, date-major.
inline void forward_ratio(const double* growth, std::int64_t n, std::int64_t m, const std::int64_t* rows,
                          std::int64_t n_rows, std::int64_t p, double* out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t t = 0; t < n_rows; ++t) {
        double* dst = out + t * m;
        const std::int64_t r = rows[t];
        // Compared without forming r + p, which could overflow for huge p.
        const bool inside = p >= 0 ? p < n - r : p >= -r;
        if (!inside) {
            std::fill(dst, dst + m, nan);
            continue;
        }
        const double* now = growth + r * m;
        const double* later = growth + (r + p) * m;
        for (std::int64_t j = 0; j < m; ++j) dst[j] = later[j] / now[j] - 1.0;
    }
}

// out[t * n_cols + j] = table[rows[t], cols[j]] as float64; a negative column
// position (an instrument the table lacks) gives NaN.
template <class T>
void gather_cells(const StridedTable<T>& table, const std::int64_t* rows, std::int64_t n_rows,
                  const std::int64_t* cols, std::int64_t n_cols, double* out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr std::int64_t block = 4 * kColumnBlock;
    for (std::int64_t j0 = 0; j0 < n_cols; j0 += block) {
        const std::int64_t j1 = std::min(n_cols, j0 + block);
        for (std::int64_t t = 0; t < n_rows; ++t) {
            double* dst = out + t * n_cols;
            for (std::int64_t j = j0; j < j1; ++j) {
                dst[j] = cols[j] < 0 ? nan : table.at(rows[t], cols[j]);
            }
        }
    }
}

}  // namespace quellix::assaycore::core
