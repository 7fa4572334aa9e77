// Information coefficients of many cross-sections at once: per group of rows
// (a date, or an industry pooled over dates) and per date against the returns
// of later dates (IC decay).
#pragma once

#include "assaycore/core/correlation.hpp"
#include "assaycore/core/rank.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace quellix::assaycore::core {

// Each task writes only its own outputs, so results do not depend on how
// tasks are shared between threads.
inline void run_split(std::ptrdiff_t n_tasks, std::ptrdiff_t work, const std::function<void(std::ptrdiff_t, std::ptrdiff_t)>& body) {
    const unsigned hw = std::max(1u, std::thread::hardware_concurrency());
    const std::ptrdiff_t threads = (work < 200000 || n_tasks < 2) ? 1 : std::min<std::ptrdiff_t>({2, hw, n_tasks});
    if (threads == 1) {
        body(0, n_tasks);
        return;
    }
    std::exception_ptr error;
    std::thread helper([&] {
        try {
            body(n_tasks / 2, n_tasks);
        } catch (...) {
            error = std::current_exception();
        }
    });
    try {
        body(0, n_tasks / 2);
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (error) std::rethrow_exception(error);
}

struct FactorRanks {
    std::vector<std::int64_t> r2;  // doubled rank per position, 0 where the mask is not set
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
    std::vector<SortedSeries> returns;
    FactorRanks full, masked;
    std::vector<std::uint8_t> valid_f, keep;
    std::vector<double> fbuf, ybuf, xbuf, pearson_scratch;
    std::vector<std::vector<double>> rbuf;
};

// IC of one cross-section of n rows per return series, each return series
// paired with the factor on the rows where both are present.
inline void cross_section_ic(const double* f, const std::vector<const double*>& r, std::ptrdiff_t n, bool rank,
                             Workspace& ws, CorrCell* out) {
    const std::size_t K = r.size();
    ws.valid_f.resize(n);
    ws.keep.resize(n);
    std::int64_t n_f = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i) n_f += ws.valid_f[i] = !std::isnan(f[i]);
    if (rank) {
        ws.factor.assign(f, n, ws.sort);
        ws.full.compute(ws.factor, ws.valid_f.data(), n);
        ws.returns.resize(1);
    }
    for (std::size_t k = 0; k < K; ++k) {
        const double* y = r[k];
        std::int64_t cnt = 0;
        for (std::ptrdiff_t i = 0; i < n; ++i) cnt += ws.keep[i] = ws.valid_f[i] && !std::isnan(y[i]);
        if (cnt < 2) {
            out[k] = CorrCell{0.0, 0.0, cnt};
            continue;
        }
        if (rank) {
            ws.returns[0].assign(y, n, ws.sort);
            const FactorRanks* fr = &ws.full;
            if (cnt != n_f) {
                ws.masked.compute(ws.factor, ws.keep.data(), n);
                fr = &ws.masked;
            }
            out[k] = rank_cell(*fr, ws.returns[0], ws.keep.data());
        } else {
            ws.xbuf.clear();
            ws.ybuf.clear();
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                if (ws.keep[i]) {
                    ws.xbuf.push_back(f[i]);
                    ws.ybuf.push_back(y[i]);
                }
            }
            out[k] = pearson(ws.ybuf.data(), ws.xbuf.data(), cnt, ws.pearson_scratch);
        }
    }
}

// Groups of rows of a long table: group g holds rows[offsets[g] .. offsets[g+1]),
// or the contiguous rows offsets[g] .. offsets[g+1] when rows is null.
// Output: G x K cells.
inline void grouped_ic(const double* f, const std::vector<const double*>& r, const std::int64_t* rows,
                       const std::vector<std::int64_t>& offsets, bool rank, CorrCell* out) {
    const std::ptrdiff_t G = static_cast<std::ptrdiff_t>(offsets.size()) - 1;
    const std::size_t K = r.size();
    if (G <= 0) return;
    run_split(G, offsets.back() * static_cast<std::ptrdiff_t>(K + 1), [&](std::ptrdiff_t g0, std::ptrdiff_t g1) {
        Workspace ws;
        ws.rbuf.resize(K);
        std::vector<const double*> rp(K);
        for (std::ptrdiff_t g = g0; g < g1; ++g) {
            const std::int64_t b = offsets[g], n = offsets[g + 1] - b;
            const double* fp = f + b;
            for (std::size_t k = 0; k < K; ++k) rp[k] = r[k] + b;
            if (rows) {
                ws.fbuf.resize(n);
                for (std::int64_t j = 0; j < n; ++j) ws.fbuf[j] = f[rows[b + j]];
                fp = ws.fbuf.data();
                for (std::size_t k = 0; k < K; ++k) {
                    ws.rbuf[k].resize(n);
                    for (std::int64_t j = 0; j < n; ++j) ws.rbuf[k][j] = r[k][rows[b + j]];
                    rp[k] = ws.rbuf[k].data();
                }
            }
            cross_section_ic(fp, rp, n, rank, ws, out + g * K);
        }
    });
}

