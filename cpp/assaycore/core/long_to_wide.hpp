// A long table (one value per (row key, column key) pair, keys given as
// codes) spread into a dense matrix, as pandas' unstack does, without the
// sort pandas makes over every row.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quellix::assaycore::core {

// out (rows x cols, row-major) receives value[i] at (row_rank[row_code[i]],
// col_rank[col_code[i]]); cells no entry names stay NaN. Returns false when two
// entries name the same cell, which pandas refuses too.
template <class V, class R, class C>
bool scatter_long(const V* value, const R* row_code, const C* col_code, std::int64_t n, const std::int64_t* row_rank,
                  const std::int64_t* col_rank, std::int64_t rows, std::int64_t cols, double* out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t k = 0; k < rows * cols; ++k) out[k] = nan;
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(rows * cols), 0);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t cell = row_rank[row_code[i]] * cols + col_rank[col_code[i]];
        if (seen[cell]) return false;
        seen[cell] = 1;
        out[cell] = static_cast<double>(value[i]);
    }
    return true;
}

}  // namespace quellix::assaycore::core
