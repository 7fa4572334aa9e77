// Window extremes and their positions, with numpy's NaN conventions: a NaN
// makes the extreme NaN and is itself reported as the position.
#pragma once

#include <limits>
#include <type_traits>
#include <vector>

#include "rolling/core/panel.hpp"

namespace quellix::rolling::core {

// Calls f<W>(c) for each full group of W columns from c, then f<1>(c) for
// the columns left over.
template <int W, class F>
QX_INLINE void column_groups(std::ptrdiff_t width, const F& f) {
    std::ptrdiff_t c = 0;
    for (; c + W <= width; c += W) f.template operator()<W>(c);
    for (; c < width; ++c) f.template operator()<1>(c);
}

template <class T, bool Max>
struct Extreme {
    using out_type = T;
    static constexpr int width = lanes<T>;
    static constexpr bool uses_masks = true;
    // Integer series only: for floats the block strategy may pick the other
    // of two equal zeros (+0.0, -0.0) than the scan does, and a series'
    // result must keep its bits.
    static constexpr std::ptrdiff_t blocks_along_time = is_float<T> ? 0 : 16;
    Src<T> x;
    std::ptrdiff_t n;

    template <int W>
    QX_INLINE vec<T, W> eval(std::ptrdiff_t off) const {
        using V = vec<T, W>;
        // The extreme of a set does not depend on the visiting order, so four
        // interleaved accumulators hide the compare-and-select latency.
        auto pick = [](const V& a, const V& b) {
            if constexpr (Max) {
                return b > a ? b : a;
            } else {
                return b < a ? b : a;
            }
        };
        V first = x.template at<W>(off, 0);
        V r[4] = {first, first, first, first};
        auto nan = first != first;
        std::ptrdiff_t j = 1;
        for (; j + 4 <= n; j += 4) {
            for (int u = 0; u < 4; ++u) {
                V v = x.template at<W>(off, j + u);
                r[u] = pick(r[u], v);
                if constexpr (is_float<T>) nan |= v != v;
            }
        }
        for (; j < n; ++j) {
            V v = x.template at<W>(off, j);
            r[0] = pick(r[0], v);
            if constexpr (is_float<T>) nan |= v != v;
        }
        V best = pick(pick(r[0], r[1]), pick(r[2], r[3]));
        if constexpr (is_float<T>) best = nan ? splat<V>(std::numeric_limits<T>::quiet_NaN()) : best;
        return best;
    }

    // Row-major panels at longer windows, by the block algorithm of
    // ArgExtreme::rows with series as lanes: a window is the suffix extreme
    // of one block of n dates and the prefix extreme of the next, so each
    // costs a few comparisons whatever n. Comparisons are exact and the
    // pick below lets a NaN win, so every window gets the value (or the NaN)
    // of a direct scan.
    template <int W>
    void rows(const Layout& g, T* out, std::ptrdiff_t lo, std::ptrdiff_t hi) const {
        if (n < 16) return eval_rows<W>(*this, g, out, lo, hi);
        std::ptrdiff_t tile = (std::ptrdiff_t{128} << 10) / (n * static_cast<std::ptrdiff_t>(sizeof(T)));
        tile = tile < 4 * W ? 4 * W : tile - tile % W;
        if (tile > g.series) tile = g.series;
        const std::ptrdiff_t kept = n < hi - lo ? n : hi - lo;
        std::vector<T> suffix(static_cast<std::size_t>((kept + 2) * tile));
        std::vector<T> head(static_cast<std::size_t>(tile));
        auto row = [&](std::ptrdiff_t r) { return (r < kept ? r : kept + r % 2) * tile; };
        const std::ptrdiff_t len = hi + n - 1;
        for (std::ptrdiff_t c0 = 0; c0 < g.series; c0 += tile) {
            const std::ptrdiff_t width = c0 + tile < g.series ? tile : g.series - c0;
            const T* col = x.p + c0;
            T* o = out + c0 * g.out_col;
            for (std::ptrdiff_t b0 = lo; b0 < hi; b0 += n) {
                const std::ptrdiff_t end = b0 + n < len ? b0 + n : len;
                for (std::ptrdiff_t t = end - 1; t >= b0; --t) {
                    T* at = suffix.data() + row(t - b0);
                    const T* later = suffix.data() + row(t - b0 + 1);
                    const T* in = col + t * x.step;
                    const bool first = t == end - 1;
                    column_groups<W>(width, [&]<int U>(std::ptrdiff_t c) {
                        using V = vec<T, U>;
                        V v = load<V>(in + c);
                        if (!first) v = pick<U>(v, load<V>(later + c));
                        std::memcpy(at + c, &v, sizeof(V));
                    });
                }
                const std::ptrdiff_t last = b0 + n < hi ? b0 + n : hi;
                for (std::ptrdiff_t i = b0; i < last; ++i) {
                    const std::ptrdiff_t r = i - b0;
                    const T* s = suffix.data() + r * tile;
                    const T* in = col + (i + n - 1) * x.step;
                    T* dst = o + i * g.out_row;
                    column_groups<W>(width, [&]<int U>(std::ptrdiff_t c) {
                        using V = vec<T, U>;
                        V best = load<V>(s + c);
                        if (r > 0) {
                            V h = load<V>(in + c);
                            if (r > 1) h = pick<U>(load<V>(head.data() + c), h);
                            std::memcpy(head.data() + c, &h, sizeof(V));
                            best = pick<U>(best, h);
                        }
                        if constexpr (is_float<T>) best = best != best ? splat<V>(std::numeric_limits<T>::quiet_NaN()) : best;
                        store<U>(dst + c * g.out_col, g.out_col, best);
                    });
                }
            }
        }
    }