// IC of the factor on date t against the returns of date t + d, d = 1..D-1, on
// the instruments whose factor on t and every return series on t + d are
// present. Matrices are T x N, row-major. Output cells are laid out
// [t][d-1][k]; a cell's n of 0 means the pair (t, d) has no rows at all.
inline void decay_ic(const double* f, const std::vector<const double*>& r, std::ptrdiff_t T, std::ptrdiff_t N,
                     std::ptrdiff_t D, bool rank, CorrCell* out) {
    const std::ptrdiff_t K = static_cast<std::ptrdiff_t>(r.size());
    const std::ptrdiff_t L = D - 1;
    if (L <= 0 || T <= 1) return;
    run_split(T, T * N * L * K / 8, [&](std::ptrdiff_t t0, std::ptrdiff_t t1) {
        Workspace ws;
        // Date s's sorted return series and all-present flags live in slot s % D,
        // filled once and reused by every lag that reaches s.
        std::vector<std::vector<SortedSeries>> ring(D, std::vector<SortedSeries>(K));
        std::vector<std::vector<std::uint8_t>> all_valid(D, std::vector<std::uint8_t>(N));
        std::vector<std::ptrdiff_t> slot_date(D, -1);
        ws.valid_f.resize(N);
        ws.keep.resize(N);
        auto load = [&](std::ptrdiff_t s) {
            const std::ptrdiff_t slot = s % D;
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
        for (std::ptrdiff_t t = t0; t < t1; ++t) {
            const double* ft = f + t * N;
            std::int64_t n_f = 0;
            for (std::ptrdiff_t i = 0; i < N; ++i) n_f += ws.valid_f[i] = !std::isnan(ft[i]);
            bool factor_sorted = false;
            for (std::ptrdiff_t d = 1; d <= L; ++d) {
                CorrCell* cells = out + (t * L + d - 1) * K;
                const std::ptrdiff_t s = t + d;
                if (s >= T || n_f == 0) {
                    for (std::ptrdiff_t k = 0; k < K; ++k) cells[k] = CorrCell{};
                    continue;
                }
                load(s);
                const auto& av = all_valid[s % D];
                std::int64_t cnt = 0;
                for (std::ptrdiff_t i = 0; i < N; ++i) cnt += ws.keep[i] = ws.valid_f[i] & av[i];
                if (cnt < 2) {
                    for (std::ptrdiff_t k = 0; k < K; ++k) cells[k] = CorrCell{0.0, 0.0, cnt};
                    continue;
                }
                if (rank) {
                    if (!factor_sorted) {
                        ws.factor.assign(ft, N, ws.sort);
                        ws.full.compute(ws.factor, ws.valid_f.data(), N);
                        factor_sorted = true;
                    }
                    const FactorRanks* fr = &ws.full;
                    if (cnt != n_f) {
                        ws.masked.compute(ws.factor, ws.keep.data(), N);
                        fr = &ws.masked;
                    }
                    for (std::ptrdiff_t k = 0; k < K; ++k) cells[k] = rank_cell(*fr, ring[s % D][k], ws.keep.data());
                } else {
                    ws.xbuf.clear();
                    for (std::ptrdiff_t i = 0; i < N; ++i) {
                        if (ws.keep[i]) ws.xbuf.push_back(ft[i]);
                    }
                    for (std::ptrdiff_t k = 0; k < K; ++k) {
                        const double* y = r[k] + s * N;
                        ws.ybuf.clear();
                        for (std::ptrdiff_t i = 0; i < N; ++i) {
                            if (ws.keep[i]) ws.ybuf.push_back(y[i]);
                        }
                        cells[k] = pearson(ws.ybuf.data(), ws.xbuf.data(), cnt, ws.pearson_scratch);
                    }
                }
            }
        }
    });
}

}  // namespace quellix::assaycore::core
