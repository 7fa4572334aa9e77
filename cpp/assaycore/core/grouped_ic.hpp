// IC of groups of rows of a long table (a date, or an industry pooled over
// all dates), one correlation per group and return series.
//
// A group's rows lie scattered over the whole table: reading them group by
// group would pull nearly every cache line of every column once per group.
// Instead each column is sorted into groups in one sequential pass, one column
// at a time, so the copies held at once stay at one or two columns.
#pragma once

#include "assaycore/core/correlation.hpp"
#include "assaycore/core/ic_matrix.hpp"
#include "assaycore/core/rank.hpp"
#include "assaycore/core/scratch.hpp"
#include "common/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quellix::assaycore::core {

// Where each group's rows go when a column is sorted into groups: group g
// takes [begin(g), begin(g) + size(g)), its rows in table order.
class RowGroups {
public:
    // codes[i]: group of row i in 0..G-1, or -1 for a row in no group.
    RowGroups(const std::int64_t* codes, std::int64_t n_rows, std::int64_t G)
        : codes_(codes), n_rows_(n_rows), workers_(quellix::thread_count(2, n_rows)) {
        offsets_.assign(static_cast<std::size_t>(G + 1), 0);
        starts_.assign(static_cast<std::size_t>(workers_ * G), 0);
        // Worker w's rows of group g follow those of the workers before it.
        for (std::ptrdiff_t w = 0; w < workers_; ++w) {
            std::int64_t* count = starts_.data() + w * G;
            for (std::int64_t i = first_row(w); i < first_row(w + 1); ++i) {
                if (codes[i] >= 0) ++count[codes[i]];
            }
        }
        for (std::int64_t g = 0; g < G; ++g) {
            std::int64_t at = offsets_[g];
            for (std::ptrdiff_t w = 0; w < workers_; ++w) {
                const std::int64_t c = starts_[w * G + g];
                starts_[w * G + g] = at;
                at += c;
            }
            offsets_[g + 1] = at;
        }
    }

    std::int64_t groups() const { return static_cast<std::int64_t>(offsets_.size()) - 1; }
    std::int64_t rows() const { return offsets_.back(); }
    std::int64_t begin(std::int64_t g) const { return offsets_[g]; }
    std::int64_t size(std::int64_t g) const { return offsets_[g + 1] - offsets_[g]; }

    // out[begin(g) + j] = column[the j-th row of group g].
    void sort_into_groups(const double* column, double* out) const {
        const std::int64_t G = groups();
        quellix::run_threads(workers_, [&](std::ptrdiff_t w) {
            std::vector<std::int64_t> next(starts_.begin() + w * G, starts_.begin() + (w + 1) * G);
            for (std::int64_t i = first_row(w); i < first_row(w + 1); ++i) {
                const std::int64_t g = codes_[i];
                if (g >= 0) out[next[g]++] = column[i];
            }
        });
    }

    // Groups largest first, which keeps both threads busy to the end.
    std::vector<std::int64_t> by_size() const {
        std::vector<std::int64_t> order(static_cast<std::size_t>(groups()));
        for (std::int64_t g = 0; g < groups(); ++g) order[g] = g;
        std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) { return size(a) > size(b); });
        return order;
    }

private:
    std::int64_t first_row(std::ptrdiff_t w) const { return n_rows_ * w / workers_; }

    const std::int64_t* codes_;
    std::int64_t n_rows_;
    std::ptrdiff_t workers_;
    std::vector<std::int64_t> offsets_;
    std::vector<std::int64_t> starts_;  // [worker][group]
};

