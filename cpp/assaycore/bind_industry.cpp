#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace quellix::assaycore {

namespace {

constexpr const char* kLoadDoc = R"( 加载行业分类数据

:param order_book_ids: 股票代码列表
:param dates: 日期列表
:param source: 行业分类数据源，citics_2019 或 sws
:return: MultiIndex(datetime, order_book_id) Series
)";

bool source_is(const py::object& source, const char* name) {
    return py::isinstance<py::str>(source) && source.cast<std::string>() == name;
}

py::object all_industry_data(const py::module_& m, const py::object& source) {
    py::module_ pd = py::module_::import("pandas");
    const bool citics = source_is(source, "citics_2019");
    const bool sws = source_is(source, "sws");
    if (!citics && !sws) {
        throw py::value_error(
            py::str("source: invalid source={}, expect one of [sws, citics_2019]").format(source).cast<std::string>());
    }
    py::object field = m.attr("FIELD_MAPPING")[source];
    py::object client = m.attr("vestamo").attr("client").attr("get_client")();
    py::object df;
    if (citics) {
        py::object data = client.attr("execute")("__internal__zx2019_industry");
        df = pd.attr("DataFrame")(data, py::arg("columns") = py::list(py::make_tuple(field, "order_book_id", "start_date")));
        df["start_date"] = pd.attr("to_datetime")(df["start_date"]);
    } else {
        py::object data = client.attr("execute")("__internal__shenwan_industry");
        df = pd.attr("DataFrame")(data, py::arg("columns") = py::list(py::make_tuple(field, "order_book_id", "start_date", "version")));
        py::object start = pd.attr("to_datetime")(df["start_date"]);
        df["start_date"] = start;
        // Edition in force at the start date; the boundaries themselves belong to the older edition.
        py::module_ np = py::module_::import("numpy");
        py::object select = np.attr("where")(start.attr("__gt__")(pd.attr("Timestamp")("2021-07-31")), 3,
                                             np.attr("where")(start.attr("__gt__")(pd.attr("Timestamp")("2014-01-01")), 2, 1));
        df = df[df["version"].attr("to_numpy")().attr("__eq__")(select)];
    }
    df = df.attr("sort_values")(py::list(py::make_tuple("order_book_id", "start_date")), py::arg("kind") = "stable");
    py::list columns;
    columns.append(field);
    columns.append("order_book_id");
    columns.append("start_date");
    return df[columns].attr("reset_index")(py::arg("drop") = true);
}

py::object all_industry_category(const py::module_& m, const py::object& source) {
    py::object df = m.attr("get_all_industry_data")(source).attr("copy")();
    py::object field = m.attr("FIELD_MAPPING")[source];
    df[field] = df[field].attr("astype")("category").attr("cat").attr("codes");
    py::object table = df.attr("pivot")(py::arg("index") = "start_date", py::arg("columns") = "order_book_id",
                                         py::arg("values") = field);
    return table.attr("ffill")().attr("bfill")().attr("astype")("int64");
}

