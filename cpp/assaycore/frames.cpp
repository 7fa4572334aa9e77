#include "common/pybind11.hpp"
#include "assaycore/frames.hpp"

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
    if (in_place && single) return {df.attr("to_numpy")(), *single};
    return {df.attr("to_numpy")(py::arg("dtype") = np().attr("float64"), py::arg("na_value") = np().attr("nan")),
            Element::float64};
}

py::array_t<double> frame_values(const py::object& df, const char* name) {
    NumericValues v = numeric_values(df, name);
    return np().attr("ascontiguousarray")(v.array, py::arg("dtype") = "float64");
}

py::array_t<std::int64_t> as_datetime_ns(const py::object& dates) {
    py::object index = py::isinstance(dates, pd().attr("DatetimeIndex")) ? dates : pd().attr("DatetimeIndex")(dates);
    // .values is naive datetime64 in the index's own unit (UTC for aware
    // indexes) on every pandas from 1.5 on; numpy rescales it exactly.
    py::object values = np().attr("asarray")(index.attr("values"), py::arg("dtype") = "datetime64[ns]");
    return np().attr("ascontiguousarray")(values.attr("view")("int64"));
}

std::vector<std::int64_t> holding_periods(const py::object& periods) {
    if (!py::isinstance<py::iterable>(periods) || py::isinstance<py::str>(periods)) {
        throw py::type_error(py::str("periods: expect a list or tuple of integers, got {!r}").format(periods).cast<std::string>());
    }
    std::vector<std::int64_t> out;
    for (auto p : periods) {
        if (!PyIndex_Check(p.ptr()) || PyBool_Check(p.ptr())) {
            throw py::type_error(
                py::str("periods: expect integers, got {!r} ({})").format(p, py::type::of(p)).cast<std::string>());
        }
        py::object integer = py::reinterpret_steal<py::object>(PyNumber_Index(p.ptr()));
        if (!integer) throw py::error_already_set();
        int overflow = 0;
        const long long step = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
        if (step == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow > 0) throw py::value_error(py::str("periods: {} is too large").format(p).cast<std::string>());
        if (overflow < 0 || step < 1) {
            throw py::value_error(py::str("periods: expect integers >= 1, got {}").format(p).cast<std::string>());
        }
        out.push_back(step);
    }
    return out;
}

py::object make_frame(const py::object& values, const py::object& index, const py::object& columns) {
    return pd().attr("DataFrame")(values, py::arg("index") = index, py::arg("columns") = columns, py::arg("copy") = false);
}

}  // namespace quellix::assaycore
