// Sort orders of cross-sections and average ranks of any subset of them.
//
// A cross-section is sorted once; the ranks under any mask are then read off
// by walking that order and skipping what the mask leaves out. Ranks are kept
// doubled (2 * rank), which is an integer even for tie averages, so sums of
// rank products are exact.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace quellix::assaycore::core {

using wide_int = __int128;

// Order-preserving unsigned image of a double. -0.0 folds onto +0.0 because the
// two compare equal and must tie.
inline std::uint64_t sort_key(double v) {
    if (v == 0.0) v = 0.0;
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return (u >> 63) ? ~u : (u | (std::uint64_t{1} << 63));
}

struct KeyedEntry {
    std::uint64_t key;
    std::uint64_t position;
};

struct SortScratch {
    std::vector<std::uint64_t> keys, keys_tmp;
    std::vector<KeyedEntry> entries, entries_tmp;
    std::vector<std::uint32_t> hist;
    std::vector<std::pair<std::uint64_t, std::int32_t>> pairs;
};

// Non-NaN entries of one cross-section in ascending order (equal values keep
// their positional order, so results never depend on the sort's whims).
struct SortedSeries {
    std::vector<std::int32_t> order;
    std::vector<std::int32_t> tie_runs;  // [begin, end) pairs of runs of equal values, in order

    void assign(const double* x, std::ptrdiff_t n, SortScratch& s) {
        order.clear();
        tie_runs.clear();
        std::ptrdiff_t m = 0;
        for (std::ptrdiff_t i = 0; i < n; ++i) m += !std::isnan(x[i]);
        const int index_bits = std::max(1, static_cast<int>(std::bit_width(static_cast<std::uint64_t>(n))));
        if (m < 256 || index_bits > 31) {
            s.pairs.clear();
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                if (!std::isnan(x[i])) s.pairs.push_back({sort_key(x[i]), static_cast<std::int32_t>(i)});
            }
            std::sort(s.pairs.begin(), s.pairs.end());
            for (const auto& p : s.pairs) order.push_back(p.second);
            const auto* pairs = s.pairs.data();
            find_ties([pairs](std::size_t j) { return pairs[j].first == pairs[j - 1].first; });
            return;
        }
        if (m >= (1 << 16)) {
            // Long series: values read at random to settle ties would miss the
            // cache, so the full keys travel with the positions.
            const KeyedEntry* sorted = keyed_radix_sort(x, n, m, s);
            order.resize(static_cast<std::size_t>(m));
            for (std::ptrdiff_t j = 0; j < m; ++j) order[j] = static_cast<std::int32_t>(sorted[j].position);
            find_ties([sorted](std::size_t j) { return sorted[j].key == sorted[j - 1].key; });
            return;
        }
        const std::uint64_t* packed = packed_radix_sort(x, n, m, index_bits, s);
        // Equal values share their kept key bits; only then are the values read.
        const std::int32_t* ord = order.data();
        find_ties([packed, ord, x, index_bits](std::size_t j) {
            return (packed[j] >> index_bits) == (packed[j - 1] >> index_bits) && x[ord[j]] == x[ord[j - 1]];
        });
    }