// Factor and return values of the table's rows, grouped by codes (see
// RowGroups); r holds one pointer per return series. Output: G x K cells,
// each return series paired with the factor on the rows where both are present.
inline void grouped_ic(const double* f, const std::vector<const double*>& r, const std::int64_t* codes, std::int64_t n_rows,
                       std::int64_t G, bool rank, CorrCell* out) {
    const std::size_t K = r.size();
    if (G <= 0) return;
    const RowGroups groups(codes, n_rows, G);
    const std::vector<std::int64_t> order = groups.by_size();
    const std::int64_t total = groups.rows();
    const std::ptrdiff_t threads = quellix::thread_count(G, total * static_cast<std::int64_t>(K + 1));
    auto each_group = [&](auto&& body) {
        quellix::run_dynamic(threads, G, [&](std::ptrdiff_t worker, std::ptrdiff_t task) { body(worker, order[task]); });
    };

    // Rank IC needs the factor values only until they are sorted, so the
    // return series then reuse their room.
    Scratch<double> fbuf(static_cast<std::size_t>(total)), own_ybuf(static_cast<std::size_t>(rank ? 0 : total));
    double* const ybuf = rank ? fbuf.get() : own_ybuf.get();
    groups.sort_into_groups(f, fbuf.get());
    std::vector<std::uint8_t> valid_f(static_cast<std::size_t>(total));
    std::vector<std::int64_t> n_f(static_cast<std::size_t>(G));
    // Rank IC sorts each group's factor once, for every return series.
    std::vector<SortedSeries> f_sorted(static_cast<std::size_t>(rank ? G : 0));
    std::vector<FactorRanks> f_ranks(static_cast<std::size_t>(rank ? G : 0));
    struct Worker {
        SortScratch sort;
        SortedSeries y;
        FactorRanks masked;
        std::vector<std::uint8_t> keep;
        std::vector<double> xbuf, ybuf, pearson_scratch;
    };
    std::vector<Worker> workers(static_cast<std::size_t>(threads));
    each_group([&](std::ptrdiff_t worker, std::int64_t g) {
        const std::int64_t b = groups.begin(g), n = groups.size(g);
        const double* fg = fbuf.get() + b;
        std::uint8_t* vf = valid_f.data() + b;
        std::int64_t count = 0;
        for (std::int64_t i = 0; i < n; ++i) count += vf[i] = !std::isnan(fg[i]);
        n_f[g] = count;
        if (rank) {
            f_sorted[g].assign(fg, n, workers[worker].sort);
            f_ranks[g].compute(f_sorted[g], vf, static_cast<std::size_t>(n));
        }
    });

    for (std::size_t k = 0; k < K; ++k) {
        groups.sort_into_groups(r[k], ybuf);
        each_group([&](std::ptrdiff_t worker, std::int64_t g) {
            Worker& ws = workers[worker];
            const std::int64_t b = groups.begin(g), n = groups.size(g);
            const double* fg = fbuf.get() + b;
            const double* y = ybuf + b;
            const std::uint8_t* vf = valid_f.data() + b;
            ws.keep.resize(static_cast<std::size_t>(n));
            std::int64_t cnt = 0;
            for (std::int64_t i = 0; i < n; ++i) cnt += ws.keep[i] = vf[i] && !std::isnan(y[i]);
            CorrCell& cell = out[g * static_cast<std::int64_t>(K) + static_cast<std::int64_t>(k)];
            if (cnt < 2) {
                cell = CorrCell{0.0, 0.0, cnt};
            } else if (rank) {
                ws.y.assign(y, n, ws.sort);
                const FactorRanks* fr = &f_ranks[g];
                if (cnt != n_f[g]) {
                    ws.masked.compute(f_sorted[g], ws.keep.data(), static_cast<std::size_t>(n));
                    fr = &ws.masked;
                }
                cell = rank_cell(*fr, ws.y, ws.keep.data());
            } else {
                ws.xbuf.clear();
                ws.ybuf.clear();
                for (std::int64_t i = 0; i < n; ++i) {
                    if (ws.keep[i]) {
                        ws.xbuf.push_back(fg[i]);
                        ws.ybuf.push_back(y[i]);
                    }
                }
                cell = pearson(ws.ybuf.data(), ws.xbuf.data(), cnt, ws.pearson_scratch);
            }
        });
    }
}

}  // namespace quellix::assaycore::core
