// Tables around the IC kernels: the formatted long table read as arrays the
// core can walk (ic_long_table.cpp), and correlation cells turned back into
// pandas tables (ic_frames.cpp).
#pragma once

#include "common/pybind11.hpp"
#include "assaycore/core/correlation.hpp"
#include "assaycore/frames.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quellix::assaycore {

// df[key] = value on a table we own. pandas 2 flags chained assignment by
// counting references to the table, and a call from C++ holds one fewer than
// the same statement in Python would, so a second reference is held for the
// duration of the call to avoid a spurious ChainedAssignmentError warning.
inline void set_column(const py::object& df, const py::object& key, const py::object& value) {
    py::object held = df;
    if (PyObject_SetItem(held.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

py::array_t<std::int64_t> as_int64(const py::object& a);

// The factor and return columns as contiguous float64 arrays; the arrays own
// the memory the pointers handed to the core refer to.
struct FactorColumns {
    py::array_t<double> factor;
    std::vector<py::array_t<double>> returns;
    std::vector<const double*> return_ptrs;
};

FactorColumns factor_columns(const py::object& fd, const py::list& fields);

// True when the index is the date-major product of its two levels with the
// dates ascending: the long columns are then (dates x instruments) matrices.
bool is_product_layout(const py::object& index);

// The columns as row-major (n_dates x n_instruments) matrices, read in place
// from the product layout and pivoted otherwise.
struct DateMatrices {
    py::object dates;
    std::int64_t n_dates = 0;
    std::int64_t n_instruments = 0;
    FactorColumns values;
};

DateMatrices date_matrices(const py::object& fd, const py::list& fields);

// Group code of every row of the formatted table (-1 where a row has no
// label) and the names the codes stand for.
std::pair<py::array_t<std::int64_t>, py::object> row_label_codes(const py::object& labels, const py::object& index);

// An instrument -> label Series spread over the rows of index as a categorical
// Series; instruments it lacks are labelled "Unknown".
py::object labels_by_row(py::object mapping, const py::object& index);

// Correlations and p-values of a table of cells. The p-values come from one
// vectorised scipy.special call, the same function scipy.stats uses.
std::pair<py::array_t<double>, py::array_t<double>> finish_cells(const std::vector<core::CorrCell>& cells, bool rank,
                                                                 bool with_p);

// (ic, p-value) frames of n_dates x len(fields) cells, indexed by date.
py::tuple per_date_tables(const std::vector<core::CorrCell>& cells, bool rank, py::ssize_t n_dates, py::object dates,
                          const py::list& fields);

// The lagged rows (d >= 1) of ic_decay from cells laid out [t][d-1][k]; pairs
// (t, d) without any row are absent.
py::object lagged_block(const std::vector<core::CorrCell>& cells, bool rank, std::int64_t T, std::int64_t L,
                        std::size_t K, const py::object& dates, const py::object& columns);

// One (correlation, p-value) row pair per group, the groups named by
// names.take(used).
py::object industry_table(const std::vector<core::CorrCell>& cells, bool rank, const py::object& names,
                          const std::vector<std::int64_t>& used, const py::object& index_name, const py::list& fields);

}  // namespace quellix::assaycore
