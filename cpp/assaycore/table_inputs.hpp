// What every step checks and normalises in the tables and flags it is given,
// in one place so that a fix reaches every step at once: dates in one unit
// and in ascending order, each date and instrument once, time zones that
// compare, overlap between two tables, returns that can happen.
#pragma once

#include "common/pybind11.hpp"
#include "assaycore/frames.hpp"

#include <cstdint>
#include <vector>

namespace quellix::assaycore {

// A dates x instruments table as the steps read it.
struct DatedTable {
    py::object frame;                 // in ascending date order: the table itself when it was, else a sorted copy
    py::array_t<std::int64_t> ns;     // its dates in that order, nanoseconds (UTC instants when aware)
    py::object tz;                    // None for naive dates
    const char* name = "";
};

// TypeError unless df is a DataFrame; ValueError for an index that is not a
// DatetimeIndex, holds NaT, repeats a date, or columns that repeat an
// instrument (each naming the first such label). Sorting is stable, and
// the input is never changed.
DatedTable dated_table(const py::object& df, const char* name);

// The same checks without the date index: for steps that treat each row alone.
void require_unique_columns(const py::object& df, const char* name);

// ValueError naming both tables when one's dates carry a time zone and the
// other's do not: their instants cannot be matched without a guess.
void require_comparable_dates(const DatedTable& a, const DatedTable& b);

// Nanoseconds of each date's own calendar day and time of day, the time zone
// dropped: the client's naive dates are compared with these.
py::array_t<std::int64_t> local_ns(const py::object& dates);
// The dates as a naive DatetimeIndex of their own wall-clock times.
py::object local_dates(const py::object& dates);

// ValueError for cells that no return can be (infinite, or a loss of more
// than everything), naming their count and the first (date, instrument).
void require_possible_returns(const DatedTable& returns);

// UserWarnings, with the cause, when factor_data and returns share no date
// or no instrument: every result would be empty or zero.
void warn_if_disjoint(const DatedTable& factor, const DatedTable& returns);
void warn_no_common_dates(const py::object& factor_dates, const py::object& return_dates);

// A yes/no argument: bools and numpy bools, and with `zero_one` also the
// integers 0 and 1; TypeError naming `name` for anything else (a string's
// truthiness would turn "False" into true).
bool flag_argument(const py::handle& value, const char* name, bool zero_one = false);

// A Python or numpy integer (not a bool, not an array).
bool is_integer_scalar(const py::handle& value);

// The holding periods as the analysers take them: one integer (numpy
// integers included) or a list or tuple of them.
std::vector<std::int64_t> period_list(const py::object& periods);

// ValueError unless every period is shorter than the `rows` dates of `what`.
void require_periods_within(const std::vector<std::int64_t>& periods, std::int64_t rows, const char* what);

// Both tables of an analysis, checked alike and each in date order: the
// checks of dated_table, comparable dates, possible returns (unless the
// caller checked them), and a warning when they do not meet.
struct AnalysisTables {
    DatedTable factor;
    DatedTable returns;
};
AnalysisTables analysis_tables(const py::object& factor_data, const py::object& returns, bool check_returns = true);

}  // namespace quellix::assaycore
