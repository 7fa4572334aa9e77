#include "common/pybind11.hpp"
#include "assaycore/frames.hpp"
#include "assaycore/core/long_to_wide.hpp"

#include <optional>
#include <string>

namespace quellix::assaycore {

using core::Element;

namespace {

std::optional<Element> native_element(const py::dtype& dt) {
    if (dt.equal(py::dtype::of<double>())) return Element::float64;
    if (dt.equal(py::dtype::of<float>())) return Element::float32;
    if (dt.equal(py::dtype::of<std::int8_t>())) return Element::int8;
    if (dt.equal(py::dtype::of<std::int16_t>())) return Element::int16;
    if (dt.equal(py::dtype::of<std::int32_t>())) return Element::int32;
    if (dt.equal(py::dtype::of<std::int64_t>())) return Element::int64;
    if (dt.equal(py::dtype::of<std::uint8_t>())) return Element::uint8;
    if (dt.equal(py::dtype::of<std::uint16_t>())) return Element::uint16;
    if (dt.equal(py::dtype::of<std::uint32_t>())) return Element::uint32;
    if (dt.equal(py::dtype::of<std::uint64_t>())) return Element::uint64;
    if (dt.equal(py::dtype::of<bool>())) return Element::boolean;
    return std::nullopt;
}

// Object columns are accepted only when they hold numbers: numpy would happily
// turn the text "1.5" into a float, where the arithmetic on the table fails.
void check_object_columns(const py::object& df, const char* name) {
    static const char* const numeric_kinds[] = {"integer", "floating", "mixed-integer-float", "decimal", "boolean",
                                                "empty"};
    py::object infer = pd().attr("api").attr("types").attr("infer_dtype");
    py::object objects = df.attr("select_dtypes")(py::arg("include") = "object");
    py::object labels = objects.attr("columns");
    py::object iloc = objects.attr("iloc");
    for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(py::len(labels)); ++i) {
        py::object column = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), i)];
        py::object label = labels[py::int_(i)];
        std::string kind = infer(column, py::arg("skipna") = true).cast<std::string>();
        bool ok = false;
        for (const char* allowed : numeric_kinds) ok = ok || kind == allowed;
        if (!ok) {
            throw py::type_error(py::str("{}: expect numeric values, column {!r} holds {} values")
                                     .format(name, label, kind)
                                     .cast<std::string>());
        }
    }
}

}  // namespace

void require_frame(const py::object& df, const char* name) {
    if (!py::isinstance(df, pd().attr("DataFrame"))) {
        throw py::type_error(py::str("{}: expect pd.DataFrame, got {}").format(name, py::type::of(df)).cast<std::string>());
    }
}

NumericValues numeric_values(const py::object& df, const char* name) {
    py::object types = pd().attr("api").attr("types");
    py::object dtypes = py::module_::import("builtins").attr("set")(df.attr("dtypes"));
    std::optional<Element> single;
    bool in_place = py::len(dtypes) == 1;
    for (auto dt : dtypes) {
        if (types.attr("is_object_dtype")(dt).cast<bool>()) {
            check_object_columns(df, name);
            in_place = false;
            continue;
        }
        bool numeric = types.attr("is_bool_dtype")(dt).cast<bool>() ||
                       (types.attr("is_numeric_dtype")(dt).cast<bool>() && !types.attr("is_complex_dtype")(dt).cast<bool>());
        if (!numeric) {
            throw py::type_error(py::str("{}: expect numeric values, got dtype {}").format(name, dt).cast<std::string>());
        }
        if (py::isinstance(dt, np().attr("dtype"))) single = native_element(py::reinterpret_borrow<py::dtype>(dt));
    }
    if (in_place && single) {
        py::object values = df.attr("to_numpy")();
        // astype keeps the memory order, so a column-major table stays one.
        if (*single != Element::float64) values = values.attr("astype")(np().attr("float64"));
        return {values, *single};
    }
    return {df.attr("to_numpy")(py::arg("dtype") = np().attr("float64"), py::arg("na_value") = np().attr("nan")),
            Element::float64};
}

py::array_t<double> frame_values(const py::object& df, const char* name) {
    NumericValues v = numeric_values(df, name);
    return np().attr("ascontiguousarray")(v.array, py::arg("dtype") = "float64");
}

py::array_t<std::int64_t> as_datetime_ns(const py::object& dates) {
    py::object index = py::isinstance(dates, pd().attr("DatetimeIndex")) ? dates : pd().attr("DatetimeIndex")(dates);
    // Aware dates as their UTC instants: newer pandas deprecates .values of an
    // aware index. .values is then naive datetime64 in the index's own unit on
    // every pandas from 1.5 on; numpy rescales it exactly.
    if (!index.attr("tz").is_none()) index = index.attr("tz_convert")(py::none());
    py::object values = np().attr("asarray")(index.attr("values"), py::arg("dtype") = "datetime64[ns]");
    return np().attr("ascontiguousarray")(values.attr("view")("int64"));
}

