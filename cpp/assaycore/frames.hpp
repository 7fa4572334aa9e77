// The pandas operations every step needs at its boundary, named once so the
// binding code reads like the Python it stands for: take the matrices out of a
// table, read its dates in one unit, build the result table.
#pragma once

#include "common/pybind11.hpp"
#include "assaycore/core/element.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace quellix::assaycore {

inline py::module_ np() { return py::module_::import("numpy"); }
inline py::module_ pd() { return py::module_::import("pandas"); }

// Missing dates (NaT) read as this value, which sorts before every real date.
constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

// TypeError naming `name` unless df is a DataFrame.
void require_frame(const py::object& df, const char* name);

// The values of a numeric table as a float64 2-D array the core can read,
// and the element type the table held. A float64 table is read in place;
// any other numeric dtype goes through one float64 conversion (exact for
// every dtype but 64-bit integers beyond 2**53, which round as numpy casts
// them), so one instantiation of each core serves them all. Text, dates and
// complex numbers raise TypeError naming `name`.
struct NumericValues {
    py::array array;
    core::Element element;

    core::StridedTable<double> view() const {
        return {static_cast<const char*>(array.data()), array.strides(0), array.strides(1), array.shape(0),
                array.shape(1)};
    }
};
NumericValues numeric_values(const py::object& df, const char* name);

// The values of a numeric table as a C-contiguous float64 (dates x instruments)
// matrix; a copy only when the table is not one already.
py::array_t<double> frame_values(const py::object& df, const char* name);

// Nanoseconds since the epoch of every entry of a date index (or array-like of
// dates) whatever its resolution (s, ms, us, ns), NaT as kNaT. Time-zone aware
// dates give their UTC instants. Two tables' dates may be compared only after
// both went through this.
py::array_t<std::int64_t> as_datetime_ns(const py::object& dates);

// A Series indexed by two levels spread into a matrix, as
// series.unstack(level=0) gives it: rows the distinct values of level 1 and
// columns those of level 0, each ascending, missing pairs NaN. ValueError when
// a pair repeats. Falls back to pandas for indexes it cannot read as codes.
struct WideTable {
    py::array_t<double> values;  // C-contiguous float64
    py::object rows;
    py::object columns;
};
WideTable unstack_first_level(const py::object& series);

// An integer argument as int64: TypeError naming `what` and the value for
// anything but an integer (bools included), saying it expected `expected`.
// Values beyond int64 come back as its minimum or maximum, for the caller to judge.
std::int64_t integer_argument(const py::handle& value, const char* what, const char* expected);
constexpr std::int64_t kIntMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kIntMin = std::numeric_limits<std::int64_t>::min();

// The holding periods, in their order: TypeError for an entry that is not an
// integer (bools included), ValueError for one below 1 or beyond int64.
// Repeats are kept; callers that key columns by period drop them.
std::vector<std::int64_t> holding_periods(const py::object& periods);

// DataFrame(values, index=index, columns=columns) adopting `values` without a copy.
py::object make_frame(const py::object& values, const py::object& index, const py::object& columns);

}  // namespace quellix::assaycore
