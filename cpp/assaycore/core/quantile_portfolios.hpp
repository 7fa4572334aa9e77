// Equal-weighted quantile portfolios held over staggered periods.
//
// A holding period of p rows runs p sub-portfolios; sub-portfolio lv
// renews its members on rows lv, lv + p, lv + 2p, ... (the labels of row R
// were made from the factor of row R - 1). Between renewals each group is
// an equal-weighted buy-and-hold portfolio formed at the close before the
// renewal row with value 1; its value on row R + d is the mean over its
// members of growth[R + d] / growth[R - 1]. That value depends on R and d
// only, not on p, so it is computed once for every renewal row R and every
// d below the longest period and shared by all periods.
//
// The daily return of a sub-portfolio's group is the change of that value
// from row to row, forward-filled over the rows the sub-portfolio holds
// anything (a group that is empty in a block earns 0 there once it has had
// a value), and value - 1 on a renewal row. Group returns are the mean over
// the sub-portfolios (missing ones skipped, none at all counted as 0), and
// turnover is the share of a group's members that entered on the date.
#pragma once

#include "assaycore/core/growth.hpp"
#include "common/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quellix::assaycore::core {

// Output tables, one block per period: returns and turnover are group-major
// (q x rows), top_minus_bottom is rows long.
struct QuantileTables {
    double* returns;
    double* turnover;
    double* top_minus_bottom;
};

namespace detail {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What every renewal row R >= 1 holds: members per group, whether it holds
// anything, and mean[(R * depth + d) * q + g], the value of group g on row
// R + d (NaN when the group has no member with a growth on that row).
struct RenewalValues {
    std::int64_t depth = 0;
    std::vector<std::int64_t> members;
    std::vector<char> held;
    std::vector<double> mean;
};

struct GroupSum {
    double sum;
    std::int64_t count;
};

// Sum and count of the non-NaN now[at[k]] / base[k], k in [begin, end), with
// `by` the bases (Divide) or their reciprocals. Two partial sums keep the adds
// from waiting on each other.
template <bool Divide>
inline GroupSum group_sum(const double* now, const std::int64_t* at, const double* by, std::int64_t begin, std::int64_t end) {
    auto growth = [&](std::int64_t k) { return Divide ? now[at[k]] / by[k] : now[at[k]] * by[k]; };
    double even = 0.0, odd = 0.0;
    std::int64_t n_even = 0, n_odd = 0;
    std::int64_t k = begin;
    for (; k + 2 <= end; k += 2) {
        const double a = growth(k), b = growth(k + 1);
        if (!std::isnan(a)) {
            even += a;
            ++n_even;
        }
        if (!std::isnan(b)) {
            odd += b;
            ++n_odd;
        }
    }
    if (k < end && !std::isnan(growth(k))) {
        even += growth(k);
        ++n_even;
    }
    return {even + odd, n_even + n_odd};
}

inline RenewalValues renewal_values(const double* growth, const std::int32_t* tags, std::int64_t rows, std::int64_t cols,
                                    std::int32_t q, std::int64_t depth) {
    RenewalValues rv;
    rv.depth = depth;
    rv.members.assign(static_cast<std::size_t>(rows * q), 0);
    rv.held.assign(static_cast<std::size_t>(rows), 0);
    rv.mean.assign(static_cast<std::size_t>(rows * depth * q), kNaN);
    run_split(rows, rows * cols * depth, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        // The members of R sorted by group, each group in column order (the
        // order pandas sums it in), with their bases: every group then sums
        // in a register.
        std::vector<std::int64_t> start(static_cast<std::size_t>(q) + 1), fill(static_cast<std::size_t>(q));
        std::vector<std::int64_t> at(static_cast<std::size_t>(cols));
        std::vector<double> base(static_cast<std::size_t>(cols)), inverse(static_cast<std::size_t>(cols));
        for (std::int64_t R = std::max<std::int64_t>(first, 1); R < last; ++R) {
            const std::int32_t* tag = tags + R * cols;
            const double* before = growth + (R - 1) * cols;
            std::int64_t* members = rv.members.data() + R * q;
            for (std::int64_t j = 0; j < cols; ++j) {
                if (tag[j] >= 0) ++members[tag[j]];
            }
            start[0] = 0;
            for (std::int32_t g = 0; g < q; ++g) start[g + 1] = start[g] + members[g];
            std::copy(start.begin(), start.end() - 1, fill.begin());
            bool exact = true;
            for (std::int64_t j = 0; j < cols; ++j) {
                if (tag[j] < 0) continue;
                const std::int64_t k = fill[tag[j]]++;
                at[k] = j;
                base[k] = before[j];
                inverse[k] = 1.0 / before[j];
                exact = exact && reciprocal_is_exact(before[j]);
            }
            rv.held[R] = start[q] > 0;
            const std::int64_t span = rv.held[R] ? std::min(depth, rows - R) : 0;
            for (std::int64_t d = 0; d < span; ++d) {
                const double* now = growth + (R + d) * cols;
                double* out = rv.mean.data() + (R * depth + d) * q;
                for (std::int32_t g = 0; g < q; ++g) {
                    const GroupSum s = exact ? group_sum<false>(now, at.data(), inverse.data(), start[g], start[g + 1])
                                             : group_sum<true>(now, at.data(), base.data(), start[g], start[g + 1]);
                    if (s.count) out[g] = s.sum / static_cast<double>(s.count);
                }
            }
        }
    });
    return rv;
}

