// Iteration over every window of every series of a (dates x series) panel.
// A 1-D series is a panel with one column.
#pragma once

#include "rolling/core/simd.hpp"

namespace quellix::rolling::core {

// Input element of series c at date t is data[t * row_stride + c * col_stride].
// Lanes are always neighbouring elements in memory: neighbouring windows of one
// series when row_stride == 1, neighbouring series at one date when
// col_stride == 1. Either way each lane's own arithmetic is that of the scalar
// code, which is what keeps results independent of the layout.
struct Layout {
    std::ptrdiff_t windows;     // L - n + 1
    std::ptrdiff_t series;      // number of columns
    std::ptrdiff_t row_stride;  // input, in elements
    std::ptrdiff_t col_stride;
    std::ptrdiff_t out_row;  // output, in elements
    std::ptrdiff_t out_col;
    bool lanes_along_time;
    std::ptrdiff_t tile = 0;  // row-major panels: columns per tile (0: all)
    std::ptrdiff_t window = 1;  // n, for sizing the work
};

// Columns per tile of a row-major panel such that the n rows a window spans
// stay within about 1 MiB: wide enough that every row is read as a long
// sequential run (which the hardware prefetcher follows), small enough that
// rows are still cached when later windows reuse them.
inline std::ptrdiff_t tile_columns(std::ptrdiff_t n, std::ptrdiff_t elem_bytes, std::ptrdiff_t series) {
    const std::ptrdiff_t budget = (std::ptrdiff_t{1} << 20) / (n * elem_bytes);
    const std::ptrdiff_t tile = budget < 64 ? 64 : budget;
    return tile < series ? tile : series;
}

// Element j of the window starting at element offset `off`.
template <class T>
struct Src {
    const T* p;
    std::ptrdiff_t step;  // distance between consecutive dates

    template <int W>
    QX_INLINE vec<T, W> at(std::ptrdiff_t off, std::ptrdiff_t j) const {
        return load<vec<T, W>>(p + off + j * step);
    }
};

// Windows [lo, hi) of every series of a row-major panel, window by window.
template <int W, class K>
void eval_rows(const K& k, const Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    const std::ptrdiff_t tile = g.tile > 0 ? g.tile : g.series;
    for (std::ptrdiff_t c0 = 0; c0 < g.series; c0 += tile) {
        const std::ptrdiff_t c1 = c0 + tile < g.series ? c0 + tile : g.series;
        for (std::ptrdiff_t i = lo; i < hi; ++i) {
            const std::ptrdiff_t in_row = i * g.row_stride;
            auto* o = out + i * g.out_row;
            std::ptrdiff_t c = c0;
            for (; c + W <= c1; c += W) store<W>(o + c * g.out_col, g.out_col, k.template eval<W>(in_row + c));
            for (; c < c1; ++c) store<1>(o + c * g.out_col, g.out_col, k.template eval<1>(in_row + c));
        }
    }
}

// K provides out_type and eval<W>(offset) returning the values of the W
// windows whose first elements are at offset, offset + 1, ...
// Only part of the panel is computed, so callers can share it between
// threads: series [lo, hi) when lanes run along time, windows [lo, hi) of
// every series for row-major panels (threads then fill separate pages of the
// result). A result never depends on the range it was computed in.
// Kernels with a cheaper whole-row strategy for row-major panels provide
// rows<W>(layout, out, lo, hi); it must give the results eval would.
template <int W, class K>
void run_panel(const K& k, const Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    if (g.lanes_along_time) {
        for (std::ptrdiff_t c = lo; c < hi; ++c) {
            const std::ptrdiff_t base = c * g.col_stride;
            auto* o = out + c * g.out_col;
            std::ptrdiff_t i = 0;
            for (; i + W <= g.windows; i += W) store<W>(o + i * g.out_row, g.out_row, k.template eval<W>(base + i));
            for (; i < g.windows; ++i) store<1>(o + i * g.out_row, g.out_row, k.template eval<1>(base + i));
        }
        return;
    }
    if constexpr (requires { k.template rows<W>(g, out, lo, hi); }) {
        k.template rows<W>(g, out, lo, hi);
    } else {
        eval_rows<W>(k, g, out, lo, hi);
    }
}

}  // namespace quellix::rolling::core
