// Windowed operations along the dates of a dates x instruments matrix, with
// the conventions of the formulaic-alpha library: a window holds the last d
// rows including today, and a NaN anywhere in it gives NaN.
//
// Output row t covers input rows t .. t + d - 1, so the result has
// rows - d + 1 rows. Loops run across a tile of instruments (contiguous), one
// window row at a time, so the compiler can vectorise them and a window of
// the tile stays in cache; windows are short enough that O(d) work per value
// costs less than running updates would in precision. Sums follow numpy's
// order (window_sums.hpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "common/parallel.hpp"
#include "operators/core/cross_section.hpp"
#include "operators/core/tile_copies.hpp"
#include "operators/core/window_sums.hpp"

namespace quellix::operators::core {

// Instruments per tile: 2 KB a row, so a window stays in cache. Kernels with
// pairwise sums take narrower tiles: their eight accumulators per sum and
// instrument must stay in the first-level cache too.
constexpr std::ptrdiff_t kTile = 256;
constexpr std::ptrdiff_t kPairwiseTile = 128;

// A tile's view: columns [j0, j0 + cols) of the input, and where its output goes.
struct Tile {
    std::ptrdiff_t j0, cols, out_rows, out_stride;
    const double* row(const Matrix& x, std::ptrdiff_t r) const { return x.row(r) + j0; }
    double* out(double* base, std::ptrdiff_t t) const { return base + t * out_stride + j0; }
};

// body(tile) for every tile of columns, the tiles shared between two threads.
// Each tile runs the copy of `body` for the machine's instruction set.
template <bool Wide = false, class Body>
void over_tiles(const Matrix& x, std::ptrdiff_t d, Body&& body, std::ptrdiff_t width = kTile) {
    const std::ptrdiff_t out_rows = x.rows - d + 1;
    const std::ptrdiff_t n_tiles = (x.cols + width - 1) / width;
    const Isa isa = machine_isa();
    run_split(n_tiles, out_rows * x.cols * d, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            const std::ptrdiff_t j0 = i * width;
            run_tile<Wide>(isa, body, Tile{j0, std::min(width, x.cols - j0), out_rows, x.cols});
        }
    });
}

// Today's rank among the window's values, ties averaged, divided by d: (0, 1].
inline void ts_rank(const Matrix& x, std::ptrdiff_t d, double* out) {
    over_tiles(x, d, [&](const Tile& tile) {
        const std::ptrdiff_t n = tile.cols;
        std::vector<double> less(n), equal(n), bad(n);
        const double width = static_cast<double>(d);
        for (std::ptrdiff_t t = 0; t < tile.out_rows; ++t) {
            const double* today = tile.row(x, t + d - 1);
            std::fill(less.begin(), less.end(), 0.0);
            std::fill(equal.begin(), equal.end(), 0.0);
            std::fill(bad.begin(), bad.end(), 0.0);
            for (std::ptrdiff_t k = 0; k < d; ++k) {
                const double* v = tile.row(x, t + k);
                for (std::ptrdiff_t j = 0; j < n; ++j) {
                    less[j] += v[j] < today[j] ? 1.0 : 0.0;
                    equal[j] += v[j] == today[j] ? 1.0 : 0.0;
                    bad[j] += std::isnan(v[j]) ? 1.0 : 0.0;
                }
            }
            double* o = tile.out(out, t);
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
    const double sign = largest ? 1.0 : -1.0;
    over_tiles<true>(x, d, [&](const Tile& tile) {
        const std::ptrdiff_t n = tile.cols;
        std::vector<double> best(n), pos(n), bad(n);
        for (std::ptrdiff_t t = 0; t < tile.out_rows; ++t) {
            const double* first = tile.row(x, t);
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                best[j] = sign * first[j];
                pos[j] = 1.0;
                bad[j] = std::isnan(first[j]) ? 1.0 : 0.0;
            }
            for (std::ptrdiff_t k = 1; k < d; ++k) {
                const double* row = tile.row(x, t + k);
                const double where = static_cast<double>(k + 1);
                for (std::ptrdiff_t j = 0; j < n; ++j) {
                    const double v = sign * row[j];
                    const bool better = v > best[j];
                    best[j] = better ? v : best[j];
                    pos[j] = better ? where : pos[j];
                    bad[j] += std::isnan(v) ? 1.0 : 0.0;
                }
            }
            double* o = tile.out(out, t);
            for (std::ptrdiff_t j = 0; j < n; ++j) o[j] = bad[j] > 0.0 ? kNaN : pos[j];
        }
    });
}

// Whether column j of rows [t, t + d) holds one finite value. An infinite
// "constant" window has no defined spread and is left to IEEE arithmetic.
inline bool flat_window(const Tile& tile, const Matrix& x, std::ptrdiff_t t, std::ptrdiff_t d, std::ptrdiff_t j) {
    const double* first = tile.row(x, t) + j;
    if (!std::isfinite(*first)) return false;
    for (std::ptrdiff_t k = 1; k < d; ++k) {
        if (first[k * x.stride] != *first) return false;
    }
    return true;
}

// Squared deviations summing to no more than the rounding of a constant
// window's mean can leave (d values each off by at most d ulps of the mean)
// mark the windows worth the exact test, which most windows then skip.
inline bool maybe_flat(double squares, double mean, double width) {
    constexpr double eps = std::numeric_limits<double>::epsilon();
    return squares <= 4.0 * width * width * width * eps * eps * mean * mean;
}

// Covariance (dividing by d) or Pearson correlation of two windows, from
// deviations about the window means. A window in which either input is
// constant has covariance 0 and no correlation (NaN): decided exactly, since
// rounding in the mean would otherwise leave a tiny spread.
inline void ts_comoment(const Matrix& a, const Matrix& b, std::ptrdiff_t d, bool correlation, double* out) {
    over_tiles(a, d, [&](const Tile& tile) {
        const std::ptrdiff_t n = tile.cols;
        std::vector<double> ma(n), mb(n), sab(n), saa(n), sbb(n);
        PairwiseScratch scratch;
        const double width = static_cast<double>(d);
        for (std::ptrdiff_t t = 0; t < tile.out_rows; ++t) {
            const double* a_t = tile.row(a, t);
            const double* b_t = tile.row(b, t);
            const std::ptrdiff_t stride = a.stride;
            window_sums<2>([&](std::ptrdiff_t i, std::ptrdiff_t j, double* v) {
                v[0] = a_t[i * stride + j];
                v[1] = b_t[i * stride + j];
            }, d, n, {ma.data(), mb.data()}, scratch);
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                ma[j] /= width;
                mb[j] /= width;
            }
            const double* pa = ma.data();
            const double* pb = mb.data();
            window_sums<3>([&](std::ptrdiff_t i, std::ptrdiff_t j, double* v) {
                const double ea = a_t[i * stride + j] - pa[j], eb = b_t[i * stride + j] - pb[j];
                v[0] = ea * eb;
                v[1] = ea * ea;
                v[2] = eb * eb;
            }, d, n, {sab.data(), saa.data(), sbb.data()}, scratch);
            double* o = tile.out(out, t);
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                const bool missing = std::isnan(ma[j]) || std::isnan(mb[j]);
                const bool flat = (maybe_flat(saa[j], ma[j], width) && flat_window(tile, a, t, d, j)) ||
                                  (maybe_flat(sbb[j], mb[j], width) && flat_window(tile, b, t, d, j));
                double value = correlation ? sab[j] / std::sqrt(saa[j] * sbb[j]) : sab[j] / width;
                if (flat) value = correlation ? kNaN : 0.0;
                o[j] = missing ? kNaN : value;
            }
        }
    }, kPairwiseTile);
}

