// Per-date cross-sectional transforms: the built-in winsorizing rules and the
// z-score. The winsorizing rules repeat numpy's arithmetic step for step
// (pairwise sums, median as the mean of the middle pair, linear quantile
// interpolation), so the fast path gives the very values the Python functions
// give.
#pragma once

#include "assaycore/core/element.hpp"
#include "assaycore/core/row_blocks.hpp"
#include "common/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace quellix::assaycore::core {

// add.reduce of a contiguous float64 array: eight accumulators per block of
// at most 128, longer runs split at half the length rounded down to a
// multiple of 8, the identity added last.
inline double numpy_block_sum(const double* a, std::int64_t n) {
    if (n < 8) {
        double res = a[0];
        for (std::int64_t i = 1; i < n; ++i) res += a[i];
        return res;
    }
    double r[8];
    for (int k = 0; k < 8; ++k) r[k] = a[k];
    std::int64_t i = 8;
    for (; i < n - n % 8; i += 8) {
        for (int k = 0; k < 8; ++k) r[k] += a[i + k];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
}

inline double numpy_split_sum(const double* a, std::int64_t n) {
    if (n <= 128) return numpy_block_sum(a, n);
    std::int64_t n2 = n / 2;
    n2 -= n2 % 8;
    return numpy_split_sum(a, n2) + numpy_split_sum(a + n2, n - n2);
}

inline double numpy_sum(const double* a, std::int64_t n) { return n == 0 ? 0.0 : 0.0 + numpy_split_sum(a, n); }

// np.maximum / np.minimum: a NaN on either side wins.
inline double np_maximum(double a, double b) { return (a >= b || a != a) ? a : b; }
inline double np_minimum(double a, double b) { return (a <= b || a != a) ? a : b; }

// Exact order statistics of finite values without sorting them: one pass
// counting the values per bucket of equal width over a known range, one
// collecting the few values of the bucket that holds the wanted rank (and of
// the next filled bucket when the following rank lies there). Buckets are a
// monotone function of the value, so every value of a lower bucket is
// smaller; the collected values are then selected directly. Values bunched
// into one bucket by a far outlier are bucketed again over their own range.
struct RankScratch {
    static constexpr std::int64_t kBuckets = 1024;
    static constexpr int kLevels = 3;
    std::vector<std::uint32_t> counts = std::vector<std::uint32_t>(kBuckets);
    std::vector<std::uint16_t> bucket;
    std::vector<double> pool[kLevels];

    void reserve(std::int64_t n) {
        bucket.resize(static_cast<std::size_t>(n));
        for (auto& p : pool) p.resize(static_cast<std::size_t>(n));
    }
};

// The values of ranks k and k + 1 (0-based, ascending; k + 1 capped at the
// last) of a[0..n), n > k, given lo <= every value <= hi. a is left as it is.
inline std::pair<double, double> rank_pair(const double* a, std::int64_t n, std::int64_t k, double lo, double hi,
                                           RankScratch& s, int level = 0) {
    constexpr std::int64_t B = RankScratch::kBuckets;
    double* w = s.pool[level].data();
    // Halves keep the width finite for values near the largest doubles.
    const double half_lo = lo * 0.5;
    const double scale = static_cast<double>(B) / (hi * 0.5 - half_lo);
    if (n <= 64 || level == RankScratch::kLevels - 1 || !(scale <= std::numeric_limits<double>::max())) {
        if (lo == hi) return {lo, lo};
        if (w != a) std::copy(a, a + n, w);
        std::nth_element(w, w + k, w + n);
        const double at = w[k];
        return {at, k + 1 < n ? *std::min_element(w + k + 1, w + n) : at};
    }

    std::uint32_t* counts = s.counts.data();
    std::uint16_t* bucket = s.bucket.data();
    std::fill(counts, counts + B, 0u);
    // Bucket numbers in a loop of their own (it vectorises), then counted.
    for (std::int64_t i = 0; i < n; ++i) {
        const auto b = static_cast<std::int32_t>((a[i] * 0.5 - half_lo) * scale);
        bucket[i] = static_cast<std::uint16_t>(b < B - 1 ? b : B - 1);
    }
    for (std::int64_t i = 0; i < n; ++i) ++counts[bucket[i]];
    std::int64_t first = 0, below = 0;
    while (below + counts[first] <= k) below += counts[first++];
    std::int64_t last = first;
    if (k + 1 < n && k + 1 >= below + counts[first]) {
        do ++last;
        while (counts[last] == 0);
    }
    std::int64_t m = 0;
    double wlo = std::numeric_limits<double>::infinity(), whi = -wlo;
    const auto span = static_cast<std::uint16_t>(last - first);
    for (std::int64_t i = 0; i < n; ++i) {
        const double x = a[i];
        w[m] = x;
        if (static_cast<std::uint16_t>(bucket[i] - first) <= span) {
            ++m;
            wlo = std::min(wlo, x);
            whi = std::max(whi, x);
        }
    }
    return rank_pair(w, m, k - below, wlo, whi, s, m > n / 2 ? level + 1 : RankScratch::kLevels - 1);
}

// np.median of a[0..n), n > 0, lo <= a <= hi.
inline double numpy_median(const double* a, std::int64_t n, double lo, double hi, RankScratch& s) {
    if (n % 2 == 1) return (0.0 + rank_pair(a, n, n / 2, lo, hi, s).first) / 1.0;
    const auto [lower, upper] = rank_pair(a, n, n / 2 - 1, lo, hi, s);
    return (0.0 + (lower + upper)) / 2.0;
}

// np.quantile(a, q) with the default linear method, n > 0, lo <= a <= hi.
inline double numpy_quantile(const double* a, std::int64_t n, double q, double lo, double hi, RankScratch& s) {
    const double virtual_index = static_cast<double>(n - 1) * q;
    double previous = std::floor(virtual_index);
    // Past the last index numpy takes the last value (index -1) for both
    // neighbours, and measures gamma from -1; the difference is then 0.
    const bool above = virtual_index >= static_cast<double>(n - 1);
    if (above) previous = -1.0;
    const auto [left, right] = rank_pair(a, n, above ? n - 1 : static_cast<std::int64_t>(previous), lo, hi, s);
    const double gamma = virtual_index - previous;
    const double diff = right - left;
    return gamma >= 0.5 ? right - diff * (1.0 - gamma) : left + diff * gamma;
}

// What one worker reuses from date to date.
struct DateScratch {
    std::vector<double> values;  // one date's values
    RankScratch ranks;
};

enum class WinsorizeRule { none, mad, std, percentile };

// The constants of quellix.analysis.winsorize, in the order its expressions
// multiply them.
inline constexpr double kMadScale = 1.4826;
inline constexpr double kDeviations = 3.0;
inline constexpr double kLowerPercentile = 0.025;
inline constexpr double kUpperPercentile = 0.975;

// One date, in place.
inline void winsorize_row(WinsorizeRule rule, double* row, std::int64_t n, DateScratch& scratch) {
    if (rule == WinsorizeRule::none) return;
    double* finite = scratch.values.data();
    RankScratch& s = scratch.ranks;
    std::int64_t f = 0;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::int64_t j = 0; j < n; ++j) {
        const double x = row[j];
        const bool keep = std::isfinite(x);
        finite[f] = x;
        f += keep ? 1 : 0;
        lo = keep && x < lo ? x : lo;
        hi = keep && x > hi ? x : hi;
    }
    double lower = 0.0, upper = 0.0;
    switch (rule) {
        case WinsorizeRule::none:
            return;
        case WinsorizeRule::mad: {
            if (f == 0) return;
            const double median = numpy_median(finite, f, lo, hi, s);
            double far = 0.0;
            for (std::int64_t k = 0; k < f; ++k) {
                finite[k] = std::fabs(finite[k] - median);
                far = std::max(far, finite[k]);
            }
            const double spread = kDeviations * kMadScale * numpy_median(finite, f, 0.0, far, s);
            lower = median - spread;
            upper = median + spread;
            break;
        }
        case WinsorizeRule::std: {
            if (f < 2) return;
            // Both sums run over the finite values in row order, as numpy's do.
            const double mean = numpy_sum(finite, f) / static_cast<double>(f);
            for (std::int64_t k = 0; k < f; ++k) {
                const double d = finite[k] - mean;
                finite[k] = d * d;
            }
            const double spread = kDeviations * std::sqrt(numpy_sum(finite, f) / static_cast<double>(f - 1));
            lower = mean - spread;
            upper = mean + spread;
            break;
        }
        case WinsorizeRule::percentile: {
            if (f == 0) return;
            lower = numpy_quantile(finite, f, kLowerPercentile, lo, hi, s);
            upper = numpy_quantile(finite, f, kUpperPercentile, lo, hi, s);
            break;
        }
    }
    for (std::int64_t j = 0; j < n; ++j) row[j] = np_minimum(np_maximum(row[j], lower), upper);
}

