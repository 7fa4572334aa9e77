// The boundary both portfolio analyses share: the factor and returns tables
// read once, the returns matched to the factor's dates and instruments, the
// two matrices the cores walk, and the labels of the result tables.
#pragma once

#include "common/pybind11.hpp"
#include "assaycore/frames.hpp"

#include <cstdint>
#include <vector>

namespace quellix::assaycore {

struct PortfolioInputs {
    // The factor table in ascending date order: the results' labels come from it.
    py::object factor_frame;
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    NumericValues factor;
    NumericValues returns;
    // For each factor date / instrument, its position in the returns table (-1: absent).
    py::array_t<std::int64_t> return_rows;
    py::array_t<std::int64_t> return_cols;
};

// Checks both tables (see analysis_tables) and reads them in date order: the
// holdings move down the rows and the growth compounds along them.
PortfolioInputs portfolio_inputs(const py::object& factor_data, const py::object& returns);

// Core calls, made while the GIL is released. `out` is rows x cols, row-major.
void shifted_factor(const PortfolioInputs& in, double* out);  // the factor moved down one row
void factor_growth(const PortfolioInputs& in, double* out);   // running products of 1 + return

// Distinct periods in order of first appearance: a period listed twice
// would only compute the same column again.
std::vector<std::int64_t> distinct_periods(const std::vector<std::int64_t>& periods);

// "P_1", "P_5", ... for the periods.
py::list period_columns(const std::vector<std::int64_t>& periods);

// The factor's dates as the row labels of a per-date result table.
py::object date_index(const py::object& factor_data);

// The periods of a portfolio analysis of `rows` factor dates, each once. A
// period not shorter than the table is warned about, and with `drop_long`
// dropped (ValueError when none is left); a table without dates takes any.
std::vector<std::int64_t> portfolio_periods(const py::object& periods, std::int64_t rows, bool drop_long);

}  // namespace quellix::assaycore