// Standard deviation dividing by d, from deviations about the window mean;
// exactly 0 on a window of one finite value.
inline void ts_stddev(const Matrix& x, std::ptrdiff_t d, double* out) {
    over_tiles(x, d, [&](const Tile& tile) {
        const std::ptrdiff_t n = tile.cols;
        std::vector<double> mean(n), squares(n);
        PairwiseScratch scratch;
        const double width = static_cast<double>(d);
        for (std::ptrdiff_t t = 0; t < tile.out_rows; ++t) {
            const double* x_t = tile.row(x, t);
            const std::ptrdiff_t stride = x.stride;
            window_sums<1>([&](std::ptrdiff_t i, std::ptrdiff_t j, double* v) { v[0] = x_t[i * stride + j]; }, d, n,
                           {mean.data()}, scratch);
            for (std::ptrdiff_t j = 0; j < n; ++j) mean[j] /= width;
            const double* m = mean.data();
            window_sums<1>([&](std::ptrdiff_t i, std::ptrdiff_t j, double* v) {
                const double e = x_t[i * stride + j] - m[j];
                v[0] = e * e;
            }, d, n, {squares.data()}, scratch);
            double* o = tile.out(out, t);
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                const bool flat = maybe_flat(squares[j], mean[j], width) && flat_window(tile, x, t, d, j);
                o[j] = flat ? 0.0 : std::sqrt(squares[j] / width);
            }
        }
    }, kPairwiseTile);
}

// Weighted mean with weights 1 .. d from the oldest row to today, divided by
// their sum d (d + 1) / 2. Integer weights keep the weighted sum exact for
// small integer inputs (such as 0/1 comparisons), so equal windows tie exactly.
inline void ts_decay_linear(const Matrix& x, std::ptrdiff_t d, double* out) {
    over_tiles(x, d, [&](const Tile& tile) {
        PairwiseScratch scratch;
        const double total = static_cast<double>(d) * static_cast<double>(d + 1) * 0.5;
        for (std::ptrdiff_t t = 0; t < tile.out_rows; ++t) {
            const double* x_t = tile.row(x, t);
            const std::ptrdiff_t stride = x.stride;
            double* o = tile.out(out, t);
            window_sums<1>([&](std::ptrdiff_t i, std::ptrdiff_t j, double* v) {
                v[0] = x_t[i * stride + j] * static_cast<double>(i + 1);
            }, d, tile.cols, {o}, scratch);
            for (std::ptrdiff_t j = 0; j < tile.cols; ++j) o[j] /= total;
        }
    }, kPairwiseTile);
}

}  // namespace quellix::operators::core
