#include "common/pybind11.hpp"
#include "assaycore/ic_tables.hpp"

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace quellix::assaycore {

using core::CorrCell;

namespace {

py::array_t<std::int64_t> to_array(const std::vector<std::int64_t>& v) {
    return py::array_t<std::int64_t>(static_cast<py::ssize_t>(v.size()), v.data());
}

}  // namespace

std::pair<py::array_t<double>, py::array_t<double>> finish_cells(const std::vector<CorrCell>& cells, bool rank,
                                                                 bool with_p) {
    const py::ssize_t n = static_cast<py::ssize_t>(cells.size());
    py::array_t<double> r(n), p(n), shape(n), stat(n);
    double* rp = r.mutable_data();
    double* pp = p.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) {
        rp[i] = cells[i].r;
        // Two pairs leave no degrees of freedom: NaN keeps scipy.special off its domain error.
        shape.mutable_data()[i] = cells[i].n < 3 ? std::nan("") : core::pvalue_shape(cells[i], rank);
        stat.mutable_data()[i] = cells[i].stat;
    }
    py::array_t<double> tail = p;
    if (with_p && n) {
        py::module_ special = py::module_::import("scipy.special");
        if (rank) {
            tail = special.attr("stdtr")(shape, stat);
        } else if (py::hasattr(special, "betaincc")) {
            tail = special.attr("betaincc")(shape, shape, stat);
        } else {
            // scipy before 1.12 has no betaincc; its beta.sf is the same
            // regularised upper incomplete beta function.
            tail = py::module_::import("scipy.stats").attr("beta").attr("sf")(stat, shape, shape);
        }
    }
    const double* tp = tail.data();
    for (py::ssize_t i = 0; i < n; ++i) core::finish_cell(rp[i], pp[i], with_p ? tp[i] : 0.0, cells[i].n, rank);
    return {r, p};
}

py::tuple per_date_tables(const std::vector<CorrCell>& cells, bool rank, py::ssize_t n_dates, py::object dates,
                          const py::list& fields) {
    auto [r, p] = finish_cells(cells, rank, true);
    const py::ssize_t K = static_cast<py::ssize_t>(fields.size());
    dates = dates.attr("rename")("datetime");
    py::object ic = pd().attr("DataFrame")(r.reshape({n_dates, K}), py::arg("index") = dates, py::arg("columns") = fields);
    py::object pv = pd().attr("DataFrame")(p.reshape({n_dates, K}), py::arg("index") = dates, py::arg("columns") = fields);
    return py::make_tuple(ic, pv);
}

py::object lagged_block(const std::vector<CorrCell>& cells, bool rank, std::int64_t T, std::int64_t L, std::size_t K,
                        const py::object& dates, const py::object& columns) {
    auto rp = finish_cells(cells, rank, false).first;
    std::vector<std::int64_t> keep_rows, date_pos, lags;
    for (std::int64_t t = 0; t < T; ++t) {
        for (std::int64_t d = 1; d <= L; ++d) {
            const std::int64_t row = t * L + d - 1;
            if (K == 0 || cells[static_cast<std::size_t>(row) * K].n == 0) continue;
            keep_rows.push_back(row);
            date_pos.push_back(t);
            lags.push_back(d);
        }
    }
    py::object values = rp.reshape({static_cast<py::ssize_t>(T * L), static_cast<py::ssize_t>(K)})[to_array(keep_rows)];
    py::object index = pd().attr("MultiIndex").attr("from_arrays")(
        py::make_tuple(dates.attr("take")(to_array(date_pos)), to_array(lags)), py::arg("names") = py::make_tuple("datetime", "decay"));
    return pd().attr("DataFrame")(values, py::arg("index") = index, py::arg("columns") = columns);
}

py::object industry_table(const std::vector<CorrCell>& cells, bool rank, const py::object& names,
                          const std::vector<std::int64_t>& used, const py::object& index_name, const py::list& fields) {
    const std::int64_t G = static_cast<std::int64_t>(used.size());
    const std::size_t K = fields.size();
    auto [r, p] = finish_cells(cells, rank, true);
    // Row 2g holds group g's correlations, row 2g + 1 their p-values.
    py::array_t<double> values({static_cast<py::ssize_t>(2 * G), static_cast<py::ssize_t>(K)});
    double* out = values.mutable_data();
    for (std::int64_t g = 0; g < G; ++g) {
        for (std::size_t k = 0; k < K; ++k) {
            out[(2 * g) * K + k] = r.data()[g * K + k];
            out[(2 * g + 1) * K + k] = p.data()[g * K + k];
        }
    }
    py::object result_index = pd().attr("MultiIndex").attr("from_product")(
        py::make_tuple(names.attr("take")(to_array(used)), py::make_tuple(0, 1)),
        py::arg("names") = py::make_tuple(index_name, py::none()));
    return pd().attr("DataFrame")(values, py::arg("index") = result_index, py::arg("columns") = fields);
}

}  // namespace quellix::assaycore
