// numpy's pairwise summation (used by add.reduce along a contiguous axis),
// reproduced operation for operation so window sums and means are
// bit-identical to the numpy formulas.
#pragma once

#include "rolling/core/simd.hpp"

namespace quellix::rolling::core {

// term(i) yields the i-th addend of the window as a lane vector.
template <class V, class F>
QX_INLINE V pairwise_block(const F& term, std::ptrdiff_t lo, std::ptrdiff_t n) {
    if (n < 8) {
        V r = term(lo);
        for (std::ptrdiff_t i = 1; i < n; ++i) r += term(lo + i);
        return r;
    }
    V r0 = term(lo), r1 = term(lo + 1), r2 = term(lo + 2), r3 = term(lo + 3);
    V r4 = term(lo + 4), r5 = term(lo + 5), r6 = term(lo + 6), r7 = term(lo + 7);
    std::ptrdiff_t i = 8;
    for (; i < n - n % 8; i += 8) {
        r0 += term(lo + i);
        r1 += term(lo + i + 1);
        r2 += term(lo + i + 2);
        r3 += term(lo + i + 3);
        r4 += term(lo + i + 4);
        r5 += term(lo + i + 5);
        r6 += term(lo + i + 6);
        r7 += term(lo + i + 7);
    }
    V res = ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7));
    for (; i < n; ++i) res += term(lo + i);
    return res;
}

// Blocks longer than 128 split at half the length rounded down to a multiple
// of 8. The recursion passes vectors by reference so no vector crosses a call
// boundary by value (its ABI would depend on the instruction set).
template <class V, class F>
void pairwise_split(const F& term, std::ptrdiff_t lo, std::ptrdiff_t n, V& out) {
    if (n <= 128) {
        out = pairwise_block<V>(term, lo, n);
        return;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    V left, right;
    pairwise_split<V>(term, lo, n2, left);
    pairwise_split<V>(term, lo + n2, n - n2, right);
    out = left + right;
}

// Sum of term(0) .. term(n-1). add.reduce starts from the identity, which
// turns an all-negative-zero sum into +0.
template <class V, class F>
QX_INLINE V pairwise_sum(const F& term, std::ptrdiff_t n) {
    V res;
    if (n <= 128) {
        res = pairwise_block<V>(term, 0, n);
    } else {
        pairwise_split<V>(term, 0, n, res);
    }
    return V{} + res;
}

// pairwise_sum of the windows [i, i + n), i in [lo, hi) with hi - lo >= 4,
// of every series of a row-major panel (lanes are series), for
// 8 <= n <= 128, each passed through finish and stored to
// out[i * out_row + c]. Neighbouring windows share pairwise_block's partial
// sums: its accumulator k for window i is the chain x[i + k] + x[i + k + 8]
// + ..., and the first levels of its final tree add chains (and then pairs)
// at fixed distances, so chains, pairs and quads are computed once per date
// and kept in small rings.
template <int W, class T, class Finish>
void pairwise_rows(const T* x, std::ptrdiff_t step, std::ptrdiff_t series, std::ptrdiff_t n, std::ptrdiff_t lo,
                   std::ptrdiff_t hi, T* out, std::ptrdiff_t out_row, const Finish& finish) {
    // Tiles of columns keep the rings and the n input rows in L1; the dates
    // go in runs so the result is written page by page (each freshly
    // allocated page is still cached after the kernel zeroes it), at the
    // cost of restarting the rings per run.
    constexpr std::ptrdiff_t tile = 2048 / sizeof(T);
    constexpr std::ptrdiff_t run = 64;
    T chain[2][tile], pair[3][tile], quad[5][tile];
    const std::ptrdiff_t links = n / 8;
    const std::ptrdiff_t whole = links * 8;
    for (std::ptrdiff_t d0 = lo, d1; d0 < hi; d0 = d1) {
        // A run shorter than 4 windows would also add up pairs and quads
        // that belong to none of its windows (numpy never forms those, and
        // one may be inf + -inf), so the last run takes up any such rest.
        d1 = hi - d0 < run + 4 ? hi : d0 + run;
        for (std::ptrdiff_t c0 = 0; c0 < series; c0 += tile) {
            const std::ptrdiff_t width = c0 + tile < series ? tile : series - c0;
            // u: the newest chain's first date; window i = u - 7 completes.
            for (std::ptrdiff_t u = d0; u < d1 + 7; ++u) {
                const T* row = x + u * step + c0;
                T* cu = chain[u % 2];
                T* cp = chain[(u + 1) % 2];
                T* pu = pair[(u + 2) % 3];  // pair of u - 1
                T* pp = pair[u % 3];        // pair of u - 3
                T* qu = quad[(u + 2) % 5];  // quad of u - 3
                T* qp = quad[(u + 3) % 5];  // quad of u - 7
                const std::ptrdiff_t i = u - 7;
                const int stage = (u >= d0 + 1) + (u >= d0 + 3) + (u >= d0 + 7);
                auto one = [&]<int U>(std::ptrdiff_t c) {
                    using V = vec<T, U>;
                    V cv = load<V>(row + c);
                    for (std::ptrdiff_t m = 1; m < links; ++m) cv += load<V>(row + m * 8 * step + c);
                    std::memcpy(cu + c, &cv, sizeof(V));
                    if (stage < 1) return;
                    const V pv = load<V>(cp + c) + cv;
                    std::memcpy(pu + c, &pv, sizeof(V));
                    if (stage < 2) return;
                    const V qv = load<V>(pp + c) + pv;
                    std::memcpy(qu + c, &qv, sizeof(V));
                    if (stage < 3) return;
                    V res = load<V>(qp + c) + qv;
                    const T* tail = x + i * step + c0 + c;
                    for (std::ptrdiff_t j = whole; j < n; ++j) res += load<V>(tail + j * step);
                    store<U>(out + i * out_row + c0 + c, 1, finish(V{} + res));
                };
                std::ptrdiff_t c = 0;
                for (; c + W <= width; c += W) one.template operator()<W>(c);
                for (; c < width; ++c) one.template operator()<1>(c);
            }
        }
    }
}

// Plain left-to-right accumulation: what numpy does when the reduction axis
// is not the innermost one of the operand's memory layout.
template <class V, class F>
QX_INLINE V sequential_sum(const F& term, std::ptrdiff_t n) {
    V r = term(0);
    for (std::ptrdiff_t i = 1; i < n; ++i) r += term(i);
    return V{} + r;
}

}  // namespace quellix::rolling::core