private:
    template <class Same>
    void find_ties(Same&& same_as_previous) {
        const std::size_t len = order.size();
        for (std::size_t j = 1; j < len; ++j) {
            if (!same_as_previous(j)) continue;
            std::size_t e = j + 1;
            while (e < len && same_as_previous(e)) ++e;
            tie_runs.push_back(static_cast<std::int32_t>(j - 1));
            tie_runs.push_back(static_cast<std::int32_t>(e));
            j = e;
        }
    }

    // LSD radix on (key, position) entries, 10-bit digits; digits shared by
    // every key are skipped. Entries start in position order and every pass
    // is stable, so equal keys stay in position order.
    const KeyedEntry* keyed_radix_sort(const double* x, std::ptrdiff_t n, std::ptrdiff_t m, SortScratch& s) {
        constexpr int bits = 10, passes = (64 + bits - 1) / bits;
        constexpr std::size_t buckets = std::size_t{1} << bits;
        constexpr std::uint64_t digit = buckets - 1;
        s.entries.resize(static_cast<std::size_t>(m));
        s.entries_tmp.resize(static_cast<std::size_t>(m));
        KeyedEntry* in = s.entries.data();
        KeyedEntry* out = s.entries_tmp.data();
        s.hist.assign(passes * buckets, 0);
        std::uint32_t* hist = s.hist.data();
        std::ptrdiff_t j = 0;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            if (std::isnan(x[i])) continue;
            const std::uint64_t key = sort_key(x[i]);
            in[j++] = {key, static_cast<std::uint64_t>(i)};
            for (int p = 0; p < passes; ++p) ++hist[p * buckets + ((key >> (p * bits)) & digit)];
        }
        for (int p = 0; p < passes; ++p) {
            std::uint32_t* h = hist + p * buckets;
            const int shift = p * bits;
            if (h[(in[0].key >> shift) & digit] == static_cast<std::uint32_t>(m)) continue;
            std::uint32_t sum = 0;
            for (std::size_t b = 0; b < buckets; ++b) {
                const std::uint32_t c0 = h[b];
                h[b] = sum;
                sum += c0;
            }
            for (std::ptrdiff_t q = 0; q < m; ++q) out[h[(in[q].key >> shift) & digit]++] = in[q];
            std::swap(in, out);
        }
        return in;
    }

    // Each entry is one word: the key's high bits with the position in the
    // freed low bits. Positions start ascending and LSD radix is stable, so
    // entries whose kept key bits agree stay in position order; only such runs
    // with different full keys (values within ~2^-(52 - index_bits) of each
    // other) are re-sorted exactly afterwards.
    const std::uint64_t* packed_radix_sort(const double* x, std::ptrdiff_t n, std::ptrdiff_t m, int index_bits, SortScratch& s) {
        // As few passes of at most 11 bits as cover the kept key bits, split
        // evenly: narrower digits keep the buckets' write positions in L1.
        const int key_bits = 64 - index_bits;
        const int passes = (key_bits + 10) / 11;
        const int bits = (key_bits + passes - 1) / passes;
        const std::size_t buckets = std::size_t{1} << bits;
        const std::uint64_t digit = buckets - 1;
        const std::uint64_t low = (std::uint64_t{1} << index_bits) - 1;
        s.keys.resize(static_cast<std::size_t>(m));
        s.keys_tmp.resize(static_cast<std::size_t>(m));
        std::uint64_t* in = s.keys.data();
        std::uint64_t* out = s.keys_tmp.data();
        s.hist.assign(static_cast<std::size_t>(passes) * buckets, 0);
        std::uint32_t* hist = s.hist.data();
        std::ptrdiff_t j = 0;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            if (std::isnan(x[i])) continue;
            const std::uint64_t word = (sort_key(x[i]) & ~low) | static_cast<std::uint64_t>(i);
            in[j++] = word;
            for (int p = 0; p < passes; ++p) ++hist[p * buckets + ((word >> (index_bits + p * bits)) & digit)];
        }
        for (int p = 0; p < passes; ++p) {
            std::uint32_t* h = hist + p * buckets;
            const int shift = index_bits + p * bits;
            if (h[(in[0] >> shift) & digit] == static_cast<std::uint32_t>(m)) continue;
            std::uint32_t sum = 0;
            for (std::size_t b = 0; b < buckets; ++b) {
                const std::uint32_t c0 = h[b];
                h[b] = sum;
                sum += c0;
            }
            for (std::ptrdiff_t q = 0; q < m; ++q) out[h[(in[q] >> shift) & digit]++] = in[q];
            std::swap(in, out);
        }
        order.resize(static_cast<std::size_t>(m));
        for (std::ptrdiff_t q = 0; q < m; ++q) order[q] = static_cast<std::int32_t>(in[q] & low);
        for (std::ptrdiff_t a = 0; a + 1 < m;) {
            std::ptrdiff_t e = a + 1;
            while (e < m && (in[e] >> index_bits) == (in[a] >> index_bits)) ++e;
            if (e - a > 1) {
                auto by_value = [x](std::int32_t u, std::int32_t v) {
                    const std::uint64_t ku = sort_key(x[u]), kv = sort_key(x[v]);
                    return ku < kv || (ku == kv && u < v);
                };
                if (!std::is_sorted(order.begin() + a, order.begin() + e, by_value)) {
                    std::sort(order.begin() + a, order.begin() + e, by_value);
                }
            }
            a = e;
        }
        return in;
    }
};

// Outcome of a masked walk: how many entries were kept, how many distinct
// values they hold, and the sum of their squared doubled ranks.
struct WalkStats {
    std::int64_t n = 0;
    std::int64_t groups = 0;
    wide_int sum_sq = 0;
};

inline wide_int sum_of_squares(wide_int x) { return x * (x + 1) * (2 * x + 1) / 6; }