  private:
    // The more extreme of a and b, a NaN in either winning.
    template <int W>
    QX_INLINE static vec<T, W> pick(const vec<T, W>& a, const vec<T, W>& b) {
        auto take_b = Max ? b > a : b < a;
        if constexpr (is_float<T>) take_b |= b != b;
        return take_b ? b : a;
    }
};

// Position (from the oldest value) of the first extreme, as float64. One
// pass finds the extreme, a second the earliest element equal to it (or the
// earliest NaN: a window holding one has a NaN extreme, which equals
// nothing). The second pass keeps, per lane, the largest "distance from the
// end" n - j among the hits, as a float of the input's width so that masking
// and taking the maximum are single vector operations; four independent
// accumulators keep it off the maximum's latency. Positions are exact floats
// while n < 2**24, which the binding ensures for float32 input.
template <class T, bool Max>
struct ArgExtreme {
    using out_type = double;
    static constexpr int width = lanes<T>;
    static constexpr bool uses_masks = true;
    Src<T> x;
    std::ptrdiff_t n;

    template <int W>
    QX_INLINE vec<double, W> eval(std::ptrdiff_t off) const {
        using V = vec<T, W>;
        using P = std::conditional_t<sizeof(T) == 4, float, double>;
        using F = vec<P, W>;
        using M = decltype(F{} != F{});
        const V best = Extreme<T, Max>{x, n}.template eval<W>(off);
        auto hit_at = [&](std::ptrdiff_t j) {
            V v = x.template at<W>(off, j);
            auto hit = v == best;
            if constexpr (is_float<T>) hit |= v != v;
            return (M)hit;
        };
        auto keep = [](const F& acc, const M& hit, const F& rank) {
            F cand = (F)(hit & (M)rank);
            return cand > acc ? cand : acc;
        };
        F acc[4] = {F{}, F{}, F{}, F{}};
        F rank[4];
        for (int u = 0; u < 4; ++u) rank[u] = splat<F>(static_cast<P>(n - u));
        std::ptrdiff_t j = 0;
        for (; j + 4 <= n; j += 4) {
            for (int u = 0; u < 4; ++u) {
                acc[u] = keep(acc[u], hit_at(j + u), rank[u]);
                rank[u] -= P(4);
            }
        }
        for (; j < n; ++j) acc[0] = keep(acc[0], hit_at(j), splat<F>(static_cast<P>(n - j)));
        F a = acc[0] > acc[1] ? acc[0] : acc[1];
        F b = acc[2] > acc[3] ? acc[2] : acc[3];
        F top = a > b ? a : b;
        return convert<double>(static_cast<P>(n) - top);
    }

