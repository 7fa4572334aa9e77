#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"
#include "assaycore/core/industry_codes.hpp"
#include "assaycore/core/industry_labels.hpp"
#include "assaycore/ic_tables.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
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

// The text signatures also let the cache treat a call with the default source
// and one naming it as the same call.
constexpr const char* kDataDoc = "get_all_industry_data(source='citics_2019')\n--\n\n"
                                 " 获取全市场行业分类变动数据\n\n"
                                 ":param source: 行业分类数据源，citics_2019 或 sws\n"
                                 ":return: pd.DataFrame，列为行业名称、order_book_id、start_date\n";
constexpr const char* kCategoryDoc = "get_all_industry_category(source='citics_2019')\n--\n\n"
                                     " 获取全市场行业分类编码\n\n"
                                     ":param source: 行业分类数据源，citics_2019 或 sws\n"
                                     ":return: pd.DataFrame，行为变动日期，列为 order_book_id，值为行业编码\n";

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
        set_column(df, py::str("start_date"), pd.attr("to_datetime")(df["start_date"]));
    } else {
        py::object data = client.attr("execute")("__internal__shenwan_industry");
        df = pd.attr("DataFrame")(data, py::arg("columns") = py::list(py::make_tuple(field, "order_book_id", "start_date", "version")));
        py::object start = pd.attr("to_datetime")(df["start_date"]);
        set_column(df, py::str("start_date"), start);
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

py::object category_with_pandas(const py::object& df, const py::object& field, const py::object& codes) {
    py::object table = df.attr("copy")();
    set_column(table, field, codes);
    table = table.attr("pivot")(py::arg("index") = "start_date", py::arg("columns") = "order_book_id",
                                py::arg("values") = field);
    return table.attr("ffill")().attr("bfill")().attr("astype")("int64");
}

// The pivot and fills are one pass in C++ (pandas takes seconds on a whole
// market); missing instruments or dates, which pandas drops, go through pandas.
py::object all_industry_category(const py::module_& m, const py::object& source) {
    py::module_ pd = py::module_::import("pandas");
    py::object df = m.attr("get_all_industry_data")(source);
    py::object field = m.attr("FIELD_MAPPING")[source];
    py::object codes = df[field].attr("astype")("category").attr("cat").attr("codes");
    py::tuple by_inst = pd.attr("Index")(df["order_book_id"]).attr("factorize")(py::arg("sort") = true);
    py::tuple by_date = pd.attr("Index")(df["start_date"]).attr("factorize")(py::arg("sort") = true);
    const auto inst = as_int64(by_inst[0]);
    const auto date = as_int64(by_date[0]);
    const auto code = as_int64(codes);
    const py::ssize_t rows = code.size();
    const bool labelled = rows > 0 && py::module_::import("numpy").attr("min")(inst).cast<std::int64_t>() >= 0 &&
                          py::module_::import("numpy").attr("min")(date).cast<std::int64_t>() >= 0;
    if (!labelled) return category_with_pandas(df, field, codes);
    py::object ids = by_inst[1].attr("rename")("order_book_id");
    py::object dates = by_date[1].attr("rename")("start_date");
    const auto n_inst = static_cast<std::int64_t>(py::len(ids)), n_dates = static_cast<std::int64_t>(py::len(dates));
    py::array_t<std::int64_t> out(std::vector<py::ssize_t>{n_dates, n_inst});
    bool unique = true;
    {
        std::int64_t* o = out.mutable_data();
        py::gil_scoped_release release;
        unique = core::industry_code_table(code.data(), inst.data(), date.data(), rows, n_dates, n_inst, o);
    }
    if (!unique) throw py::value_error("Index contains duplicate entries, cannot reshape");
    return pd.attr("DataFrame")(out, py::arg("index") = dates, py::arg("columns") = ids, py::arg("copy") = false);
}

py::object wall_days(const py::object& dates) {
    py::object index = pd().attr("DatetimeIndex")(dates);
    if (!index.attr("tz").is_none()) index = index.attr("tz_localize")(py::none());
    return index.attr("normalize")();
}

// Labels are matched by calendar day, so an intraday timestamp takes the
// label of its date (core/industry_labels.hpp says which change is in force).
py::object load_industry_data(const py::module_& m, const py::object& order_book_ids, const py::object& dates,
                              const py::object& source) {
    py::module_ pd = py::module_::import("pandas");
    py::module_ np = py::module_::import("numpy");
    py::object changes = m.attr("get_all_industry_data")(source);
    py::object field = m.attr("FIELD_MAPPING")[source];
    py::object ids = pd.attr("Index")(order_book_ids);
    py::object when = pd.attr("Index")(dates);

    py::object names = changes[field];
    py::object categories = pd.attr("Index")(names.attr("dropna")().attr("unique")()).attr("sort_values")();
    py::object distinct_ids = ids.attr("unique")();
    const auto label = as_int64(categories.attr("get_indexer")(names));
    const auto owner = as_int64(pd.attr("Index")(distinct_ids).attr("get_indexer")(changes["order_book_id"]));
    // Both sides in nanoseconds: the source and the caller may each deliver
    // any resolution. An aware date is looked up by its own calendar day.
    const auto start = as_datetime_ns(wall_days(changes["start_date"]));
    py::object query = wall_days(when);
    const auto day = as_datetime_ns(query);
    const py::array_t<bool> no_day = np.attr("asarray")(query.attr("isna")());
    const auto id_slot = as_int64(pd.attr("Index")(distinct_ids).attr("get_indexer")(ids));

    const py::ssize_t capacity = day.size() * id_slot.size();
    py::array_t<std::int32_t> out_code(capacity), out_row(capacity), out_col(capacity);
    const core::ChangeHistory history{label.data(), owner.data(), start.data(), label.size(),
                                             static_cast<std::ptrdiff_t>(py::len(distinct_ids))};
    const core::LabelQuery query_cells{day.data(), no_day.data(), day.size(), id_slot.data(), id_slot.size(),
                                       static_cast<std::ptrdiff_t>(py::len(categories))};
    std::vector<std::int64_t> used;
    py::ssize_t count = 0;
    {
        std::int32_t *oc = out_code.mutable_data(), *orow = out_row.mutable_data(), *ocol = out_col.mutable_data();
        py::gil_scoped_release release;
        count = core::labels_in_force(history, query_cells, oc, orow, ocol, used);
    }
    py::slice filled(0, count, 1);
    py::object level_rows = out_row[filled], level_cols = out_col[filled];
    py::list level_names;
    level_names.append(when.attr("name"));
    level_names.append(ids.attr("name"));
    py::object index;
    if (when.attr("is_unique").cast<bool>() && ids.attr("is_unique").cast<bool>()) {
        index = pd.attr("MultiIndex")(py::arg("levels") = py::make_tuple(when, ids),
                                      py::arg("codes") = py::make_tuple(level_rows, level_cols), py::arg("names") = level_names,
                                      py::arg("verify_integrity") = false);
    } else {
        index = pd.attr("MultiIndex").attr("from_arrays")(
            py::make_tuple(when.attr("take")(level_rows), ids.attr("take")(level_cols)), py::arg("names") = level_names);
    }
    // Categorical storage keeps millions of labels cheap.
    py::array_t<std::int64_t> used_codes(static_cast<py::ssize_t>(used.size()), used.data());
    py::object labels = pd.attr("Categorical").attr("from_codes")(out_code[filled], categories.attr("take")(used_codes));
    return pd.attr("Series")(labels, py::arg("index") = index);
}

}  // namespace

void bind_industry(py::module_& m) {
    py::object cache = m.attr("ttl_cache")(10800);
    py::module_ mod = m;
    m.attr("get_all_industry_data") = cache(py::cpp_function(
        [mod](const py::object& source) { return all_industry_data(mod, source); }, py::name("get_all_industry_data"),
        py::arg("source") = "citics_2019", kDataDoc));
    m.attr("get_all_industry_category") = cache(py::cpp_function(
        [mod](const py::object& source) { return all_industry_category(mod, source); }, py::name("get_all_industry_category"),
        py::arg("source") = "citics_2019", kCategoryDoc));
    m.def(
        "_load_industry_data",
        [mod](const py::object& order_book_ids, const py::object& dates, const py::object& source) {
            return load_industry_data(mod, order_book_ids, dates, source);
        },
        kLoadDoc, py::arg("order_book_ids"), py::arg("dates"), py::arg("source") = "citics_2019");
}

}  // namespace quellix::assaycore