// One date's z-scores, in place: (x - mean) / sample std over the present
// values, infinite results set to 0. The mean is taken relative to the first
// present value, so a row of equal values has deviations of exactly 0 and
// turns missing (0 / 0) whatever rounding a plain sum would leave. As in
// pandas, an infinite input makes the standard deviation (and so every cell)
// missing, and so does a row with fewer than two values.
//
// Values so large that their deviations or squares overflow (about 1e154 and
// up) are scaled first by a power of two near their largest magnitude:
// z-scores do not depend on the scale, and a power of two changes no digit,
// so the scaled formula is the plain one wherever the plain one stays in
// range. (Squares that vanish keep pandas' answer, x / 0 set to 0.)
inline void normalize_row(double* row, std::int64_t n, DateScratch& scratch) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    double* present = scratch.values.data();
    std::int64_t j0 = 0;
    while (j0 < n && std::isnan(row[j0])) ++j0;
    std::int64_t c = 0;
    bool infinite = false;
    for (std::int64_t j = j0; j < n; ++j) {
        infinite = infinite || std::isinf(row[j]);
        c += std::isnan(row[j]) ? 0 : 1;
    }
    if (c < 2 || infinite) {
        std::fill(row, row + n, nan);
        return;
    }
    double scale = 1.0, mean = 0.0, squares = 0.0;
    const auto moments = [&] {
        const double origin = row[j0] / scale;
        std::int64_t k = 0;
        for (std::int64_t j = j0; j < n; ++j) {
            present[k] = row[j] / scale - origin;
            k += std::isnan(row[j]) ? 0 : 1;
        }
        mean = origin + numpy_sum(present, c) / static_cast<double>(c);
        k = 0;
        for (std::int64_t j = j0; j < n; ++j) {
            const double d = row[j] / scale - mean;
            present[k] = d * d;
            k += std::isnan(d) ? 0 : 1;
        }
        squares = numpy_sum(present, c);
        return std::isfinite(mean) && std::isfinite(squares);
    };
    if (!moments()) {
        double top = 0.0;
        for (std::int64_t j = j0; j < n; ++j) {
            if (!std::isnan(row[j])) top = std::max(top, std::abs(row[j]));
        }
        scale = std::ldexp(1.0, std::ilogb(top));
        moments();
    }
    const double sd = std::sqrt(squares / static_cast<double>(c - 1));
    for (std::int64_t j = 0; j < n; ++j) {
        const double z = (row[j] / scale - mean) / sd;
        row[j] = std::isinf(z) ? 0.0 : z;
    }
}

