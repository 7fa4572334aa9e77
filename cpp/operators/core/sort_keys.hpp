// Ascending order of one row's non-NaN values, ties kept in positional order.
//
// Ranks are taken within every date of a whole market, thousands of rows per
// node, so the sort is a radix sort on order-preserving integer images of the
// doubles: no comparisons, and byte passes on which all keys agree are skipped.
#pragma once

#include <algorithm>
#include <bit>
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
    std::vector<std::uint32_t> run_counts;

    std::uint32_t* counts(std::size_t n) {
        if (run_counts.size() < n) run_counts.resize(n);
        return run_counts.data();
    }

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
// through two or three radix passes; entries whose high halves agree (exact ties,
// mostly, or values within about 1e-6 of each other) are then put in order
// by their full keys. That is at most three passes instead of the eight of a full 64-bit
// byte radix sort, each moving 8 bytes instead of 12.
inline std::ptrdiff_t sort_row(const double* x, std::ptrdiff_t n, SortScratch& s) {
    s.reserve(n);
    std::uint64_t* full = s.full.data();
    std::uint64_t* p = s.packed.data();
    std::ptrdiff_t m = 0;
    std::uint32_t low = 0xffffffff, high = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i) {  // vectorised: no dependence between entries
        const std::uint64_t key = sort_key(x[i]);
        full[i] = key;
        const bool number = !std::isnan(x[i]);
        const auto top = static_cast<std::uint32_t>(key >> 32);
        low = std::min(low, number ? top : 0xffffffffu);
        high = std::max(high, number ? top : 0u);
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        // Written unconditionally and kept only for a number: no branch on NaN.
        p[m] = (full[i] & ~std::uint64_t{0xffffffff}) | static_cast<std::uint64_t>(i);
        m += !std::isnan(x[i]);
    }
    std::uint64_t* pt = s.packed_tmp.data();
    if (m >= 64) {
        // The digits cover only the bits in which the high halves differ from
        // the row's smallest: prices, volumes or ranks of one row span a few
        // binary orders of magnitude, two passes of at most 12 bits; values of
        // both signs take three of 11.
        const int bits = std::bit_width(high - low);
        const int passes = bits <= 24 ? (bits + 11) / 12 : 3;
        const int width = passes == 3 ? 11 : passes ? (bits + passes - 1) / passes : 0;
        const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
        std::uint32_t hist[3][4096];
        for (int b = 0; b < passes; ++b) std::memset(hist[b], 0, sizeof(std::uint32_t) << width);
        if (passes == 3) {
            for (std::ptrdiff_t i = 0; i < m; ++i) {
                const std::uint64_t w = p[i];
                ++hist[0][(w >> 32) & 2047];
                ++hist[1][(w >> 43) & 2047];
                ++hist[2][w >> 54];
            }
        } else {
            const std::uint64_t offset = static_cast<std::uint64_t>(low) << 32;
            for (std::ptrdiff_t i = 0; i < m; ++i) {
                const std::uint64_t w = (p[i] -= offset) >> 32;
                ++hist[0][w & mask];
                if (passes == 2) ++hist[1][(w >> width) & mask];
            }
        }
        for (int b = 0; b < passes; ++b) {
            const int shift = 32 + b * width;
            std::uint32_t* start = hist[b];
            std::uint32_t total = 0;
            for (std::uint64_t d = 0; d <= mask; ++d) {
                const std::uint32_t count = start[d];
                start[d] = total;
                total += count;
            }
            for (std::ptrdiff_t i = 0; i < m; ++i) pt[start[(p[i] >> shift) & mask]++] = p[i];
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
                // The run shares its high half: its entries travel as the low half over the
                // position, so one integer comparison orders by key and then by position.
                // Differences of prices quoted in cents make such runs of near-ties common.
                std::uint64_t* w = s.packed_tmp.data();
                const std::ptrdiff_t len = j - i;
                std::uint32_t low = 0xffffffff, top = 0;
                for (std::ptrdiff_t q = 0; q < len; ++q) {
                    const auto lo = static_cast<std::uint32_t>(k[i + q]);
                    low = std::min(low, lo);
                    top = std::max(top, lo);
                }
                const std::uint64_t span = std::uint64_t{top} - low + 1;
                if (len > 16 && span <= 4 * static_cast<std::uint64_t>(len)) {
                    // Near-ties a few ulps apart: one counting pass over the offsets, stable,
                    // so equal keys keep their positional order.
                    std::uint32_t* count = s.counts(span + 1);
                    std::fill(count, count + span + 1, 0u);
                    for (std::ptrdiff_t q = 0; q < len; ++q) ++count[static_cast<std::uint32_t>(k[i + q]) - low + 1];
                    for (std::uint64_t d = 1; d <= span; ++d) count[d] += count[d - 1];
                    for (std::ptrdiff_t q = 0; q < len; ++q) {
                        const auto lo = static_cast<std::uint32_t>(k[i + q]);
                        w[count[lo - low]++] = (std::uint64_t{lo} << 32) | static_cast<std::uint32_t>(ix[i + q]);
                    }
                } else {
                    for (std::ptrdiff_t q = 0; q < len; ++q) {
                        w[q] = (k[i + q] << 32) | static_cast<std::uint32_t>(ix[i + q]);
                    }
                    if (len <= 24) {
                        for (std::ptrdiff_t q = 1; q < len; ++q) {
                            const std::uint64_t v = w[q];
                            std::ptrdiff_t r = q;
                            for (; r > 0 && w[r - 1] > v; --r) w[r] = w[r - 1];
                            w[r] = v;
                        }
                    } else {
                        std::sort(w, w + len);
                    }
                }
                for (std::ptrdiff_t q = 0; q < len; ++q) {
                    k[i + q] = (high << 32) | (w[q] >> 32);
                    ix[i + q] = static_cast<std::int32_t>(w[q] & 0xffffffff);
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
