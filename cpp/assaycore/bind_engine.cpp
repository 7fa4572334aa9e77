#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"
#include "assaycore/core/daily_returns.hpp"
#include "assaycore/core/element.hpp"
#include "assaycore/frames.hpp"
#include "assaycore/table_inputs.hpp"
#include "common/pyclass.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace quellix::assaycore {
namespace {

[[noreturn]] void raise(PyObject* type, const py::handle& message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

// Tuple unpacking with the interpreter's own wording, for `name, step = item`.
std::pair<py::object, py::object> unpack_pair(const py::handle& item) {
    if (Py_TYPE(item.ptr())->tp_iter == nullptr && !PySequence_Check(item.ptr())) {
        raise(PyExc_TypeError, py::str("cannot unpack non-iterable {} object").format(Py_TYPE(item.ptr())->tp_name));
    }
    py::tuple values = py::reinterpret_steal<py::tuple>(PySequence_Tuple(item.ptr()));
    if (!values) throw py::error_already_set();
    if (values.size() > 2) raise(PyExc_ValueError, py::str("too many values to unpack (expected 2)"));
    if (values.size() < 2) {
        raise(PyExc_ValueError, py::str("not enough values to unpack (expected 2, got {})").format(values.size()));
    }
    return {values[0], values[1]};
}

bool truthy(const py::handle& value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// Returns from post-adjusted closes, from the trading date before the first
// factor date to p_max trading dates after the last, so the longest forward
// return of the last factor date exists.
py::object daily_returns(const py::object& factor_data, const py::object& periods) {
    py::module_ builtins = py::module_::import("builtins");
    py::module_ vestamo = py::module_::import("vestamo");

    py::object sequence = py::make_tuple(builtins.attr("tuple"), builtins.attr("list"));
    py::object p_max = py::isinstance(periods, sequence) ? builtins.attr("max")(periods) : periods;
    // The client's dates are naive: aware dates ask for their own calendar days,
    // and the returns carry the factor's time zone so the two tables meet.
    py::object tz = factor_data.attr("index").attr("tz");
    py::object dates = local_dates(factor_data.attr("index"));
    if (py::len(dates) == 0) throw py::value_error("factor_data: no dates, so no daily returns can be fetched");
    // The first and last dates by value: a table need not arrive sorted.
    py::object end_date = vestamo.attr("get_next_trading_date")(dates.attr("max")(), p_max);
    // A factor that starts on the calendar's first day has no day before it:
    // prices then start on that day and its own return is missing, which no
    // forward return needs.
    py::object start_date;
    bool first_day_has_return = true;
    try {
        start_date = vestamo.attr("get_previous_trading_date")(dates.attr("min")());
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) || py::len(vestamo.attr("get_trading_dates")("1900-01-01", dates.attr("min")())) > 1) {
            throw;
        }
        start_date = dates.attr("min")();
        first_day_has_return = false;
    }
    py::object prices = vestamo.attr("get_price")(
        py::arg("order_book_ids") = factor_data.attr("columns"), py::arg("start_date") = start_date,
        py::arg("end_date") = end_date, py::arg("fields") = "close", py::arg("adjust_type") = "post",
        py::arg("expect_df") = true);
    if (prices.is_none()) {
        throw py::value_error(py::str("returns: no close prices for the factor's instruments from {} to {}")
                                  .format(start_date, end_date)
                                  .cast<std::string>());
    }
    // The client's long table spread straight into a dates x instruments
    // matrix: pandas' unstack would sort all of its rows first.
    WideTable close = unstack_first_level(prices[py::str("close")]);
    const py::array_t<double>& values = close.values;

    const std::int64_t n = values.shape(0);
    const std::int64_t m = values.shape(1);
    const std::int64_t skip = first_day_has_return ? 1 : 0;
    py::array_t<double> out({static_cast<py::ssize_t>(n > skip ? n - skip : 0), static_cast<py::ssize_t>(m)});
    core::StridedTable<double> table{reinterpret_cast<const char*>(values.data()), values.strides(0), values.strides(1), n,
                                     m};
    double* dst = out.mutable_data();
    {
        py::gil_scoped_release release;
        if (!first_day_has_return && n > 0) {
            std::fill(dst, dst + m, std::numeric_limits<double>::quiet_NaN());
            dst += m;
        }
        core::filled_simple_returns(table, dst);
    }
    py::object rows = close.rows[py::slice(py::int_(skip), py::none(), py::none())];
    if (!tz.is_none()) rows = pd().attr("DatetimeIndex")(rows).attr("tz_localize")(tz);
    return make_frame(out, rows, close.columns);
}

void name_axes(const py::object& table) {
    table.attr("index").attr("name") = "datetime";
    table.attr("columns").attr("name") = "order_book_id";
}

const char* const append_doc =
    "append(self, step)\n--\n\n"
    " 构造因子检验步骤\n\n"
    "        :param step: (name, processor) 元组, name 为步骤名称, 在整个引擎内不可重复; processor 可选:\n"
    "            因子预处理: Winzorization, Neutralization, Normalization\n"
    "            因子检验: ICAnalysis, QuantileReturnAnalysis, FactorReturnAnalysis\n"
    "        ";

const char* const analysis_doc =
    "analysis(self, factor_data, returns, ascending=False, periods=1, keep_preprocess_result=False)\n--\n\n"
    "因子检验\n\n"
    "        :param factor_data: 因子值, pd.DataFrame, index 为日期 (pd.DatetimeIndex), columns 为 order_book_id\n"
    "        :param returns: 收益率数据, pd.DataFrame, index 和 columns 与 factor_data 一致;\n"
    "            或 \"daily\", 由后复权收盘价计算日收益率\n"
    "        :param ascending: 因子排序方向, 默认为 False (降序)\n"
    "        :param periods: 持有期, int 或 int 的 tuple/list\n"
    "        :param keep_preprocess_result: 是否在结果中保留每个预处理步骤后的因子数据\n"
    "        :return: dict\n"
    "        ";

}  // namespace

