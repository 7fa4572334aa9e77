// Iteration over every window of every series of a (dates x series) panel.
// A 1-D series is a panel with one column.
#pragma once

#include "rolling/core/simd.hpp"

namespace quellix::rolling::core {

// Input element i of series c at date t is data[t * row_stride + c * col_stride].
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
};

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

// K provides out_type, width and eval<W>(offset) returning W window values.
template <class K>
void run_panel(const K& k, const Layout& g, typename K::out_type* out) {
    constexpr int W = K::width;
    if (g.lanes_along_time) {
        for (std::ptrdiff_t c = 0; c < g.series; ++c) {
            const std::ptrdiff_t base = c * g.col_stride;
            auto* o = out + c * g.out_col;
            std::ptrdiff_t i = 0;
            for (; i + W <= g.windows; i += W) store<W>(o + i * g.out_row, g.out_row, k.template eval<W>(base + i));
            for (; i < g.windows; ++i) store<1>(o + i * g.out_row, g.out_row, k.template eval<1>(base + i));
        }
        return;
    }
    // Row-major panel: lanes are neighbouring series. Consecutive dates are a
    // whole row apart, so windows slide down a tile of columns narrow enough
    // that the n rows in flight stay in L1/L2 yet wide enough that each new
    // row is fetched as a run of cache lines rather than one line per miss.
    constexpr std::ptrdiff_t tile = 32 * W;
    for (std::ptrdiff_t c0 = 0; c0 < g.series; c0 += tile) {
        const std::ptrdiff_t c1 = c0 + tile < g.series ? c0 + tile : g.series;
        for (std::ptrdiff_t i = 0; i < g.windows; ++i) {
            const std::ptrdiff_t in_row = i * g.row_stride;
            auto* o = out + i * g.out_row;
            std::ptrdiff_t c = c0;
            for (; c + W <= c1; c += W) store<W>(o + c * g.out_col, g.out_col, k.template eval<W>(in_row + c));
            for (; c < c1; ++c) store<1>(o + c * g.out_col, g.out_col, k.template eval<1>(in_row + c));
        }
    }
}

}  // namespace quellix::rolling::core
