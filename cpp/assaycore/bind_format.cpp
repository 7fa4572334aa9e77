#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"
#include "assaycore/core/element.hpp"
#include "assaycore/core/forward_returns.hpp"
#include "assaycore/frames.hpp"
#include "assaycore/table_inputs.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quellix::assaycore {
namespace {

using Index = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// Positions of `labels` in `axis`, one per label; a label found twice means the
// axis repeats a date and the date-major layout would no longer line up.
Index positions_of(const py::object& axis, const py::object& labels, const char* name) {
    Index found = axis.attr("get_indexer_for")(labels);
    if (found.size() != static_cast<py::ssize_t>(py::len(labels))) {
        throw py::value_error(std::string(name) + ": the index repeats a date; dates must be unique");
    }
    return found;
}

py::object format_factor_data(const py::object& factor_data, const py::object& returns, const py::object& periods) {
    // Keys keep their first position; a repeated period would only recompute
    // the same column, so it is dropped.
    py::list keys;
    std::vector<std::int64_t> steps;
    for (auto p : periods) {
        const std::int64_t step = integer_argument(p, "periods", "integers");
        if (step == kIntMax || step == kIntMin) {
            throw py::value_error(py::str("periods: {} is out of range").format(p).cast<std::string>());
        }
        py::str key = py::str("P_{}").format(p);
        if (keys.contains(key)) continue;
        keys.append(key);
        steps.push_back(step);
    }

    // Forward returns compound rows in order, so both tables are read in date
    // order. The values are the caller's business here: ICAnalysis checks them.
    AnalysisTables tables = analysis_tables(factor_data, returns, false);
    py::object factor_by_date = tables.factor.frame;
    py::object returns_by_date = tables.returns.frame;
    py::object ret_columns = returns_by_date.attr("columns");
    py::object factor_columns = factor_by_date.attr("columns");
    py::object common = factor_by_date.attr("index").attr("intersection")(returns_by_date.attr("index"));
    Index ret_rows = positions_of(returns_by_date.attr("index"), common, "returns");
    Index factor_rows = positions_of(factor_by_date.attr("index"), common, "factor_data");
    Index factor_cols = factor_columns.attr("get_indexer")(ret_columns);

    NumericValues ret = numeric_values(returns_by_date, "returns");
    NumericValues factor = numeric_values(factor_by_date, "factor_data");

    const std::int64_t n = ret.array.shape(0);
    const std::int64_t m = ret.array.shape(1);
    const std::int64_t n_common = ret_rows.size();
    const std::int64_t n_out = n_common * m;
    const auto n_keys = static_cast<py::ssize_t>(steps.size());
    // One block, one column per row of it: the frame below adopts it without a copy.
    py::array_t<double> block({n_keys + 1, static_cast<py::ssize_t>(n_out)});
    double* out = block.mutable_data();
    {
        py::gil_scoped_release release;
        // Uninitialised on purpose: the growth pass writes every cell.
        std::unique_ptr<double[]> growth(new double[static_cast<std::size_t>(n * m)]);
        core::compound_growth(ret.view(), growth.get());
        for (py::ssize_t k = 0; k < n_keys; ++k) {
            core::forward_ratio(growth.get(), n, m, ret_rows.data(), n_common, steps[k], out + k * n_out);
        }
        core::gather_cells(factor.view(), factor_rows.data(), n_common, factor_cols.data(), m, out + n_keys * n_out);
    }

    py::module_ pd = py::module_::import("pandas");
    py::list names;
    names.append("datetime");
    names.append("order_book_id");
    py::object index = pd.attr("MultiIndex").attr("from_product")(py::make_tuple(common, ret_columns),
                                                                  py::arg("names") = names);
    keys.append("factor");
    return pd.attr("DataFrame")(block.attr("T"), py::arg("index") = index, py::arg("columns") = keys,
                                py::arg("copy") = false);
}

void validate_data_frame(const py::object& df, const py::object& name) {
    py::module_ pd = py::module_::import("pandas");
    if (!py::isinstance(df, pd.attr("DataFrame"))) {
        throw py::value_error(
            py::str("{}: expect pd.DataFrame, got {}").format(name, py::type::of(df)).cast<std::string>());
    }
    py::object index = df.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex"))) {
        throw py::value_error(py::str("{}: expect index type=pd.DatetimeIndex, got {}")
                                  .format(name, py::type::of(index))
                                  .cast<std::string>());
    }
}

py::list get_return_fields(const py::object& columns) {
    py::list fields;
    for (auto column : columns) {
        if (py::bool_(column.attr("startswith")("P_"))) fields.append(column);
    }
    return fields;
}

std::string get_datetime_freq(const py::object& index) {
    py::module_ pd = py::module_::import("pandas");
    py::object stamps = py::isinstance(index, pd.attr("DatetimeIndex")) ? index : pd.attr("DatetimeIndex")(index);
    auto all_zero = [&](const char* field) {
        return py::bool_(stamps.attr(field).attr("__eq__")(0).attr("all")());
    };
    if (!all_zero("second")) return "tick";
    if (!all_zero("minute")) return "1m";
    // Midnight as a time of day: whole hours are known by now, and datetime.time
    // carries microseconds but not nanoseconds.
    if (all_zero("hour") && all_zero("microsecond")) return "1d";
    throw py::value_error(py::str("Unknown datetime index: {}").format(index).cast<std::string>());
}

}  // namespace

// Each docstring opens with "name(args)\n--\n\n": CPython turns that header into
// __text_signature__ (so inspect.signature shows the real arguments) and strips
// it from __doc__, which therefore holds exactly the text after it.
void bind_format(py::module_& m) {
    m.def("_get_return_fields", &get_return_fields, py::arg("columns"),
          "_get_return_fields(columns)\n--\n\n");
    m.def("_format_factor_data", &format_factor_data, py::arg("factor_data"), py::arg("returns"), py::arg("periods"),
          "_format_factor_data(factor_data, returns, periods)\n--\n\n 将因子数据格式化 ");
    m.def("_validate_data_frame", &validate_data_frame, py::arg("df"), py::arg("name"),
          "_validate_data_frame(df, name)\n--\n\n"
          " 检查数据格式\n\n"
          "    :param df: pd.DataFrame, index 为 pd.DatetimeIndex, columns 为 order_book_ids\n"
          "    :param name: 参数名称\n");
    m.def("_get_datetime_freq", &get_datetime_freq, py::arg("index"), "_get_datetime_freq(index)\n--\n\n");
    m.def(
        "_is_date_frequency_index",
        [](const py::object& index) { return get_datetime_freq(index) == "1d"; }, py::arg("index"),
        "_is_date_frequency_index(index)\n--\n\n 检查index是否为日频率 ");
}

}  // namespace quellix::assaycore