// Applies `per_date(row, n, scratch)` to every date of `table`, in place in
// the row-major (rows x cols) `out`. Dates go in blocks over both cores; each
// date is computed alone, so the split never changes a value.
template <class T, class PerDate>
void transform_dates(const StridedTable<T>& table, double* out, const PerDate& per_date) {
    const std::int64_t n_dates = table.rows, m = table.cols;
    const std::int64_t blocks = (n_dates + kDateBlock - 1) / kDateBlock;
    const std::ptrdiff_t threads = thread_count(blocks, n_dates * m);
    std::vector<DateScratch> scratch(static_cast<std::size_t>(threads));
    run_dynamic(threads, blocks, [&](std::ptrdiff_t worker, std::ptrdiff_t block) {
        DateScratch& s = scratch[static_cast<std::size_t>(worker)];
        if (s.values.empty()) {
            s.values.resize(static_cast<std::size_t>(m));
            s.ranks.reserve(m);
        }
        const std::int64_t t0 = block * kDateBlock;
        const std::int64_t rows = std::min(kDateBlock, n_dates - t0);
        double* dst = out + t0 * m;
        gather_dates(table, t0, rows, dst);
        for (std::int64_t b = 0; b < rows; ++b) per_date(dst + b * m, m, s);
    });
}

}  // namespace quellix::assaycore::core