    // Row-major panels, by the block algorithm of first_extreme_scan below
    // with series as lanes: per tile of columns, the suffix extremes of each
    // block of n dates are kept for the whole tile, the prefix extremes of
    // the next block run alongside. Positions are relative to a block start,
    // so they stay below n and exact in P (float for float32, n < 2**24).
    // Only the suffixes that start a window of [lo, hi) are kept; the scan
    // through the rest of a block passes through two spare rows, so scratch
    // is bounded by the windows asked for, not by n.
    template <int W>
    void rows(const Layout& g, double* out, std::ptrdiff_t lo, std::ptrdiff_t hi) const {
        std::ptrdiff_t tile = (std::ptrdiff_t{128} << 10) / (n * 2 * static_cast<std::ptrdiff_t>(sizeof(T)));
        tile = tile < 4 * W ? 4 * W : tile - tile % W;
        if (tile > g.series) tile = g.series;
        const std::ptrdiff_t kept = n < hi - lo ? n : hi - lo;
        std::vector<T> suffix_value(static_cast<std::size_t>((kept + 2) * tile));
        std::vector<P> suffix_pos(static_cast<std::size_t>((kept + 2) * tile));
        std::vector<T> head_value(static_cast<std::size_t>(tile));
        std::vector<P> head_pos(static_cast<std::size_t>(tile));
        auto row = [&](std::ptrdiff_t r) { return (r < kept ? r : kept + r % 2) * tile; };
        const std::ptrdiff_t len = hi + n - 1;  // dates the windows reach
        for (std::ptrdiff_t c0 = 0; c0 < g.series; c0 += tile) {
            const std::ptrdiff_t width = c0 + tile < g.series ? tile : g.series - c0;
            const T* col = x.p + c0;
            double* o = out + c0 * g.out_col;
            for (std::ptrdiff_t b0 = lo; b0 < hi; b0 += n) {
                const std::ptrdiff_t end = b0 + n < len ? b0 + n : len;
                for (std::ptrdiff_t t = end - 1; t >= b0; --t) {
                    const std::ptrdiff_t r = t - b0;
                    const std::ptrdiff_t at = row(r), later = row(r + 1);
                    column_groups<W>(width, [&]<int U>(std::ptrdiff_t c) {
                        suffix_step<U>(col + t * x.step + c, suffix_value.data() + at + c,
                                       suffix_pos.data() + at + c, suffix_value.data() + later + c,
                                       suffix_pos.data() + later + c, static_cast<P>(r), t == end - 1);
                    });
                }
                const std::ptrdiff_t last = b0 + n < hi ? b0 + n : hi;
                for (std::ptrdiff_t i = b0; i < last; ++i) {
                    const std::ptrdiff_t r = i - b0;
                    column_groups<W>(width, [&]<int U>(std::ptrdiff_t c) {
                        window_step<U>(col + (i + n - 1) * x.step + c, suffix_value.data() + r * tile + c,
                                       suffix_pos.data() + r * tile + c, head_value.data() + c,
                                       head_pos.data() + c, r, o + i * g.out_row + c * g.out_col, g.out_col);
                    });
                }
            }
        }
    }

  private:
    using P = std::conditional_t<sizeof(T) == 4, float, double>;

    // a beats b when more extreme, a NaN beating every number.
    template <int W>
    QX_INLINE static auto beats(const vec<T, W>& a, const vec<T, W>& b) {
        auto m = Max ? a > b : a < b;
        if constexpr (is_float<T>) m |= (a != a) & (b == b);
        return m;
    }

    // Suffix extreme from date r of the block on; ties go to the earlier date.
    template <int W>
    QX_INLINE static void suffix_step(const T* in, T* sv, P* sp, const T* later_v, const P* later_p, P r,
                                      bool first) {
        using V = vec<T, W>;
        using F = vec<P, W>;
        const V v = load<V>(in);
        V best = v;
        F pos = splat<F>(r);
        if (!first) {
            const V later = load<V>(later_v);
            const auto keep = beats<W>(later, v);
            best = keep ? later : v;
            pos = keep ? load<F>(later_p) : pos;
        }
        std::memcpy(sv, &best, sizeof(best));
        std::memcpy(sp, &pos, sizeof(pos));
    }

