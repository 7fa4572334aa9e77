// Iteration over every window of every series of a (dates x series) panel.
// A 1-D series is a panel with one column.
#pragma once

#include <algorithm>
#include <vector>

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

// Windows [lo, hi) of every series of a row-major panel, by tiles of columns.
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

// Strips of U neighbouring columns over a run of dates, copied into one
// buffer strip after strip, each strip date by date: a window of a
// row-major panel otherwise spans n rows on n different pages, which at long
// windows costs more in address translation and cache misses than the
// arithmetic. Strips are filled a group at a time so that each row of the
// panel is read (and each row of the result written) in runs of several
// strips.
template <class T>
struct Strips {
    Src<T> from;
    std::vector<T> buf;
    std::ptrdiff_t rows = 0;

    template <int U>
    void fill(std::ptrdiff_t t0, std::ptrdiff_t t1, std::ptrdiff_t c, std::ptrdiff_t count) {
        rows = t1 - t0;
        const std::size_t need = static_cast<std::size_t>(rows * U * count);
        if (buf.size() < need) buf.resize(need);
        for (std::ptrdiff_t t = t0; t < t1; ++t) {
            const T* row = from.p + t * from.step + c;
            T* b = buf.data() + (t - t0) * U;
            for (std::ptrdiff_t s = 0; s < count; ++s) std::memcpy(b + s * rows * U, row + s * U, U * sizeof(T));
        }
    }

    template <int U>
    Src<T> strip(std::ptrdiff_t s) const {
        return Src<T>{buf.data() + s * rows * U, U};
    }
};

// Windows at least this long take the packed path on row-major panels.
inline constexpr std::ptrdiff_t packed_from = 32;

