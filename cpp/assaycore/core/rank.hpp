// Sort orders of cross-sections and average ranks of any subset of them.
//
// A cross-section is sorted once; the ranks under any mask are then read off
// by walking that order and skipping what the mask leaves out. Ranks are kept
// doubled (2 * rank), which is an integer even for tie averages, so sums of
// rank products are exact.
#pragma once

#include <algorithm>
#include <array>
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

struct SortScratch {
    std::vector<std::uint64_t> keys, keys_tmp;
    std::vector<std::int32_t> idx_tmp;
    std::vector<std::pair<std::uint64_t, std::int32_t>> pairs;
};

// Non-NaN entries of one cross-section in ascending order (equal values keep
// their positional order, so results never depend on the sort's whims).
struct SortedSeries {
    std::vector<std::int32_t> order;
    std::vector<double> values;
    std::vector<std::int32_t> tie_runs;  // [begin, end) pairs of runs of equal values, in order

    void assign(const double* x, std::ptrdiff_t n, SortScratch& s) {
        order.clear();
        s.keys.clear();
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            if (std::isnan(x[i])) continue;
            order.push_back(static_cast<std::int32_t>(i));
            s.keys.push_back(sort_key(x[i]));
        }
        const std::size_t m = order.size();
        if (m < 256) {
            s.pairs.resize(m);
            for (std::size_t j = 0; j < m; ++j) s.pairs[j] = {s.keys[j], order[j]};
            std::sort(s.pairs.begin(), s.pairs.end());
            for (std::size_t j = 0; j < m; ++j) order[j] = s.pairs[j].second;
        } else {
            radix_sort(s);
        }
        values.resize(m);
        tie_runs.clear();
        for (std::size_t j = 0; j < m; ++j) values[j] = x[order[j]];
        for (std::size_t j = 1; j < m; ++j) {
            if (values[j] != values[j - 1]) continue;
            std::size_t e = j + 1;
            while (e < m && values[e] == values[j]) ++e;
            tie_runs.push_back(static_cast<std::int32_t>(j - 1));
            tie_runs.push_back(static_cast<std::int32_t>(e));
            j = e;
        }
    }

private:
    // LSD radix on bytes; bytes shared by every key are skipped.
    void radix_sort(SortScratch& s) {
        constexpr int bits = 8, passes = 8, buckets = 1 << bits;
        const std::size_t m = order.size();
        std::array<std::array<std::uint32_t, buckets>, passes> hist{};
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint64_t k = s.keys[j];
            for (int p = 0; p < passes; ++p) ++hist[p][(k >> (p * bits)) & (buckets - 1)];
        }
        s.keys_tmp.resize(m);
        s.idx_tmp.resize(m);
        std::uint64_t* kin = s.keys.data();
        std::uint64_t* kout = s.keys_tmp.data();
        std::int32_t* iin = order.data();
        std::int32_t* iout = s.idx_tmp.data();
        for (int p = 0; p < passes; ++p) {
            auto& h = hist[p];
            const int shift = p * bits;
            if (h[(kin[0] >> shift) & (buckets - 1)] == m) continue;
            std::uint32_t sum = 0;
            for (auto& c : h) {
                const std::uint32_t c0 = c;
                c = sum;
                sum += c0;
            }
            for (std::size_t j = 0; j < m; ++j) {
                const std::uint32_t pos = h[(kin[j] >> shift) & (buckets - 1)]++;
                kout[pos] = kin[j];
                iout[pos] = iin[j];
            }
            std::swap(kin, kout);
            std::swap(iin, iout);
        }
        if (iin != order.data()) std::copy(iin, iin + m, order.data());
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

// Walks the kept entries (keep[position] != 0) in ascending order. With Write,
// out[position] receives the doubled rank (0 where not kept); otherwise the
// walk returns sum(doubled rank * rf[position]), which needs rf to be 0 at
// positions not kept. Runs without ties take a branch-free loop.
template <bool Write, class Acc>
WalkStats walk_ranks_impl(const SortedSeries& s, const std::uint8_t* keep, const std::int64_t* rf, std::int64_t* out,
                          wide_int* dot) {
    const std::int32_t* ord = s.order.data();
    const std::size_t m = s.order.size();
    const std::size_t n_runs = s.tie_runs.size() / 2;
    std::int64_t k = 0, tied_groups = 0, tied_members = 0;
    Acc acc_single = 0;
    wide_int acc_tied = 0, sq_fix = 0;
    std::size_t j = 0;
    for (std::size_t run = 0; run <= n_runs; ++run) {
        const std::size_t stop = run < n_runs ? static_cast<std::size_t>(s.tie_runs[2 * run]) : m;
        for (; j < stop; ++j) {
            const std::int32_t i = ord[j];
            const std::int64_t kk = keep[i] != 0;
            k += kk;
            if constexpr (Write) {
                out[i] = kk ? 2 * k : 0;
            } else {
                acc_single += static_cast<Acc>(k) * rf[i];
            }
        }
        if (run == n_runs) break;
        const std::size_t end = static_cast<std::size_t>(s.tie_runs[2 * run + 1]);
        std::int64_t c = 0;
        for (std::size_t q = j; q < end; ++q) c += keep[ord[q]] != 0;
        const std::int64_t r2 = 2 * k + c + 1;
        for (std::size_t q = j; q < end; ++q) {
            const std::int32_t i = ord[q];
            if constexpr (Write) {
                out[i] = keep[i] ? r2 : 0;
            } else {
                if (keep[i]) acc_tied += static_cast<wide_int>(r2) * rf[i];
            }
        }
        if (c) {
            ++tied_groups;
            tied_members += c;
            sq_fix += static_cast<wide_int>(c) * r2 * r2 - 4 * (sum_of_squares(k + c) - sum_of_squares(k));
        }
        k += c;
        j = end;
    }
    WalkStats st;
    st.n = k;
    st.groups = k - tied_members + tied_groups;
    st.sum_sq = 4 * sum_of_squares(k) + sq_fix;
    if (dot) *dot = 2 * static_cast<wide_int>(acc_single) + acc_tied;
    return st;
}

// Doubled ranks of the kept entries into out (0 elsewhere among the series' positions).
inline WalkStats rank_into(const SortedSeries& s, const std::uint8_t* keep, std::int64_t* out) {
    return walk_ranks_impl<true, std::int64_t>(s, keep, nullptr, out, nullptr);
}

// Sum over kept entries of doubled rank times rf; rf must be 0 where keep is 0.
inline WalkStats rank_dot(const SortedSeries& s, const std::uint8_t* keep, const std::int64_t* rf, wide_int& dot) {
    // k * rf summed over n entries stays below 2 n^3, within int64 up to n = 1.6e6.
    if (s.order.size() < 1000000) return walk_ranks_impl<false, std::int64_t>(s, keep, rf, nullptr, &dot);
    return walk_ranks_impl<false, wide_int>(s, keep, rf, nullptr, &dot);
}

}  // namespace quellix::assaycore::core
