// Per-date operations over the instruments of a dates x instruments matrix.
// Rows are independent, so they are shared between two threads in halves.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

#include "common/parallel.hpp"
#include "operators/core/sort_keys.hpp"

namespace quellix::operators::core {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Row-major matrix view: rows x cols with rows `stride` elements apart.
struct Matrix {
    const double* data;
    std::ptrdiff_t rows, cols, stride;
    const double* row(std::ptrdiff_t r) const { return data + r * stride; }
};

inline void fill_nan(double* out, std::ptrdiff_t n) {
    for (std::ptrdiff_t i = 0; i < n; ++i) out[i] = kNaN;
}

// Percentage rank of each value among its row's non-NaN values, ties
// averaged: values in (0, 1], NaN stays NaN. `out` is rows x cols, contiguous.
inline void rank_rows(const Matrix& x, double* out) {
    run_split(x.rows, x.rows * x.cols * 8, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        SortScratch scratch;
        for (std::ptrdiff_t r = begin; r < end; ++r) {
            double* o = out + r * x.cols;
            fill_nan(o, x.cols);
            const std::ptrdiff_t m = sort_row(x.row(r), x.cols, scratch);
            write_pct_ranks(scratch.keys.data(), scratch.index.data(), m, o);
        }
    });
}

// a * x / sum(|x|) per row, NaN skipped in the sum; a row whose absolute
// values sum to 0 has no scale and gives NaN.
inline void scale_rows(const Matrix& x, double a, double* out) {
    run_split(x.rows, x.rows * x.cols, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t r = begin; r < end; ++r) {
            const double* v = x.row(r);
            double* o = out + r * x.cols;
            double total = 0.0;
            for (std::ptrdiff_t j = 0; j < x.cols; ++j) total += std::isnan(v[j]) ? 0.0 : std::fabs(v[j]);
            const double divisor = total == 0.0 ? kNaN : total;
            for (std::ptrdiff_t j = 0; j < x.cols; ++j) o[j] = v[j] / divisor * a;
        }
    });
}

// (x - mean) / std per row over the non-NaN values, std dividing by their
// count; a row with no spread gives NaN.
inline void zscore_rows(const Matrix& x, double* out) {
    run_split(x.rows, x.rows * x.cols, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t r = begin; r < end; ++r) {
            const double* v = x.row(r);
            double* o = out + r * x.cols;
            double total = 0.0, count = 0.0;
            for (std::ptrdiff_t j = 0; j < x.cols; ++j) {
                const bool ok = !std::isnan(v[j]);
                total += ok ? v[j] : 0.0;
                count += ok ? 1.0 : 0.0;
            }
            const double mean = total / count;
            double squares = 0.0;
            for (std::ptrdiff_t j = 0; j < x.cols; ++j) {
                const double d = v[j] - mean;
                squares += std::isnan(d) ? 0.0 : d * d;
            }
            const double sd = std::sqrt(squares / count);
            const double divisor = sd > 0.0 ? sd : kNaN;
            for (std::ptrdiff_t j = 0; j < x.cols; ++j) o[j] = (v[j] - mean) / divisor;
        }
    });
}

}  // namespace quellix::operators::core
