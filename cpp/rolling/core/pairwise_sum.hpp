// numpy's pairwise summation (used by add.reduce along a contiguous axis),
// reproduced operation for operation so window sums and means are
// bit-identical to the numpy formulas.
#pragma once

#include <algorithm>
#include <vector>

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

// The recursive form, for trees too large for SumTree (windows of tens of
// thousands of values).
template <class V, class F>
void pairwise_split_deep(const F& term, std::ptrdiff_t lo, std::ptrdiff_t n, V& out) {
    if (n <= 128) {
        out = pairwise_block<V>(term, lo, n);
        return;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    V left, right;
    pairwise_split_deep<V>(term, lo, n2, left);
    pairwise_split_deep<V>(term, lo + n2, n - n2, right);
    out = left + right;
}

// The leaves of numpy's summation tree for a window of n > 128, in order:
// blocks longer than 128 split at half the length rounded down to a multiple
// of 8. `merges[k]` is how many additions of finished subtrees follow leaf k
// (right child onto left child, innermost first). Written without recursion
// so that the callers stay inlined into the instruction-set specific
// kernels: a recursive function would be compiled for the baseline target.
struct SumTree {
    static constexpr int most = 256;  // leaves; longer windows take pairwise_split_deep
    std::ptrdiff_t start[most], length[most];
    int merges[most];
    int leaves = 0;
    bool fits = true;

    explicit SumTree(std::ptrdiff_t n) {
        std::ptrdiff_t todo_start[2 * most], todo_length[2 * most];
        int depth[2 * most];
        todo_start[0] = 0;
        todo_length[0] = n;
        depth[0] = 0;
        int top = 1;
        // Depth-first, left child first; a right child that is a leaf closes
        // every subtree it ends, which is one merge per level it climbs.
        while (top > 0) {
            --top;
            std::ptrdiff_t lo = todo_start[top], len = todo_length[top];
            int d = depth[top];
            while (len > 128) {
                std::ptrdiff_t half = len / 2;
                half -= half % 8;
                if (top >= 2 * most) {
                    fits = false;
                    return;
                }
                todo_start[top] = lo + half;
                todo_length[top] = len - half;
                depth[top] = d + 1;
                ++top;
                len = half;
                ++d;
            }
            if (leaves >= most) {
                fits = false;
                return;
            }
            start[leaves] = lo;
            length[leaves] = len;
            // The leaf completes its ancestors below the parent of the next
            // pending right child (all of them after the last leaf).
            merges[leaves] = d - (top > 0 ? depth[top - 1] : 0);
            ++leaves;
        }
    }
};

// Blocks longer than 128 split at half the length rounded down to a multiple
// of 8; the partial sums wait on a small stack until their sibling is done.
template <class V, class F>
QX_INLINE void pairwise_split(const F& term, std::ptrdiff_t lo, std::ptrdiff_t n, V& out) {
    const SumTree tree(n);
    if (!tree.fits) return pairwise_split_deep<V>(term, lo, n, out);
    V stack[SumTree::most + 1];
    int top = 0;
    for (int k = 0; k < tree.leaves; ++k) {
        stack[top++] = pairwise_block<V>(term, lo + tree.start[k], tree.length[k]);
        for (int m = 0; m < tree.merges[k]; ++m, --top) stack[top - 2] = stack[top - 2] + stack[top - 1];
    }
    out = stack[0];
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

// pairwise_rows for n > 128. numpy's sum of such a window is a tree whose
// leaves are pairwise_blocks of at most 128 values at fixed offsets in the
// window, so each leaf is pairwise_rows of a shifted panel; a run of
// windows' leaf sums goes to scratch and is added up the tree in numpy's
// order. The leaves pass through pairwise_rows' addition of +0, which can
// only turn a -0 leaf into +0: that changes no sum but an all-zero one,
// whose sign the final +0 fixes anyway. False (nothing done) for trees too
// large for SumTree.
template <int W, class T, class Finish>
bool pairwise_tree_rows(const T* x, std::ptrdiff_t step, std::ptrdiff_t series, std::ptrdiff_t n, std::ptrdiff_t lo,
                        std::ptrdiff_t hi, T* out, std::ptrdiff_t out_row, const Finish& finish) {
    const SumTree tree(n);
    if (!tree.fits) return false;
    constexpr std::ptrdiff_t tile = 2048 / sizeof(T);
    constexpr std::ptrdiff_t run = 32;
    int height = 0;
    for (int k = 0, top = 0; k < tree.leaves; ++k) {
        height = std::max(height, ++top);
        top -= tree.merges[k];
    }
    std::vector<T> scratch(static_cast<std::size_t>(height * (run + 4) * tile));
    auto buffer = [&](int level) { return scratch.data() + level * (run + 4) * tile; };
    auto same = [](const auto& v) { return v; };
    for (std::ptrdiff_t d0 = lo, d1; d0 < hi; d0 = d1) {
        d1 = hi - d0 < run + 4 ? hi : d0 + run;  // pairwise_rows needs at least 4 windows
        const std::ptrdiff_t rows = d1 - d0;
        for (std::ptrdiff_t c0 = 0; c0 < series; c0 += tile) {
            const std::ptrdiff_t width = c0 + tile < series ? tile : series - c0;
            int top = 0;
            for (int k = 0; k < tree.leaves; ++k) {
                pairwise_rows<W>(x + (d0 + tree.start[k]) * step + c0, step, width, tree.length[k], 0, rows,
                                 buffer(top++), tile, same);
                for (int m = 0; m < tree.merges[k]; ++m, --top) {
                    T* left = buffer(top - 2);
                    const T* right = buffer(top - 1);
                    for (std::ptrdiff_t r = 0; r < rows; ++r) {
                        for (std::ptrdiff_t c = 0; c < width; ++c) left[r * tile + c] += right[r * tile + c];
                    }
                }
            }
            for (std::ptrdiff_t r = 0; r < rows; ++r) {
                const T* t = buffer(0) + r * tile;
                T* o = out + (d0 + r) * out_row + c0;
                std::ptrdiff_t c = 0;
                for (; c + W <= width; c += W) store<W>(o + c, 1, finish(vec<T, W>{} + load<vec<T, W>>(t + c)));
                for (; c < width; ++c) store<1>(o + c, 1, finish(vec<T, 1>{} + load<vec<T, 1>>(t + c)));
            }
        }
    }
    return true;
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