// eval_rows over packed strips, the windows in runs; a copy of the kernel
// reads a strip instead of the panel, with the same operations per lane, so
// results are unchanged.
template <int W, class K>
void eval_packed(const K& k, const Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    const std::ptrdiff_t n = g.window;
    const std::ptrdiff_t run = std::max<std::ptrdiff_t>(2 * n, 512);
    K local = k;
    // The input series of the kernel: `x`, or `a` and `b` for two series.
    auto strips = [&] {
        if constexpr (requires { k.a; k.b; }) {
            return std::make_pair(Strips<std::remove_cvref_t<decltype(*k.a.p)>>{k.a, {}},
                                  Strips<std::remove_cvref_t<decltype(*k.b.p)>>{k.b, {}});
        } else {
            return std::make_pair(Strips<std::remove_cvref_t<decltype(*k.x.p)>>{k.x, {}}, 0);
        }
    }();
    std::vector<typename K::out_type> mean_buf;
    std::ptrdiff_t strip_bytes = (run + n - 1) * W * static_cast<std::ptrdiff_t>(sizeof(*strips.first.from.p));
    if constexpr (requires { k.a; k.b; }) strip_bytes *= 2;
    const std::ptrdiff_t per_group = std::max<std::ptrdiff_t>(1, (std::ptrdiff_t{512} << 10) / strip_bytes);
    auto group = [&]<int U>(std::ptrdiff_t d0, std::ptrdiff_t d1, std::ptrdiff_t c0, std::ptrdiff_t count) {
        if constexpr (requires { k.a; k.b; }) {
            strips.first.template fill<U>(d0, d1 + n - 1, c0, count);
            strips.second.template fill<U>(d0, d1 + n - 1, c0, count);
        } else {
            strips.first.template fill<U>(d0, d1 + n - 1, c0, count);
        }
        // Kernels made of plain window sums compute a strip's whole run at
        // once, sharing partial sums between windows.
        if constexpr (requires { k.template strip_results<U>(nullptr, nullptr, 0, 0, nullptr); }) {
            const std::ptrdiff_t windows = d1 - d0;
            mean_buf.resize(static_cast<std::size_t>(count * windows * U));
            auto* res = mean_buf.data();
            bool shared = true;
            for (std::ptrdiff_t s = 0; s < count && shared; ++s) {
                shared = local.template strip_results<U>(strips.first.template strip<U>(s).p,
                                                         strips.second.template strip<U>(s).p, strips.first.rows,
                                                         windows, res + s * windows * U);
            }
            if (shared) {
                using R = vec<typename K::out_type, U>;
                for (std::ptrdiff_t i = d0; i < d1; ++i) {
                    auto* o = out + i * g.out_row + c0 * g.out_col;
                    for (std::ptrdiff_t s = 0; s < count; ++s) {
                        store<U>(o + s * U * g.out_col, g.out_col, load<R>(res + (s * windows + i - d0) * U));
                    }
                }
                return;
            }
        }
        // Kernels that start from each window's mean get the means of the
        // whole run at once, from partial sums shared between windows.
        if constexpr (requires { k.template means<U>(nullptr, 0, nullptr); }) {
            using T = std::remove_cvref_t<decltype(*k.x.p)>;
            using V = vec<T, U>;
            const std::ptrdiff_t windows = d1 - d0;
            mean_buf.resize(static_cast<std::size_t>(count * windows * U));
            T* means = mean_buf.data();
            bool shared = true;
            for (std::ptrdiff_t s = 0; s < count && shared; ++s) {
                shared = local.template means<U>(strips.first.template strip<U>(s).p, windows, means + s * windows * U);
            }
            if (shared) {
                for (std::ptrdiff_t i = d0; i < d1; ++i) {
                    auto* o = out + i * g.out_row + c0 * g.out_col;
                    for (std::ptrdiff_t s = 0; s < count; ++s) {
                        local.x = strips.first.template strip<U>(s);
                        const V mean = load<V>(means + (s * windows + i - d0) * U);
                        store<U>(o + s * U * g.out_col, g.out_col, local.template eval_given<U>((i - d0) * U, mean));
                    }
                }
                return;
            }
        }
        std::ptrdiff_t i = d0;
        if constexpr (requires { k.template eval4<U>(0, nullptr); }) {
            using R = vec<typename K::out_type, U>;
            for (; i + 4 <= d1; i += 4) {
                auto* o = out + i * g.out_row + c0 * g.out_col;
                for (std::ptrdiff_t s = 0; s < count; ++s) {
                    local.x = strips.first.template strip<U>(s);
                    R r[4];
                    local.template eval4<U>((i - d0) * U, r);
                    for (int q = 0; q < 4; ++q) store<U>(o + q * g.out_row + s * U * g.out_col, g.out_col, r[q]);
                }
            }
        }
        for (; i < d1; ++i) {
            auto* o = out + i * g.out_row + c0 * g.out_col;
            for (std::ptrdiff_t s = 0; s < count; ++s) {
                if constexpr (requires { k.a; k.b; }) {
                    local.a = strips.first.template strip<U>(s);
                    local.b = strips.second.template strip<U>(s);
                } else {
                    local.x = strips.first.template strip<U>(s);
                }
                store<U>(o + s * U * g.out_col, g.out_col, local.template eval<U>((i - d0) * U));
            }
        }
    };
    const std::ptrdiff_t whole = g.series / W;
    for (std::ptrdiff_t d0 = lo; d0 < hi; d0 += run) {
        const std::ptrdiff_t d1 = std::min(d0 + run, hi);
        for (std::ptrdiff_t s0 = 0; s0 < whole; s0 += per_group) {
            group.template operator()<W>(d0, d1, s0 * W, std::min(per_group, whole - s0));
        }
        if (whole * W < g.series) group.template operator()<1>(d0, d1, whole * W, g.series - whole * W);
    }
}

// Windows [lo, hi) of every series of a row-major panel, window by window.
template <int W, class K>
void eval_each(const K& k, const Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    if (g.window >= packed_from) {
        eval_packed<W>(k, g, out, lo, hi);
    } else {
        eval_rows<W>(k, g, out, lo, hi);
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
// Kernels whose block strategy (rows) also runs a single series declare
// `blocks_along_time`: the window length from which it pays.
template <class K>
concept BlocksAlongTime = requires { K::blocks_along_time; } && K::blocks_along_time > 0;

template <int W, class K>
void run_panel(const K& k, const Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    if (g.lanes_along_time) {
        if constexpr (BlocksAlongTime<K>) {
            // One series is a one-column panel to the block strategy: a few comparisons per
            // window. Vector copies scan W windows at once, so for them it pays only at
            // longer windows.
            const std::ptrdiff_t from = W == 1 ? K::blocks_along_time : 4 * K::blocks_along_time;
            if (g.series == 1 && k.n >= from && lo == 0 && hi == 1) {
                return k.template rows<1>(g, out, 0, g.windows);
            }
        }
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
        eval_each<W>(k, g, out, lo, hi);
    }
}

}  // namespace quellix::rolling::core
