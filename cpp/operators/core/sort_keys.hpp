// Ascending order of one row's non-NaN values, ties kept in positional order.
//
// Ranks are taken within every date of a whole market, thousands of rows per
// node, so the sort is a radix sort on order-preserving integer images of the
// doubles: no comparisons, and byte passes on which all keys agree are skipped.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace quellix::operators::core {

// -0.0 folds onto +0.0 because the two compare equal and must tie.
inline std::uint64_t sort_key(double v) {
    if (v == 0.0) v = 0.0;
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return (u >> 63) ? ~u : (u | (std::uint64_t{1} << 63));
}

struct SortScratch {
    std::vector<std::uint64_t> keys, keys_tmp;
    std::vector<std::int32_t> index, index_tmp;

    void reserve(std::ptrdiff_t n) {
        keys.resize(n);
        keys_tmp.resize(n);
        index.resize(n);
        index_tmp.resize(n);
    }
};

// Fills s.keys / s.index with the m non-NaN entries of x[0..n) (stride 1) in
// ascending order and returns m.
inline std::ptrdiff_t sort_row(const double* x, std::ptrdiff_t n, SortScratch& s) {
    s.reserve(n);
    std::uint64_t* k = s.keys.data();
    std::int32_t* ix = s.index.data();
    std::ptrdiff_t m = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        if (!std::isnan(x[i])) {
            k[m] = sort_key(x[i]);
            ix[m] = static_cast<std::int32_t>(i);
            ++m;
        }
    }
    if (m < 128) {
        // Small rows: an insertion sort beats eight histogram passes.
        for (std::ptrdiff_t i = 1; i < m; ++i) {
            const std::uint64_t key = k[i];
            const std::int32_t pos = ix[i];
            std::ptrdiff_t j = i;
            for (; j > 0 && k[j - 1] > key; --j) {
                k[j] = k[j - 1];
                ix[j] = ix[j - 1];
            }
            k[j] = key;
            ix[j] = pos;
        }
        return m;
    }
    std::uint32_t hist[8][256];
    std::memset(hist, 0, sizeof hist);
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const std::uint64_t key = k[i];
        for (int b = 0; b < 8; ++b) ++hist[b][(key >> (8 * b)) & 255];
    }
    std::uint64_t* kt = s.keys_tmp.data();
    std::int32_t* it = s.index_tmp.data();
    for (int b = 0; b < 8; ++b) {
        const int shift = 8 * b;
        if (hist[b][(k[0] >> shift) & 255] == static_cast<std::uint32_t>(m)) continue;
        std::uint32_t offset[256];
        std::uint32_t total = 0;
        for (int d = 0; d < 256; ++d) {
            offset[d] = total;
            total += hist[b][d];
        }
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const std::uint32_t dst = offset[(k[i] >> shift) & 255]++;
            kt[dst] = k[i];
            it[dst] = ix[i];
        }
        std::swap(k, kt);
        std::swap(ix, it);
    }
    if (k != s.keys.data()) {
        std::copy(k, k + m, s.keys.data());
        std::copy(ix, ix + m, s.index.data());
    }
    return m;
}

// Average 1-based ranks of the sorted keys[0..m), divided by m, written to
// out[index[i]]: equal keys share the mean of the positions they span.
inline void write_pct_ranks(const std::uint64_t* keys, const std::int32_t* index, std::ptrdiff_t m, double* out) {
    const double count = static_cast<double>(m);
    std::ptrdiff_t i = 0;
    while (i < m) {
        std::ptrdiff_t j = i + 1;
        while (j < m && keys[j] == keys[i]) ++j;
        // (i + 1 + j) / 2 is a half-integer, exact in a double: the same number
        // as summing the spanned ranks and dividing by their count.
        const double rank = static_cast<double>(i + 1 + j) * 0.5 / count;
        for (std::ptrdiff_t p = i; p < j; ++p) out[index[p]] = rank;
        i = j;
    }
}

}  // namespace quellix::operators::core
