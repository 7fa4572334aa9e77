// Factor weights of the long-short portfolio: each instrument's distance
// from its row's mean over the row's sum of absolute distances.
#pragma once

#include "assaycore/core/lanes.hpp"
#include "common/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quellix::assaycore::core {

// Each row of x (rows x cols, row-major, the factor already moved down a row)
// becomes (x - mean) / sum|x - mean| over its non-NaN values, negated when
// asked. A row without spread (all NaN, one value, all values equal) becomes
// all NaN: rounding in the mean would otherwise leave equal values tiny
// deviations of one sign and turn them into weights of +-1/n. Sums run in two
// lanes (even and odd columns); missing values are scattered, so no branch
// decides on them.
inline void demeaned_weights(double* x, std::int64_t rows, std::int64_t cols, bool negate) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const pair sign = {-0.0, -0.0};
    const bits one = {0x3ff0000000000000, 0x3ff0000000000000};  // the bits of 1.0
    run_split(rows, rows * cols, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        for (std::int64_t i = first; i < last; ++i) {
            double* row = x + i * cols;
            const double* found = std::find_if(row, row + cols, [](double v) { return !std::isnan(v); });
            const double v0 = found == row + cols ? nan : *found;
            const pair first_value = {v0, v0};
            const std::int64_t even = cols & ~std::int64_t{1};
            pair total = {0.0, 0.0}, count = {0.0, 0.0};
            bits differs = {0, 0};
            for (std::int64_t j = 0; j < even; j += 2) {
                const pair v = load_pair(row + j);
                const bits present = v == v;
                total += (pair)((bits)v & present);
                count += (pair)(one & present);
                differs |= (v != first_value) & present;
            }
            double sum = total[0] + total[1], n = count[0] + count[1];
            bool spread_out = differs[0] | differs[1];
            if (even < cols && !std::isnan(row[even])) {
                sum += row[even];
                n += 1.0;
                spread_out = spread_out || row[even] != v0;
            }
            if (!spread_out) {
                std::fill(row, row + cols, nan);
                continue;
            }
            const double mean = sum / n;
            const pair centre = {mean, mean};
            pair spread_pair = {0.0, 0.0};
            for (std::int64_t j = 0; j < even; j += 2) {
                const pair d = load_pair(row + j) - centre;
                std::memcpy(row + j, &d, sizeof d);
                spread_pair += unless_nan((pair)((bits)d & ~(bits)sign));
            }
            double spread = spread_pair[0] + spread_pair[1];
            if (even < cols) {
                row[even] -= mean;
                if (!std::isnan(row[even])) spread += std::fabs(row[even]);
            }
            const pair by = {spread, spread};
            const bits flip = negate ? (bits)sign : bits{0, 0};
            for (std::int64_t j = 0; j < even; j += 2) {
                const pair w = (pair)((bits)(load_pair(row + j) / by) ^ flip);
                std::memcpy(row + j, &w, sizeof w);
            }
            if (even < cols) row[even] = negate ? -(row[even] / spread) : row[even] / spread;
        }
    });
}

}  // namespace quellix::assaycore::core
