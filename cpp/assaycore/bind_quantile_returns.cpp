#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"
#include "assaycore/core/growth.hpp"
#include "assaycore/core/quantile_labels.hpp"
#include "assaycore/core/quantile_portfolios.hpp"
#include "assaycore/core/scratch.hpp"
#include "assaycore/frames.hpp"
#include "assaycore/portfolio_frames.hpp"
#include "assaycore/table_inputs.hpp"
#include "common/pyclass.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace quellix::assaycore {
namespace {

constexpr const char* kQuantileInitDoc =
    "__init_impl__(self, quantile=5, benchmark=None)\n--\n\n"
    "因子分组收益率分析\n\n"
    ":param quantile: 分组数量, 默认为 5\n"
    ":param benchmark: 作为基准的指数 order_book_id, 默认为 None\n";

constexpr const char* kQuantileAnalysisDoc =
    "analysis(self, factor_data, returns, periods, ascending=True)\n--\n\n"
    "\n"
    "        :return: 分组累计收益率, 各分组每期换手率, 分组多空收益率\n"
    "        ";

void warn(const py::module_& m, const py::object& message) { m.attr("warnings").attr("warn")(message); }

// Number of groups: a positive integer that fits the core's labels.
std::int32_t group_count(const py::object& quantile) {
    const std::int64_t q = integer_argument(quantile, "quantile", "an integer number of groups");
    if (q < 1) {
        throw py::value_error(py::str("quantile: expect an integer >= 1, got {}").format(quantile).cast<std::string>());
    }
    if (q > std::numeric_limits<std::int32_t>::max()) {
        throw py::value_error(py::str("quantile: {} groups are more than supported").format(quantile).cast<std::string>());
    }
    return static_cast<std::int32_t>(q);
}

void quantile_init(const py::module_& m, const py::object& self, const py::object& quantile, const py::object& benchmark) {
    group_count(quantile);
    self.attr("quantile") = quantile;
    self.attr("benchmark") = py::none();
    if (benchmark.is_none()) return;
    py::object found = m.attr("vestamo").attr("instruments")(benchmark);
    // A code list comes back as a list of instruments, which is no index either.
    py::object type = py::getattr(found, "type", py::none());
    if (found.is_none() || !type.equal(py::str("INDX"))) {
        warn(m, py::str("Invalid benchmark: {} is not INDX order_book_id.").format(benchmark));
        return;
    }
    self.attr("benchmark") = benchmark;
}

py::object load_benchmark_series(const py::module_& m, const py::object& self, const py::object& dates) {
    py::object code = self.attr("benchmark");
    if (code.is_none()) return py::none();
    py::object index = py::isinstance(dates, pd().attr("DatetimeIndex")) ? dates : pd().attr("DatetimeIndex")(dates);
    // The client's dates are naive: aware dates meet them on their own calendar day.
    py::object local = local_dates(index);
    const std::string freq = m.attr("_get_datetime_freq")(index).cast<std::string>();
    const char* field = freq == "tick" ? "last" : "close";
    const auto n = static_cast<py::ssize_t>(py::len(index));
    if (n == 0) {
        // No dates, nothing to ask the client for.
        return pd().attr("Series")(py::arg("index") = index, py::arg("dtype") = "float64", py::arg("name") = code);
    }
    py::object start = local.attr("min")().attr("date")();
    py::object end = local.attr("max")().attr("date")();
    py::list fields;
    fields.append(field);
    py::object price = m.attr("vestamo").attr("get_price")(code, py::arg("start_date") = start, py::arg("end_date") = end,
                                                            py::arg("frequency") = freq, py::arg("fields") = fields,
                                                            py::arg("expect_df") = true);
    if (price.is_none()) {
        warn(m, py::str("No price data for benchmark [{}] from {} to {}").format(code, start, end));
        return py::none();
    }
    py::object series = price[py::str(field)].attr("droplevel")("order_book_id");
    py::array_t<double> values = np().attr("ascontiguousarray")(
        series.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = np().attr("nan")));
    py::array_t<std::int64_t> positions = np().attr("ascontiguousarray")(
        pd().attr("Index")(as_datetime_ns(series.attr("index"))).attr("get_indexer")(as_datetime_ns(local)),
        py::arg("dtype") = "int64");
    py::array_t<double> out(n);
    core::cumulative_price_return(values.data(), positions.data(), n, out.mutable_data());
    return pd().attr("Series")(out, py::arg("index") = index, py::arg("name") = code, py::arg("copy") = false);
}

// The labels stay generic objects: letting pandas 3 infer a string dtype
// for every column takes seconds on a whole market.
py::object detail_frame(const py::object& labels, const py::object& dates, const py::object& instruments) {
    return pd().attr("DataFrame")(labels, py::arg("index") = dates, py::arg("columns") = instruments, py::arg("dtype") = "object",
                                  py::arg("copy") = false);
}

