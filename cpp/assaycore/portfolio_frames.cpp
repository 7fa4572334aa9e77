#include "common/pybind11.hpp"
#include "assaycore/portfolio_frames.hpp"
#include "assaycore/core/growth.hpp"
#include "assaycore/core/row_major.hpp"
#include "assaycore/table_inputs.hpp"

#include <algorithm>
#include <string>

namespace quellix::assaycore {
PortfolioInputs portfolio_inputs(const py::object& factor_data, const py::object& returns) {
    AnalysisTables tables = analysis_tables(factor_data, returns);
    PortfolioInputs in;
    in.factor_frame = tables.factor.frame;
    in.factor = numeric_values(tables.factor.frame, "factor_data");
    in.returns = numeric_values(tables.returns.frame, "returns");
    in.rows = in.factor.array.shape(0);
    in.cols = in.factor.array.shape(1);
    // Dates of both tables in one unit before they are compared.
    py::object return_dates = pd().attr("Index")(tables.returns.ns);
    in.return_rows = return_dates.attr("get_indexer")(tables.factor.ns);
    in.return_cols = tables.returns.frame.attr("columns").attr("get_indexer")(tables.factor.frame.attr("columns"));
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

std::vector<std::int64_t> portfolio_periods(const py::object& periods, std::int64_t rows, bool drop_long) {
    const std::vector<std::int64_t> values = period_list(periods);
    std::vector<std::int64_t> kept;
    py::list beyond;
    for (std::int64_t p : values) {
        if (rows > 0 && p >= rows) {
            beyond.append(p);
            if (!drop_long) kept.push_back(p);
        } else {
            kept.push_back(p);
        }
    }
    if (beyond.empty()) return distinct_periods(kept);
    if (drop_long) {
        if (kept.empty()) throw py::value_error(py::str("Invalid periods, must be less than {}").format(rows).cast<std::string>());
        py::module_::import("warnings").attr("warn")(py::str("Invalid periods found: {}, will ignore.").format(beyond));
    } else {
        py::module_::import("warnings").attr("warn")(
            py::str("periods {} are not shorter than factor_data ({} rows): their sub-portfolios never renew")
                .format(beyond, rows));
    }
    return distinct_periods(kept);
}

}  // namespace quellix::assaycore