    // Window starting at date r of a block: the suffix from r, plus the
    // prefix of the next block up to the window's last date (r > 0).
    template <int W>
    QX_INLINE void window_step(const T* in, const T* sv, const P* sp, T* hv, P* hp, std::ptrdiff_t r, double* o,
                               std::ptrdiff_t o_col) const {
        using V = vec<T, W>;
        using F = vec<P, W>;
        const V sv_r = load<V>(sv);
        const F sp_r = load<F>(sp);
        if (r == 0) {
            store<W>(o, o_col, convert<double>(sp_r));
            return;
        }
        const V v = load<V>(in);
        V head = v;
        F head_at = splat<F>(static_cast<P>(r - 1));
        if (r > 1) {
            const V h = load<V>(hv);
            const auto take = beats<W>(v, h);
            head = take ? v : h;
            head_at = take ? head_at : load<F>(hp);
        }
        std::memcpy(hv, &head, sizeof(head));
        std::memcpy(hp, &head_at, sizeof(head_at));
        const auto from_head = beats<W>(head, sv_r);
        // Both sums are of integers below n with a result below n: exact.
        const F pos = from_head ? head_at + static_cast<P>(n - r) : sp_r - static_cast<P>(r);
        store<W>(o, o_col, convert<double>(pos));
    }
};

// Positions of the first extremes of every window of one contiguous series,
// by van Herk / Gil-Werman: the series is cut into blocks of n; a window is
// the tail of one block (suffix scan) plus the head of the next (prefix
// scan), so each window costs a constant number of comparisons whatever n.
// Comparisons are exact, so this gives the same positions as scanning each
// window. `a` beats `b` when it is the more extreme value, a NaN beating
// every number (only checked when the series holds a NaN); ties go to the
// earlier element. Scratch holds len values and positions.
template <class T, bool Max, bool Nans>
void first_extreme_scan(const T* x, std::ptrdiff_t len, std::ptrdiff_t n, double* out, std::ptrdiff_t out_stride,
                        T* scratch_value, std::ptrdiff_t* scratch_pos) {
    auto beats = [](T a, T b) {
        bool strictly = Max ? a > b : a < b;
        if constexpr (Nans) strictly = strictly | ((a != a) & (b == b));
        return strictly;
    };
    for (std::ptrdiff_t start = 0; start < len; start += n) {
        std::ptrdiff_t t = (start + n < len ? start + n : len) - 1;
        T run_value = x[t];
        std::ptrdiff_t run_pos = t;
        scratch_value[t] = run_value;
        scratch_pos[t] = run_pos;
        for (--t; t >= start; --t) {
            if (!beats(run_value, x[t])) {
                run_value = x[t];
                run_pos = t;
            }
            scratch_value[t] = run_value;
            scratch_pos[t] = run_pos;
        }
    }
    T head_value{};
    std::ptrdiff_t head_pos = 0;
    std::ptrdiff_t e_phase = 0;  // e % n, and below i % n, kept without dividing
    std::ptrdiff_t i_phase = 0;
    for (std::ptrdiff_t e = 0; e < len; ++e) {
        if (e_phase == 0 || beats(x[e], head_value)) {
            head_value = x[e];
            head_pos = e;
        }
        if (++e_phase == n) e_phase = 0;
        const std::ptrdiff_t i = e - n + 1;
        if (i < 0) continue;
        // Which part holds the extreme is a coin flip on real data: a select,
        // not a branch.
        const bool from_head = (i_phase != 0) & beats(head_value, scratch_value[i]);
        const std::ptrdiff_t pos = from_head ? head_pos : scratch_pos[i];
        if (++i_phase == n) i_phase = 0;
        out[i * out_stride] = static_cast<double>(pos - i);
    }
}

template <class T, bool Max>
void first_extreme_positions(const T* x, std::ptrdiff_t len, std::ptrdiff_t n, double* out,
                             std::ptrdiff_t out_stride, T* scratch_value, std::ptrdiff_t* scratch_pos) {
    bool nans = false;
    if constexpr (is_float<T>) {
        for (std::ptrdiff_t t = 0; t < len; ++t) nans |= x[t] != x[t];
    }
    if (nans) {
        first_extreme_scan<T, Max, true>(x, len, n, out, out_stride, scratch_value, scratch_pos);
    } else {
        first_extreme_scan<T, Max, false>(x, len, n, out, out_stride, scratch_value, scratch_pos);
    }
}

}  // namespace quellix::rolling::core