// For the sub-portfolios of period p: prev[R * q + g] = the renewal row of the
// latest earlier block of R's sub-portfolio in which group g had members (-1:
// none), and entered[R * q + g] = members of g on R that were not in g then.
inline void entering_members(const std::int32_t* tags, std::int64_t rows, std::int64_t cols, std::int32_t q, std::int64_t p,
                             const RenewalValues& rv, std::vector<std::int64_t>& prev, std::vector<std::int64_t>& entered) {
    prev.assign(static_cast<std::size_t>(rows * q), -1);
    entered.assign(static_cast<std::size_t>(rows * q), 0);
    std::vector<std::int64_t> latest(static_cast<std::size_t>(q));
    for (std::int64_t lv = 1; lv <= p && lv < rows; ++lv) {
        std::fill(latest.begin(), latest.end(), -1);
        for (std::int64_t R = lv; R < rows; R += p) {
            for (std::int32_t g = 0; g < q; ++g) {
                prev[R * q + g] = latest[g];
                if (rv.members[R * q + g] > 0) latest[g] = R;
            }
        }
    }
    run_split(rows, rows * cols, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        // Slot 0 counts the cells without a group, so the loop needs no branch.
        std::vector<std::int64_t> slot(static_cast<std::size_t>(q) + 1);
        for (std::int64_t R = std::max<std::int64_t>(first, 1); R < last; ++R) {
            const std::int32_t* tag = tags + R * cols;
            const std::int64_t* before = prev.data() + R * q;
            std::int64_t* in = entered.data() + R * q;
            // Usually the members came from the block just before.
            bool elsewhere = false;
            for (std::int32_t g = 0; g < q; ++g) elsewhere = elsewhere || (before[g] >= 0 && before[g] != R - p);
            if (R - p >= 1) {
                const std::int32_t* old = tags + (R - p) * cols;
                std::fill(slot.begin(), slot.end(), 0);
                for (std::int64_t j = 0; j < cols; ++j) slot[tag[j] + 1] += old[j] != tag[j];
                for (std::int32_t g = 0; g < q; ++g) {
                    if (before[g] == R - p) in[g] = slot[g + 1];
                }
            }
            if (!elsewhere) continue;
            for (std::int64_t j = 0; j < cols; ++j) {
                const std::int32_t g = tag[j];
                if (g >= 0 && before[g] >= 0 && before[g] != R - p && tags[before[g] * cols + j] != g) ++in[g];
            }
        }
    });
}

}  // namespace detail