namespace {

// Position of each level value in ascending order (the level itself when it
// is sorted already, as MultiIndex levels usually are).
std::pair<py::array_t<std::int64_t>, py::object> ascending_ranks(const py::object& level) {
    const auto n = static_cast<py::ssize_t>(py::len(level));
    if (level.attr("is_monotonic_increasing").cast<bool>()) {
        return {np().attr("arange")(n, py::arg("dtype") = "int64"), level};
    }
    py::array_t<std::int64_t> order = np().attr("asarray")(level.attr("argsort")(), py::arg("dtype") = "int64");
    py::array_t<std::int64_t> rank(n);
    for (py::ssize_t k = 0; k < n; ++k) rank.mutable_data()[order.data()[k]] = k;
    return {rank, level.attr("take")(order)};
}

template <class F>
void with_codes(const py::array& codes, F&& f) {
    switch (codes.itemsize()) {
        case 1: f(static_cast<const std::int8_t*>(codes.data())); break;
        case 2: f(static_cast<const std::int16_t*>(codes.data())); break;
        case 4: f(static_cast<const std::int32_t*>(codes.data())); break;
        default: f(static_cast<const std::int64_t*>(codes.data())); break;
    }
}

WideTable unstack_with_pandas(const py::object& series) {
    py::object wide = series.attr("unstack")(py::arg("level") = 0);
    return {frame_values(wide, "values"), wide.attr("index"), wide.attr("columns")};
}

}  // namespace

WideTable unstack_first_level(const py::object& series) {
    py::object index = series.attr("index");
    if (!py::isinstance(index, pd().attr("MultiIndex")) || py::len(index.attr("levels")) != 2) {
        return unstack_with_pandas(series);
    }
    index = index.attr("remove_unused_levels")();
    py::array col_codes = np().attr("ascontiguousarray")(index.attr("codes")[py::int_(0)]);
    py::array row_codes = np().attr("ascontiguousarray")(index.attr("codes")[py::int_(1)]);
    py::object values_obj = series.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = np().attr("nan"));
    py::array_t<double> values = np().attr("ascontiguousarray")(values_obj);
    // Missing keys (code -1) are pandas' business.
    if (col_codes.dtype().kind() != 'i' || row_codes.dtype().kind() != 'i' ||
        (py::len(series) && (np().attr("min")(col_codes).cast<std::int64_t>() < 0 ||
                             np().attr("min")(row_codes).cast<std::int64_t>() < 0))) {
        return unstack_with_pandas(series);
    }
    auto [col_rank, columns] = ascending_ranks(index.attr("levels")[py::int_(0)]);
    auto [row_rank, rows] = ascending_ranks(index.attr("levels")[py::int_(1)]);
    columns = columns.attr("rename")(index.attr("names")[py::int_(0)]);
    rows = rows.attr("rename")(index.attr("names")[py::int_(1)]);
    const std::int64_t n = values.size(), R = row_rank.size(), C = col_rank.size();
    py::array_t<double> out({static_cast<py::ssize_t>(R), static_cast<py::ssize_t>(C)});
    bool unique = true;
    {
        double* dst = out.mutable_data();
        py::gil_scoped_release release;
        with_codes(row_codes, [&](auto rc) {
            with_codes(col_codes, [&](auto cc) {
                unique = core::scatter_long(values.data(), rc, cc, n, row_rank.data(), col_rank.data(), R, C, dst);
            });
        });
    }
    if (!unique) throw py::value_error("Index contains duplicate entries, cannot reshape");
    return {out, rows, columns};
}

std::vector<std::int64_t> holding_periods(const py::object& periods) {
    if (!py::isinstance<py::iterable>(periods) || py::isinstance<py::str>(periods)) {
        throw py::type_error(py::str("periods: expect a list or tuple of integers, got {!r}").format(periods).cast<std::string>());
    }
    std::vector<std::int64_t> out;
    for (auto p : periods) {
        const std::int64_t step = integer_argument(p, "periods", "integers");
        if (step == kIntMax) throw py::value_error(py::str("periods: {} is too large").format(p).cast<std::string>());
        if (step < 1) throw py::value_error(py::str("periods: expect integers >= 1, got {}").format(p).cast<std::string>());
        out.push_back(step);
    }
    return out;
}

std::int64_t integer_argument(const py::handle& value, const char* what, const char* expected) {
    if (!PyIndex_Check(value.ptr()) || PyBool_Check(value.ptr())) {
        throw py::type_error(py::str("{}: expect {}, got {!r} ({})")
                                 .format(what, expected, value, py::type::of(value))
                                 .cast<std::string>());
    }
    py::object integer = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!integer) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow > 0 ? kIntMax : overflow < 0 ? kIntMin : v;
}

py::object make_frame(const py::object& values, const py::object& index, const py::object& columns) {
    return pd().attr("DataFrame")(values, py::arg("index") = index, py::arg("columns") = columns, py::arg("copy") = false);
}

}  // namespace quellix::assaycore
