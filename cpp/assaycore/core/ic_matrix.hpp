// Information coefficients of many cross-sections at once: per date against
// the returns of the same and later dates (IC and its decay).
#pragma once

#include "assaycore/core/correlation.hpp"
#include "assaycore/core/rank.hpp"
#include "common/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quellix::assaycore::core {

using quellix::run_split;
using quellix::thread_count;

struct FactorRanks {
    std::vector<std::int32_t> r2;  // doubled rank per position, 0 where the mask is not set
    WalkStats stats;

    void compute(const SortedSeries& f, const std::uint8_t* keep, std::size_t n_positions) {
        r2.assign(n_positions, 0);
        stats = rank_into(f, keep, r2.data());
    }
};

inline CorrCell rank_cell(const FactorRanks& f, const SortedSeries& y, const std::uint8_t* keep) {
    wide_int sum = 0;
    const WalkStats ys = rank_dot(y, keep, f.r2.data(), sum);
    return spearman_from_sums(ys.n, sum, f.stats, ys);
}

struct Workspace {
    SortScratch sort;
    SortedSeries factor;
    FactorRanks full, masked;
    std::vector<std::uint8_t> valid_f, keep;
    std::vector<double> ybuf, xbuf, pearson_scratch;
};

// IC of the factor on date t against the returns of date t + d, d = 1..D-1, on
// the instruments whose factor on t and every return series on t + d are
// present. Matrices are T x N, row-major. Output cells are laid out
// [t][d-1][k]; a cell's n of 0 means the pair (t, d) has no rows at all.
// With lag0 given, the same pass also fills lag0[t][k], the IC of date t with
// each return series paired separately (the per-date IC), reusing the sorts.
inline void decay_ic(const double* f, const std::vector<const double*>& r, std::ptrdiff_t T, std::ptrdiff_t N,
                     std::ptrdiff_t D, bool rank, CorrCell* out, CorrCell* lag0 = nullptr) {
    const std::ptrdiff_t K = static_cast<std::ptrdiff_t>(r.size());
    const std::ptrdiff_t L = std::max<std::ptrdiff_t>(D - 1, 0);
    const std::ptrdiff_t slots = L + 1;
    if (T <= 0 || (L == 0 && !lag0)) return;
    run_split(T, T * N * (L + 1) * K / 8, [&](std::ptrdiff_t t0, std::ptrdiff_t t1) {
        Workspace ws;
        // Date s's sorted return series and all-present flags live in slot
        // s % slots, filled once and reused by every lag that reaches s.
        std::vector<std::vector<SortedSeries>> ring(slots, std::vector<SortedSeries>(K));
        std::vector<std::vector<std::uint8_t>> all_valid(slots, std::vector<std::uint8_t>(N));
        std::vector<std::ptrdiff_t> slot_date(slots, -1);
        ws.valid_f.resize(N);
        ws.keep.resize(N);
        auto load = [&](std::ptrdiff_t s) {
            const std::ptrdiff_t slot = s % slots;
            if (slot_date[slot] == s) return;
            auto& av = all_valid[slot];
            std::fill(av.begin(), av.end(), 1);
            for (std::ptrdiff_t k = 0; k < K; ++k) {
                const double* y = r[k] + s * N;
                for (std::ptrdiff_t i = 0; i < N; ++i) av[i] &= !std::isnan(y[i]);
                if (rank) ring[slot][k].assign(y, N, ws.sort);
            }
            slot_date[slot] = s;
        };
        auto pearson_cell = [&](const double* ft, const double* y, std::int64_t cnt) {
            ws.xbuf.clear();
            ws.ybuf.clear();
            for (std::ptrdiff_t i = 0; i < N; ++i) {
                if (ws.keep[i]) {
                    ws.xbuf.push_back(ft[i]);
                    ws.ybuf.push_back(y[i]);
                }
            }
            return pearson(ws.ybuf.data(), ws.xbuf.data(), cnt, ws.pearson_scratch);
        };
        for (std::ptrdiff_t t = t0; t < t1; ++t) {
            const double* ft = f + t * N;
            std::int64_t n_f = 0;
            for (std::ptrdiff_t i = 0; i < N; ++i) n_f += ws.valid_f[i] = !std::isnan(ft[i]);
            bool factor_sorted = false;
            auto factor_ranks = [&](std::int64_t cnt) -> const FactorRanks& {
                if (!factor_sorted) {
                    ws.factor.assign(ft, N, ws.sort);
                    ws.full.compute(ws.factor, ws.valid_f.data(), N);
                    factor_sorted = true;
                }
                if (cnt == n_f) return ws.full;
                ws.masked.compute(ws.factor, ws.keep.data(), N);
                return ws.masked;
            };
            if (lag0) {
                CorrCell* cells = lag0 + t * K;
                if (rank) load(t);
                for (std::ptrdiff_t k = 0; k < K; ++k) {
                    const double* y = r[k] + t * N;
                    std::int64_t cnt = 0;
                    for (std::ptrdiff_t i = 0; i < N; ++i) cnt += ws.keep[i] = ws.valid_f[i] && !std::isnan(y[i]);
                    if (cnt < 2) {
                        cells[k] = CorrCell{0.0, 0.0, cnt};
                    } else if (rank) {
                        cells[k] = rank_cell(factor_ranks(cnt), ring[t % slots][k], ws.keep.data());
                    } else {
                        cells[k] = pearson_cell(ft, y, cnt);
                    }
                }
            }
            for (std::ptrdiff_t d = 1; d <= L; ++d) {
                CorrCell* cells = out + (t * L + d - 1) * K;
                const std::ptrdiff_t s = t + d;
                if (s >= T || n_f == 0) {
                    for (std::ptrdiff_t k = 0; k < K; ++k) cells[k] = CorrCell{};
                    continue;
                }
                load(s);
                const auto& av = all_valid[s % slots];
                std::int64_t cnt = 0;
                for (std::ptrdiff_t i = 0; i < N; ++i) cnt += ws.keep[i] = ws.valid_f[i] & av[i];
                if (cnt < 2) {
                    for (std::ptrdiff_t k = 0; k < K; ++k) cells[k] = CorrCell{0.0, 0.0, cnt};
                    continue;
                }
                if (rank) {
                    const FactorRanks& fr = factor_ranks(cnt);
                    for (std::ptrdiff_t k = 0; k < K; ++k) cells[k] = rank_cell(fr, ring[s % slots][k], ws.keep.data());
                } else {
                    for (std::ptrdiff_t k = 0; k < K; ++k) cells[k] = pearson_cell(ft, r[k] + s * N, cnt);
                }
            }
        }
    });
}

}  // namespace quellix::assaycore::core