// Walks the kept entries (keep[position] != 0) in ascending order. Doubled
// ranks are stored as int32 (series are indexed by int32 anyway), which keeps
// the rank array of a cross-section in L1. With Write,
// out[position] receives the doubled rank (0 where not kept); otherwise the
// walk returns sum(doubled rank * rf[position]), which needs rf to be 0 at
// positions not kept. Runs without ties take a branch-free loop.
template <bool Write, class Acc>
WalkStats walk_ranks_impl(const SortedSeries& s, const std::uint8_t* keep, const std::int32_t* rf, std::int32_t* out,
                          wide_int* dot) {
    const std::int32_t* ord = s.order.data();
    const std::size_t m = s.order.size();
    const std::size_t n_runs = s.tie_runs.size() / 2;
    std::int64_t k = 0, tied_groups = 0, tied_members = 0;
    Acc acc_single = 0, acc_tied = 0, sq_fix = 0;
    std::size_t j = 0;
    for (std::size_t run = 0; run <= n_runs; ++run) {
        const std::size_t stop = run < n_runs ? static_cast<std::size_t>(s.tie_runs[2 * run]) : m;
        for (; j < stop; ++j) {
            const std::int32_t i = ord[j];
            if constexpr (Write) {
                const std::int64_t kk = keep[i] != 0;
                k += kk;
                out[i] = static_cast<std::int32_t>(kk ? 2 * k : 0);
            } else {
                // rf is nonzero exactly on the mask, which spares reading keep.
                const std::int32_t f = rf[i];
                k += f != 0;
                acc_single += static_cast<Acc>(k) * f;
            }
        }
        if (run == n_runs) break;
        const std::size_t end = static_cast<std::size_t>(s.tie_runs[2 * run + 1]);
        std::int64_t c = 0;
        if constexpr (Write) {
            for (std::size_t q = j; q < end; ++q) c += keep[ord[q]] != 0;
            const std::int64_t r2 = 2 * k + c + 1;
            for (std::size_t q = j; q < end; ++q) out[ord[q]] = static_cast<std::int32_t>(keep[ord[q]] ? r2 : 0);
        } else {
            // rf is 0 off the mask, so the run's kept rf sum needs no test.
            std::int64_t rf_sum = 0;
            for (std::size_t q = j; q < end; ++q) {
                const std::int32_t f = rf[ord[q]];
                c += f != 0;
                rf_sum += f;
            }
            acc_tied += static_cast<Acc>(2 * k + c + 1) * rf_sum;
        }
        if (c) {
            // c * (2k + c + 1)^2 replaces the squares of the distinct ranks 2(k+1) .. 2(k+c).
            const Acc kk = k, cc = c, r2 = 2 * kk + cc + 1;
            const Acc distinct = cc * kk * kk + kk * cc * (cc + 1) + cc * (cc + 1) * (2 * cc + 1) / 6;
            ++tied_groups;
            tied_members += c;
            sq_fix += cc * r2 * r2 - 4 * distinct;
        }
        k += c;
        j = end;
    }
    WalkStats st;
    st.n = k;
    st.groups = k - tied_members + tied_groups;
    st.sum_sq = 4 * sum_of_squares(k) + static_cast<wide_int>(sq_fix);
    if (dot) *dot = 2 * static_cast<wide_int>(acc_single) + static_cast<wide_int>(acc_tied);
    return st;
}

// Sums of rank products and squares stay below 2 n^3: int64 holds them up to
// n = 1e6, longer series accumulate in 128 bits.
constexpr std::size_t kNarrowSums = 1000000;

// Doubled ranks of the kept entries into out (0 elsewhere among the series' positions).
inline WalkStats rank_into(const SortedSeries& s, const std::uint8_t* keep, std::int32_t* out) {
    if (s.order.size() < kNarrowSums) return walk_ranks_impl<true, std::int64_t>(s, keep, nullptr, out, nullptr);
    return walk_ranks_impl<true, wide_int>(s, keep, nullptr, out, nullptr);
}

// Sum over kept entries of doubled rank times rf; rf must be 0 exactly where keep is 0
// (doubled ranks are at least 2).
inline WalkStats rank_dot(const SortedSeries& s, const std::uint8_t* keep, const std::int32_t* rf, wide_int& dot) {
    if (s.order.size() < kNarrowSums) return walk_ranks_impl<false, std::int64_t>(s, keep, rf, nullptr, &dot);
    return walk_ranks_impl<false, wide_int>(s, keep, rf, nullptr, &dot);
}

}  // namespace quellix::assaycore::core
