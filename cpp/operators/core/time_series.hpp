// Windowed operations along the dates of a dates x instruments matrix, with
// the conventions of the formulaic-alpha library: a window holds the last d
// rows including today, and a NaN anywhere in it gives NaN.
//
// Output row t covers input rows t .. t + d - 1, so the result has
// rows - d + 1 rows. Loops run across a row's instruments (contiguous), one
// window row at a time, so the compiler can vectorise them; windows are short
// enough that the O(d) work per value costs less than running updates would
// in precision. Sums follow numpy's order (window_sums.hpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "common/parallel.hpp"
#include "operators/core/cross_section.hpp"
#include "operators/core/window_sums.hpp"

namespace quellix::operators::core {

template <class Body>
void over_output_rows(const Matrix& x, std::ptrdiff_t d, Body&& body) {
    const std::ptrdiff_t rows = x.rows - d + 1;
    run_split(rows, rows * x.cols * d, [&](std::ptrdiff_t begin, std::ptrdiff_t end) { body(begin, end); });
}

// Today's rank among the window's values, ties averaged, divided by d: (0, 1].
inline void ts_rank(const Matrix& x, std::ptrdiff_t d, double* out) {
    const std::ptrdiff_t n = x.cols;
    over_output_rows(x, d, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        std::vector<double> less(n), equal(n), bad(n);
        for (std::ptrdiff_t t = begin; t < end; ++t) {
            const double* today = x.row(t + d - 1);
            std::fill(less.begin(), less.end(), 0.0);
            std::fill(equal.begin(), equal.end(), 0.0);
            std::fill(bad.begin(), bad.end(), 0.0);
            for (std::ptrdiff_t k = 0; k < d; ++k) {
                const double* v = x.row(t + k);
                for (std::ptrdiff_t j = 0; j < n; ++j) {
                    less[j] += v[j] < today[j] ? 1.0 : 0.0;
                    equal[j] += v[j] == today[j] ? 1.0 : 0.0;
                    bad[j] += std::isnan(v[j]) ? 1.0 : 0.0;
                }
            }
            double* o = out + t * n;
            const double width = static_cast<double>(d);
            // Ranks less + 1 .. less + equal average to less + (equal + 1) / 2.
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                o[j] = bad[j] > 0.0 ? kNaN : (less[j] + (equal[j] + 1.0) * 0.5) / width;
            }
        }
    });
}

// 1-based position of the window's largest (or smallest) value counted from
// its oldest row; the oldest of equal extremes wins.
inline void ts_arg_extreme(const Matrix& x, std::ptrdiff_t d, bool largest, double* out) {
    const std::ptrdiff_t n = x.cols;
    over_output_rows(x, d, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        std::vector<double> best(n), pos(n), bad(n);
        for (std::ptrdiff_t t = begin; t < end; ++t) {
            const double* first = x.row(t);
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                best[j] = largest ? first[j] : -first[j];
                pos[j] = 1.0;
                bad[j] = std::isnan(first[j]) ? 1.0 : 0.0;
            }
            for (std::ptrdiff_t k = 1; k < d; ++k) {
                const double* row = x.row(t + k);
                const double where = static_cast<double>(k + 1);
                for (std::ptrdiff_t j = 0; j < n; ++j) {
                    const double v = largest ? row[j] : -row[j];
                    const bool better = v > best[j];
                    best[j] = better ? v : best[j];
                    pos[j] = better ? where : pos[j];
                    bad[j] += std::isnan(v) ? 1.0 : 0.0;
                }
            }
            double* o = out + t * n;
            for (std::ptrdiff_t j = 0; j < n; ++j) o[j] = bad[j] > 0.0 ? kNaN : pos[j];
        }
    });
}

