#include "common/pybind11.hpp"
#include "assaycore/portfolio_frames.hpp"
#include "assaycore/core/growth.hpp"
#include "assaycore/core/row_major.hpp"

#include <algorithm>
#include <string>

namespace quellix::assaycore {
namespace {

void require_unique(const py::object& labels, const char* name, const char* what) {
    if (!labels.attr("is_unique").cast<bool>()) {
        throw py::value_error(std::string(name) + ": the " + what + "; each must appear once");
    }
}

}  // namespace

PortfolioInputs portfolio_inputs(const py::object& factor_data, const py::object& returns) {
    require_frame(factor_data, "factor_data");
    require_frame(returns, "returns");
    // A repeated date or instrument has no single position to be held at;
    // pandas would refuse to reindex onto or from it, or merge its rows.
    require_unique(factor_data.attr("index"), "factor_data", "index repeats a date");
    require_unique(factor_data.attr("columns"), "factor_data", "columns repeat an instrument");
    require_unique(returns.attr("index"), "returns", "index repeats a date");
    require_unique(returns.attr("columns"), "returns", "columns repeat an instrument");

    PortfolioInputs in;
    in.factor = numeric_values(factor_data, "factor_data");
    in.returns = numeric_values(returns, "returns");
    in.rows = in.factor.array.shape(0);
    in.cols = in.factor.array.shape(1);
    // Dates of both tables in one unit before they are compared.
    py::object return_dates = pd().attr("Index")(as_datetime_ns(returns.attr("index")));
    in.return_rows = return_dates.attr("get_indexer")(as_datetime_ns(factor_data.attr("index")));
    in.return_cols = returns.attr("columns").attr("get_indexer")(factor_data.attr("columns"));
    in.return_rows = np().attr("ascontiguousarray")(in.return_rows, py::arg("dtype") = "int64");
    in.return_cols = np().attr("ascontiguousarray")(in.return_cols, py::arg("dtype") = "int64");
    return in;
}

void shifted_factor(const PortfolioInputs& in, double* out) {
    core::shifted_rows(in.factor.view(), out);
}

void factor_growth(const PortfolioInputs& in, double* out) {
    core::growth_at(in.returns.view(), in.return_rows.data(), in.rows, in.return_cols.data(), in.cols, out);
}

std::vector<std::int64_t> distinct_periods(const std::vector<std::int64_t>& periods) {
    std::vector<std::int64_t> out;
    for (std::int64_t p : periods) {
        if (std::find(out.begin(), out.end(), p) == out.end()) out.push_back(p);
    }
    return out;
}

py::list period_columns(const std::vector<std::int64_t>& periods) {
    py::list names;
    for (std::int64_t p : periods) names.append(py::str("P_{}").format(p));
    return names;
}

py::object date_index(const py::object& factor_data) { return factor_data.attr("index").attr("rename")("datetime"); }

}  // namespace quellix::assaycore