// A label holds from its start date's calendar day until the instrument's next
// change, so a change dated on a non-trading day is in force from the next
// trading day, and an intraday timestamp takes the label of its calendar date.
// Before an instrument's first change it takes its first label.
py::object load_industry_data(const py::module_& m, const py::object& order_book_ids, const py::object& dates,
                              const py::object& source) {
    py::module_ pd = py::module_::import("pandas");
    py::module_ np = py::module_::import("numpy");
    py::object changes = m.attr("get_all_industry_data")(source);
    py::object field = m.attr("FIELD_MAPPING")[source];
    py::object ids = pd.attr("Index")(order_book_ids);
    py::object when = pd.attr("Index")(dates);

    py::object categories = pd.attr("Index")(changes[field].attr("dropna")().attr("unique")()).attr("sort_values")();
    py::object codes = categories.attr("get_indexer")(changes[field]);
    py::object coded = pd.attr("DataFrame")(py::dict(py::arg("code") = codes, py::arg("order_book_id") = changes["order_book_id"],
                                                     py::arg("start_date") = changes["start_date"]));
    py::object table = coded.attr("pivot")(py::arg("index") = "start_date", py::arg("columns") = "order_book_id",
                                           py::arg("values") = "code");
    table = table.attr("ffill")().attr("bfill")();
    py::array_t<double> states = np.attr("ascontiguousarray")(table.attr("to_numpy")(py::arg("dtype") = "float64"));

    py::object starts = pd.attr("DatetimeIndex")(table.attr("index")).attr("normalize")();
    py::object query = pd.attr("DatetimeIndex")(when);
    py::array_t<std::int64_t> row = np.attr("asarray")(
        starts.attr("searchsorted")(query.attr("normalize")(), py::arg("side") = "right"), "int64");
    py::array_t<bool> no_date = np.attr("asarray")(query.attr("isna")());
    py::array_t<std::int64_t> col = np.attr("asarray")(table.attr("columns").attr("get_indexer")(ids), "int64");

    const py::ssize_t n_dates = row.size(), n_ids = col.size();
    const py::ssize_t n_states = states.ndim() == 2 ? states.shape(0) : 0;
    const py::ssize_t width = states.ndim() == 2 ? states.shape(1) : 0;
    std::vector<std::int64_t> out_code, out_row, out_col;
    out_code.reserve(static_cast<std::size_t>(n_dates * n_ids));
    out_row.reserve(out_code.capacity());
    out_col.reserve(out_code.capacity());
    {
        auto s = states.unchecked<2>();
        auto r = row.unchecked<1>();
        auto c = col.unchecked<1>();
        auto nd = no_date.unchecked<1>();
        py::gil_scoped_release release;
        for (py::ssize_t t = 0; t < n_dates; ++t) {
            if (nd(t) || n_states == 0) continue;
            const py::ssize_t state = r(t) > 0 ? r(t) - 1 : 0;
            for (py::ssize_t i = 0; i < n_ids; ++i) {
                if (c(i) < 0 || c(i) >= width) continue;
                const double code = s(state, c(i));
                if (!(code >= 0)) continue;
                out_code.push_back(static_cast<std::int64_t>(code));
                out_row.push_back(t);
                out_col.push_back(i);
            }
        }
    }
    py::object level_rows = py::array_t<std::int64_t>(static_cast<py::ssize_t>(out_row.size()), out_row.data());
    py::object level_cols = py::array_t<std::int64_t>(static_cast<py::ssize_t>(out_col.size()), out_col.data());
    py::list names;
    names.append(when.attr("name"));
    names.append(ids.attr("name"));
    py::object index;
    if (when.attr("is_unique").cast<bool>() && ids.attr("is_unique").cast<bool>()) {
        index = pd.attr("MultiIndex")(py::arg("levels") = py::make_tuple(when, ids),
                                      py::arg("codes") = py::make_tuple(level_rows, level_cols), py::arg("names") = names,
                                      py::arg("verify_integrity") = false);
    } else {
        index = pd.attr("MultiIndex").attr("from_arrays")(py::make_tuple(when.attr("take")(level_rows), ids.attr("take")(level_cols)),
                                                          py::arg("names") = names);
    }
    // Categorical storage keeps millions of labels cheap; only labels that occur are categories.
    py::object labels = pd.attr("Categorical").attr("from_codes")(
        py::array_t<std::int64_t>(static_cast<py::ssize_t>(out_code.size()), out_code.data()), categories);
    return pd.attr("Series")(labels.attr("remove_unused_categories")(), py::arg("index") = index);
}

}  // namespace

void bind_industry(py::module_& m) {
    py::object cache = m.attr("ttl_cache")(10800);
    py::module_ mod = m;
    m.attr("get_all_industry_data") = cache(py::cpp_function(
        [mod](const py::object& source) { return all_industry_data(mod, source); }, py::name("get_all_industry_data"),
        py::arg("source") = "citics_2019"));
    m.attr("get_all_industry_category") = cache(py::cpp_function(
        [mod](const py::object& source) { return all_industry_category(mod, source); }, py::name("get_all_industry_category"),
        py::arg("source") = "citics_2019"));
    m.def(
        "_load_industry_data",
        [mod](const py::object& order_book_ids, const py::object& dates, const py::object& source) {
            return load_industry_data(mod, order_book_ids, dates, source);
        },
        kLoadDoc, py::arg("order_book_ids"), py::arg("dates"), py::arg("source") = "citics_2019");
}

}  // namespace quellix::assaycore
