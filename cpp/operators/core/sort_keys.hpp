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

// Order-preserving unsigned image of a double, without branches (signs are
// random in a cross-section, so a branch would mispredict half the time).
// Adding +0.0 folds -0.0 onto +0.0: the two compare equal and must tie.
inline std::uint64_t sort_key(double v) {
    v += 0.0;
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return u ^ ((std::uint64_t{0} - (u >> 63)) | (std::uint64_t{1} << 63));
}

struct SortScratch {
    std::vector<std::uint64_t> keys, full, packed, packed_tmp;
    std::vector<std::int32_t> index;

    void reserve(std::ptrdiff_t n) {
        keys.resize(n);
        full.resize(n);
        packed.resize(n);
        packed_tmp.resize(n);
        index.resize(n);
    }
};

// Fills s.keys / s.index with the m non-NaN entries of x[0..n) in ascending
// order and returns m.
//
// Each entry travels as one word, the high half of its key over its position,
// through three radix passes; entries whose high halves agree (exact ties,
// mostly, or values within about 1e-6 of each other) are then put in order
// by their full keys. That is three passes instead of the eight of a full 64-bit byte radix
// sort, each moving 8 bytes instead of 12.
inline std::ptrdiff_t sort_row(const double* x, std::ptrdiff_t n, SortScratch& s) {
    s.reserve(n);
    std::uint64_t* full = s.full.data();
    std::uint64_t* p = s.packed.data();
    std::ptrdiff_t m = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        // Written unconditionally and kept only for a number: no branch on NaN.
        const std::uint64_t key = sort_key(x[i]);
        full[i] = key;
        p[m] = (key & ~std::uint64_t{0xffffffff}) | static_cast<std::uint64_t>(i);
        m += !std::isnan(x[i]);
    }
    std::uint64_t* pt = s.packed_tmp.data();
    if (m >= 64) {
        // Digits of 11, 11 and 10 bits over the high half.
        constexpr int kShift[3] = {32, 43, 54};
        std::uint32_t hist[3][2048];
        std::memset(hist, 0, sizeof hist);
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            const std::uint64_t w = p[i];
            ++hist[0][(w >> 32) & 2047];
            ++hist[1][(w >> 43) & 2047];
            ++hist[2][w >> 54];
        }
        for (int b = 0; b < 3; ++b) {
            const int shift = kShift[b];
            if (hist[b][(p[0] >> shift) & 2047] == static_cast<std::uint32_t>(m)) continue;
            std::uint32_t* offset = hist[b];
            std::uint32_t total = 0;
            for (int d = 0; d < 2048; ++d) {
                const std::uint32_t count = offset[d];
                offset[d] = total;
                total += count;
            }
            for (std::ptrdiff_t i = 0; i < m; ++i) pt[offset[(p[i] >> shift) & 2047]++] = p[i];
            std::swap(p, pt);
        }
    } else {
        std::sort(p, p + m);
    }
    std::uint64_t* k = s.keys.data();
    std::int32_t* ix = s.index.data();
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        ix[i] = static_cast<std::int32_t>(p[i] & 0xffffffff);
        k[i] = full[ix[i]];
    }
    // Runs sharing the high half are ordered by the full keys.
    std::ptrdiff_t i = 0;
    while (i < m) {
        std::ptrdiff_t j = i + 1;
        const std::uint64_t high = k[i] >> 32;
        while (j < m && (k[j] >> 32) == high) ++j;
        if (j - i > 1) {
            bool ordered = true;
            for (std::ptrdiff_t q = i + 1; q < j && ordered; ++q) ordered = k[q - 1] <= k[q];
            if (!ordered) {
                std::vector<std::pair<std::uint64_t, std::int32_t>> run;
                run.reserve(j - i);
                for (std::ptrdiff_t q = i; q < j; ++q) run.push_back({k[q], ix[q]});
                std::sort(run.begin(), run.end());
                for (std::ptrdiff_t q = i; q < j; ++q) {
                    k[q] = run[q - i].first;
                    ix[q] = run[q - i].second;
                }
            }
        }
        i = j;
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