// Covariance (dividing by d) or Pearson correlation of two windows, from
// deviations about the window means. A window in which either input is
// constant has covariance 0 and no correlation (NaN): tested exactly, since
// rounding in the mean would otherwise leave a tiny spread.
inline void ts_comoment(const Matrix& a, const Matrix& b, std::ptrdiff_t d, bool correlation, double* out) {
    const std::ptrdiff_t n = a.cols;
    over_output_rows(a, d, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        std::vector<double> ma(n), mb(n), same_a(n), same_b(n), sab(n), saa(n), sbb(n);
        PairwiseScratch scratch;
        const double width = static_cast<double>(d);
        for (std::ptrdiff_t t = begin; t < end; ++t) {
            const double* a0 = a.row(t);
            const double* b0 = b.row(t);
            const auto va = [&](std::ptrdiff_t i, std::ptrdiff_t j) { return a.row(t + i)[j]; };
            const auto vb = [&](std::ptrdiff_t i, std::ptrdiff_t j) { return b.row(t + i)[j]; };
            window_sum(va, d, n, ma.data(), scratch);
            window_sum(vb, d, n, mb.data(), scratch);
            std::fill(same_a.begin(), same_a.end(), 0.0);
            std::fill(same_b.begin(), same_b.end(), 0.0);
            for (std::ptrdiff_t k = 0; k < d; ++k) {
                const double* ra = a.row(t + k);
                const double* rb = b.row(t + k);
                for (std::ptrdiff_t j = 0; j < n; ++j) {
                    same_a[j] += ra[j] == a0[j] ? 1.0 : 0.0;
                    same_b[j] += rb[j] == b0[j] ? 1.0 : 0.0;
                }
            }
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                ma[j] /= width;
                mb[j] /= width;
            }
            const double* pa = ma.data();
            const double* pb = mb.data();
            window_sum([&](std::ptrdiff_t i, std::ptrdiff_t j) { return (va(i, j) - pa[j]) * (vb(i, j) - pb[j]); }, d, n,
                       sab.data(), scratch);
            if (correlation) {
                window_sum([&](std::ptrdiff_t i, std::ptrdiff_t j) { const double e = va(i, j) - pa[j]; return e * e; }, d, n,
                           saa.data(), scratch);
                window_sum([&](std::ptrdiff_t i, std::ptrdiff_t j) { const double e = vb(i, j) - pb[j]; return e * e; }, d, n,
                           sbb.data(), scratch);
            }
            double* o = out + t * n;
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                const bool missing = std::isnan(ma[j]) || std::isnan(mb[j]);
                // An infinite "constant" window has no defined spread: left to IEEE arithmetic.
                const bool flat = (same_a[j] == width && std::isfinite(a0[j])) || (same_b[j] == width && std::isfinite(b0[j]));
                double value = correlation ? sab[j] / std::sqrt(saa[j] * sbb[j]) : sab[j] / width;
                if (flat) value = correlation ? kNaN : 0.0;
                o[j] = missing ? kNaN : value;
            }
        }
    });
}

// Standard deviation dividing by d, from deviations about the window mean;
// exactly 0 on a window of one finite value.
inline void ts_stddev(const Matrix& x, std::ptrdiff_t d, double* out) {
    const std::ptrdiff_t n = x.cols;
    over_output_rows(x, d, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        std::vector<double> mean(n), same(n), squares(n);
        PairwiseScratch scratch;
        const double width = static_cast<double>(d);
        for (std::ptrdiff_t t = begin; t < end; ++t) {
            const double* first = x.row(t);
            const auto v = [&](std::ptrdiff_t i, std::ptrdiff_t j) { return x.row(t + i)[j]; };
            window_sum(v, d, n, mean.data(), scratch);
            std::fill(same.begin(), same.end(), 0.0);
            for (std::ptrdiff_t k = 0; k < d; ++k) {
                const double* row = x.row(t + k);
                for (std::ptrdiff_t j = 0; j < n; ++j) same[j] += row[j] == first[j] ? 1.0 : 0.0;
            }
            for (std::ptrdiff_t j = 0; j < n; ++j) mean[j] /= width;
            const double* m = mean.data();
            window_sum([&](std::ptrdiff_t i, std::ptrdiff_t j) { const double e = v(i, j) - m[j]; return e * e; }, d, n,
                       squares.data(), scratch);
            double* o = out + t * n;
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                const bool flat = same[j] == width && std::isfinite(first[j]);
                o[j] = flat ? 0.0 : std::sqrt(squares[j] / width);
            }
        }
    });
}

// Weighted mean with weights 1 .. d from the oldest row to today, divided by
// their sum d (d + 1) / 2. Integer weights keep the weighted sum exact for
// small integer inputs (such as 0/1 comparisons), so equal windows tie exactly.
inline void ts_decay_linear(const Matrix& x, std::ptrdiff_t d, double* out) {
    const std::ptrdiff_t n = x.cols;
    over_output_rows(x, d, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        PairwiseScratch scratch;
        const double total = static_cast<double>(d) * static_cast<double>(d + 1) * 0.5;
        for (std::ptrdiff_t t = begin; t < end; ++t) {
            double* o = out + t * n;
            window_sum([&](std::ptrdiff_t i, std::ptrdiff_t j) { return x.row(t + i)[j] * static_cast<double>(i + 1); }, d, n,
                       o, scratch);
            for (std::ptrdiff_t j = 0; j < n; ++j) o[j] /= total;
        }
    });
}

}  // namespace quellix::operators::core
