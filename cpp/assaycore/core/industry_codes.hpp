// The industry code table: one row per distinct change date, one column per
// instrument, each cell the code in force on that date (the instrument's
// latest change on or before it; its first change above that).
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace quellix::assaycore::core {

// Change row r sets code[r] for instrument inst[r] from date date[r]
// (positions among n_dates ascending dates and n_inst instruments). Writes
// the (n_dates x n_inst) row-major table to out. Returns false, leaving out
// unspecified, when one (date, instrument) pair has two change rows.
inline bool industry_code_table(const std::int64_t* code, const std::int64_t* inst, const std::int64_t* date,
                                std::int64_t rows, std::int64_t n_dates, std::int64_t n_inst, std::int64_t* out) {
    constexpr std::int64_t kEmpty = std::numeric_limits<std::int64_t>::min();
    const std::int64_t cells = n_dates * n_inst;
    for (std::int64_t k = 0; k < cells; ++k) out[k] = kEmpty;
    for (std::int64_t r = 0; r < rows; ++r) {
        std::int64_t& cell = out[date[r] * n_inst + inst[r]];
        if (cell != kEmpty) return false;
        cell = code[r];
    }
    // Row by row, so the table is read in its own order: a code stays in
    // force downwards, and the top of a column takes the column's first code.
    std::vector<std::int64_t> last(static_cast<std::size_t>(n_inst), kEmpty);
    for (std::int64_t d = 0; d < n_dates; ++d) {
        std::int64_t* row = out + d * n_inst;
        for (std::int64_t i = 0; i < n_inst; ++i) {
            if (row[i] == kEmpty) {
                row[i] = last[static_cast<std::size_t>(i)];
            } else {
                last[static_cast<std::size_t>(i)] = row[i];
            }
        }
    }
    std::vector<std::int64_t> first(static_cast<std::size_t>(n_inst), kEmpty);
    for (std::int64_t d = n_dates - 1; d >= 0; --d) {
        const std::int64_t* row = out + d * n_inst;
        for (std::int64_t i = 0; i < n_inst; ++i) {
            if (row[i] != kEmpty) first[static_cast<std::size_t>(i)] = row[i];
        }
    }
    for (std::int64_t d = 0; d < n_dates; ++d) {
        std::int64_t* row = out + d * n_inst;
        bool any = false;
        for (std::int64_t i = 0; i < n_inst; ++i) {
            if (row[i] == kEmpty) {
                row[i] = first[static_cast<std::size_t>(i)];
                any = true;
            }
        }
        if (!any) break;  // empty cells only sit above a column's first change
    }
    return true;
}

}  // namespace quellix::assaycore::core