// growth: rows x cols row-major running products at the factor's dates and
// instruments; tags: rows x cols groups (-1: none), row 0 all -1. Every period
// must lie in 1..rows - 1 and appear once.
inline void quantile_portfolios(const double* growth, const std::int32_t* tags, std::int64_t rows, std::int64_t cols,
                                std::int32_t q, const std::vector<std::int64_t>& periods, const QuantileTables& out) {
    if (periods.empty()) return;
    const std::int64_t depth = *std::max_element(periods.begin(), periods.end());
    const detail::RenewalValues rv = detail::renewal_values(growth, tags, rows, cols, q, depth);

    const auto cells = static_cast<std::size_t>(q * rows);
    std::vector<double> sum(cells), turn_sum(cells);
    std::vector<std::int64_t> count(cells), turn_count(cells);
    std::vector<std::int64_t> prev, entered;
    std::vector<double> last(static_cast<std::size_t>(q));
    for (std::size_t k = 0; k < periods.size(); ++k) {
        const std::int64_t p = periods[k];
        detail::entering_members(tags, rows, cols, q, p, rv, prev, entered);
        std::fill(sum.begin(), sum.end(), 0.0);
        std::fill(turn_sum.begin(), turn_sum.end(), 0.0);
        std::fill(count.begin(), count.end(), 0);
        std::fill(turn_count.begin(), turn_count.end(), 0);
        // Sub-portfolios in order, so every mean adds its terms in one fixed order.
        for (std::int64_t lv = 1; lv <= p && lv < rows; ++lv) {
            std::fill(last.begin(), last.end(), detail::kNaN);
            for (std::int64_t R = lv; R < rows; R += p) {
                if (!rv.held[R]) continue;  // no rows of its own: the fill carries over the gap
                const std::int64_t span = std::min(p, rows - R);
                const std::int64_t* members = rv.members.data() + R * q;
                for (std::int64_t d = 0; d < span; ++d) {
                    const std::int64_t i = R + d;
                    const double* value = rv.mean.data() + (R * depth + d) * q;
                    for (std::int32_t g = 0; g < q; ++g) {
                        const double v = value[g];
                        const double filled = std::isnan(v) ? last[g] : v;
                        const double r = d == 0 ? v - 1.0 : filled / last[g] - 1.0;
                        last[g] = filled;
                        const std::size_t cell = static_cast<std::size_t>(g * rows + i);
                        if (!std::isnan(r)) {
                            sum[cell] += r;
                            ++count[cell];
                        }
                        if (members[g] > 0) {
                            const std::int64_t e = d == 0 && prev[R * q + g] >= 0 ? entered[R * q + g] : 0;
                            turn_sum[cell] += static_cast<double>(e) / static_cast<double>(members[g]);
                            ++turn_count[cell];
                        }
                    }
                }
            }
        }
        double* returns = out.returns + k * cells;
        double* turnover = out.turnover + k * cells;
        for (std::size_t c = 0; c < cells; ++c) {
            const double mean = count[c] ? sum[c] / static_cast<double>(count[c]) : detail::kNaN;
            returns[c] = std::isnan(mean) ? 0.0 : mean;
            turnover[c] = turn_count[c] ? turn_sum[c] / static_cast<double>(turn_count[c]) : detail::kNaN;
        }
        double* spread = out.top_minus_bottom + k * rows;
        for (std::int64_t i = 0; i < rows; ++i) spread[i] = returns[i] - returns[(q - 1) * rows + i];
        compound(spread, rows);
        for (std::int32_t g = 0; g < q; ++g) compound(returns + g * rows, rows);
    }
}

}  // namespace quellix::assaycore::core
