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

// Plain left-to-right accumulation: what numpy does when the reduction axis
// is not the innermost one of the operand's memory layout.
template <class V, class F>
QX_INLINE V sequential_sum(const F& term, std::ptrdiff_t n) {
    V r = term(0);
    for (std::ptrdiff_t i = 1; i < n; ++i) r += term(i);
    return V{} + r;
}

}  // namespace quellix::rolling::core