void bind_engine(py::module_& m) {
    py::object preprocessor_cls = m.attr("FactorPreprocessor");
    py::object analyser_cls = m.attr("FactorAnalyser");
    py::object validate = m.attr("_validate_data_frame");

    py::object engine = make_class("FactorAnalysisEngine", py::make_tuple(), m, " 因子检验引擎 ");

    add_init(engine, [analyser_cls](const py::object& self) {
        self.attr("preprocess_pipelines") = py::list();
        self.attr("analysis_pipelines") = py::module_::import("collections").attr("defaultdict")(analyser_cls);
        self.attr("_FactorAnalysisEngine__exists_step_names") = py::list();
    });

    add_method(
        engine, "append",
        [preprocessor_cls, analyser_cls](const py::object& self, const py::object& step) {
            // The argument is a typed tuple: exact type only, but None gets
            // through to the unpacking.
            if (!step.is_none() && !PyTuple_CheckExact(step.ptr())) {
                raise(PyExc_TypeError, py::str("Argument 'step' has incorrect type (expected tuple, got {})")
                                           .format(Py_TYPE(step.ptr())->tp_name));
            }
            auto [name, processor] = unpack_pair(step);
            py::object used = self.attr("_FactorAnalysisEngine__exists_step_names");
            int seen = PySequence_Contains(used.ptr(), name.ptr());
            if (seen < 0) throw py::error_already_set();
            if (seen) {
                raise(PyExc_RuntimeError,
                      py::str("pipeline step name={} already exists, please use another name.").format(name));
            }
            used.attr("append")(name);
            if (py::isinstance(processor, preprocessor_cls)) {
                self.attr("preprocess_pipelines").attr("append")(step);
            } else if (py::isinstance(processor, analyser_cls)) {
                processor.attr("step_name") = name;
                self.attr("analysis_pipelines")[name] = processor;
            } else {
                raise(PyExc_ValueError, py::str("Invalid step={}, unknown processor={}").format(name, processor));
            }
        },
        py::arg("step"), append_doc);

    add_method(
        engine, "analysis",
        [validate](const py::object& self, py::object factor_data, py::object returns, const py::object& ascending,
                   py::object periods, const py::object& keep_preprocess_result) -> py::object {
            py::module_ builtins = py::module_::import("builtins");
            if (!truthy(self.attr("preprocess_pipelines")) && !truthy(self.attr("analysis_pipelines"))) {
                py::module_::import("warnings").attr("warn")("no pipelines to execute.");
                return py::none();
            }
            py::object sequence = py::make_tuple(builtins.attr("tuple"), builtins.attr("list"));
            py::object accepted = py::make_tuple(builtins.attr("tuple"), builtins.attr("list"), builtins.attr("int"));
            // numpy integers are integers too.
            const bool integral = is_integer_scalar(periods);
            if (assertions_enabled() && !integral && !py::isinstance(periods, accepted)) {
                std::string message =
                    py::str("periods must be tuple/list/int, but got {}").format(periods).cast<std::string>();
                check_assert(false, message.c_str());
            }
            validate(py::arg("df") = factor_data, py::arg("name") = "factor_data");
            const bool keep = flag_argument(keep_preprocess_result, "keep_preprocess_result");
            // Below 1 a period would look backwards (or nowhere): refuse it before any fetch.
            // Only the sign is checked here; what else a period must be is the analysers' business.
            for (auto p : py::isinstance(periods, sequence) ? periods : py::object(py::make_tuple(periods))) {
                if (PyIndex_Check(p.ptr()) && py::reinterpret_borrow<py::object>(p) < py::int_(1)) {
                    raise(PyExc_ValueError, py::str("periods: expect integers >= 1, got {}").format(p));
                }
            }
            if (py::isinstance<py::str>(returns)) {
                if (!returns.equal(py::str("daily"))) {
                    raise(PyExc_ValueError, py::str("returns: expect pd.DataFrame or \"daily\", got {}").format(returns));
                }
                // Prices are fetched as far as the longest period reaches.
                if (py::isinstance(periods, sequence) && py::len(periods) == 0) {
                    raise(PyExc_ValueError, py::str("periods: empty, expect at least one holding period for daily "
                                                    "returns, got {!r}").format(periods));
                }
                returns = daily_returns(factor_data, periods);
            } else {
                validate(py::arg("df") = returns, py::arg("name") = "returns");
            }
            if (!py::isinstance(periods, sequence)) {
                py::list wrapped;
                wrapped.append(periods);
                periods = wrapped;
            }
            name_axes(factor_data);
            name_axes(returns);

            py::dict result;
            for (auto item : self.attr("preprocess_pipelines")) {
                auto [name, preprocessor] = unpack_pair(item);
                factor_data = preprocessor.attr("process")(factor_data);
                if (keep) result[name] = factor_data.attr("copy")();
            }
            for (auto item : self.attr("analysis_pipelines").attr("items")()) {
                auto [name, analyser] = unpack_pair(item);
                result[name] = analyser.attr("analysis")(factor_data, returns, periods, py::arg("ascending") = ascending);
            }
            return result;
        },
        py::arg("factor_data"), py::arg("returns"), py::arg("ascending") = false, py::arg("periods") = 1,
        py::arg("keep_preprocess_result") = false, analysis_doc);

    m.attr("FactorAnalysisEngine") = engine;
}

}  // namespace quellix::assaycore