py::object quantile_analysis(const py::module_& m, const py::object& self, const py::object& factor_data, const py::object& returns,
                    const py::object& periods, const py::object& ascending) {
    require_frame(factor_data, "factor_data");
    const std::vector<std::int64_t> kept = portfolio_periods(periods, static_cast<std::int64_t>(py::len(factor_data)), true);
    const std::int32_t q = group_count(self.attr("quantile"));
    const bool rank_ascending = flag_argument(ascending, "ascending", true);
    PortfolioInputs in = portfolio_inputs(factor_data, returns);
    const std::int64_t rows = in.rows, cols = in.cols;
    const auto n_periods = static_cast<py::ssize_t>(kept.size());

    py::array_t<std::int32_t> tags({rows, cols});
    py::array_t<double> group_returns({n_periods, static_cast<py::ssize_t>(q * rows)});
    py::array_t<double> turnover({n_periods, static_cast<py::ssize_t>(q * rows)});
    py::array_t<double> spread({n_periods, static_cast<py::ssize_t>(rows)});
    core::QuantileTables out{group_returns.mutable_data(), turnover.mutable_data(), spread.mutable_data()};
    std::int32_t* tag = tags.mutable_data();
    {
        py::gil_scoped_release release;
        // One matrix serves first as the moved factor, then as the growth.
        core::Scratch<double> work(static_cast<std::size_t>(rows * cols));
        shifted_factor(in, work.get());
        core::quantile_labels(work.get(), rows, cols, rank_ascending, q, tag);
        factor_growth(in, work.get());
        core::quantile_portfolios(work.get(), tag, rows, cols, q, kept, out);
    }

    py::list labels;
    for (std::int32_t g = 1; g <= q; ++g) labels.append(py::str("q{}").format(g));
    py::object dates = in.factor_frame.attr("index");
    py::list names;
    names.append("tag");
    names.append("datetime");
    // The product of groups and dates, built from codes: from_product would
    // factorize the dates again (and warns on pandas 1.5 with newer numpy).
    py::object group_codes = np().attr("repeat")(np().attr("arange")(q), rows);
    py::object date_codes = np().attr("tile")(np().attr("arange")(rows), q);
    py::object by_group = pd().attr("MultiIndex")(py::arg("levels") = py::make_tuple(labels, dates),
                                                  py::arg("codes") = py::make_tuple(group_codes, date_codes),
                                                  py::arg("names") = names, py::arg("verify_integrity") = false);
    py::list columns = period_columns(kept);

    // Label of every cell; -1 (no value) indexes the NaN at the end.
    py::list choices = labels;
    choices.append(np().attr("nan"));
    py::object detail = np().attr("array")(choices, py::arg("dtype") = "object")[tags];

    return m.attr("QuantileReturnAnalysisResult")(
        py::arg("quantile_turnover") = make_frame(turnover.attr("T"), by_group, columns),
        py::arg("quantile_returns") = make_frame(group_returns.attr("T"), by_group, columns),
        py::arg("quantile_detail") = detail_frame(detail, dates, in.factor_frame.attr("columns")),
        py::arg("benchmark_return") = self.attr("_load_benchmark_series")(dates),
        py::arg("top_minus_bottom_returns") = make_frame(spread.attr("T"), date_index(in.factor_frame), columns),
        py::arg("name") = self.attr("step_name"));
}

}  // namespace

void bind_quantile_returns(py::module_& m) {
    py::object cls = make_class("QuantileReturnAnalysis", py::make_tuple(m.attr("FactorAnalyser")), m, nullptr);
    py::module_ mod = m;
    add_init(
        cls, [mod](const py::object& self, const py::object& quantile, const py::object& benchmark) { quantile_init(mod, self, quantile, benchmark); },
        py::arg("quantile") = 5, py::arg("benchmark") = py::none(), kQuantileInitDoc);
    add_method(
        cls, "_load_benchmark_series",
        [mod](const py::object& self, const py::object& index) { return load_benchmark_series(mod, self, index); },
        py::arg("index"), "_load_benchmark_series(self, index)\n--\n\n");
    add_method(
        cls, "analysis",
        [mod](const py::object& self, const py::object& factor_data, const py::object& returns, const py::object& periods,
              const py::object& ascending) { return quantile_analysis(mod, self, factor_data, returns, periods, ascending); },
        py::arg("factor_data"), py::arg("returns"), py::arg("periods"), py::arg("ascending") = true, kQuantileAnalysisDoc);
    m.attr("QuantileReturnAnalysis") = cls;
}

}  // namespace quellix::assaycore
