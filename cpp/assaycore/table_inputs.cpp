#include "common/pybind11.hpp"
#include "assaycore/table_inputs.hpp"

#include <string>

namespace quellix::assaycore {
namespace {

std::string text(const py::str& s) { return s.cast<std::string>(); }

void warn(const py::str& message) { py::module_::import("warnings").attr("warn")(message); }

// The first label of `labels` that occurs again, for the message.
py::object first_repeat(const py::object& labels) { return labels[labels.attr("duplicated")()][py::int_(0)]; }

// A few labels of an axis, enough to see what it holds.
py::object some(const py::object& labels) {
    py::list head(labels[py::slice(py::int_(0), py::int_(3), py::none())]);
    return py::len(labels) > 3 ? py::object(py::str("{} ... ({} in all)").format(head, py::len(labels))) : py::object(head);
}

}  // namespace

void require_unique_columns(const py::object& df, const char* name) {
    py::object columns = df.attr("columns");
    if (!columns.attr("is_unique").cast<bool>()) {
        throw py::value_error(text(py::str("{}: the columns repeat an instrument ({!r}); each must appear once")
                                       .format(name, first_repeat(columns))));
    }
}

DatedTable dated_table(const py::object& df, const char* name) {
    require_frame(df, name);
    py::object index = df.attr("index");
    if (!py::isinstance(index, pd().attr("DatetimeIndex"))) {
        throw py::value_error(
            text(py::str("{}: expect index type=pd.DatetimeIndex, got {}").format(name, py::type::of(index))));
    }
    if (index.attr("hasnans").cast<bool>()) {
        py::object row = np().attr("flatnonzero")(index.attr("isna")())[py::int_(0)];
        throw py::value_error(text(py::str("{}: the index holds a missing date (NaT) at row {}").format(name, row)));
    }
    // A repeated date has no single place in time: matched, it would be read twice.
    if (!index.attr("is_unique").cast<bool>()) {
        throw py::value_error(
            text(py::str("{}: the index repeats a date ({}); each must appear once").format(name, first_repeat(index))));
    }
    require_unique_columns(df, name);

    DatedTable t;
    t.name = name;
    t.tz = index.attr("tz");
    py::array_t<std::int64_t> ns = as_datetime_ns(index);
    if (index.attr("is_monotonic_increasing").cast<bool>()) {
        t.frame = df;
        t.ns = ns;
        return t;
    }
    py::object order = np().attr("argsort")(ns, py::arg("kind") = "stable");
    t.frame = df.attr("take")(order);
    t.ns = np().attr("ascontiguousarray")(ns.attr("take")(order));
    return t;
}

void require_comparable_dates(const DatedTable& a, const DatedTable& b) {
    if (a.tz.is_none() == b.tz.is_none()) return;
    const DatedTable& aware = a.tz.is_none() ? b : a;
    const DatedTable& naive = a.tz.is_none() ? a : b;
    throw py::value_error(text(py::str("the dates of {} carry a time zone ({}) and those of {} do not, so they cannot be "
                                       "matched; give both the same kind of dates (tz_localize or tz_convert(None))")
                                   .format(aware.name, aware.tz, naive.name)));
}

py::object local_dates(const py::object& dates) {
    py::object index = py::isinstance(dates, pd().attr("DatetimeIndex")) ? dates : pd().attr("DatetimeIndex")(dates);
    return index.attr("tz").is_none() ? index : index.attr("tz_localize")(py::none());
}

py::array_t<std::int64_t> local_ns(const py::object& dates) { return as_datetime_ns(local_dates(dates)); }

void require_possible_returns(const DatedTable& returns) {
    py::object values = numeric_values(returns.frame, returns.name).array;
    // A return below -1 loses more than everything; an infinite one spreads to
    // every portfolio and correlation it enters.
    py::object bad = np().attr("logical_or")(np().attr("isinf")(values), np().attr("less")(values, -1));
    const auto count = np().attr("count_nonzero")(bad).cast<std::int64_t>();
    if (count == 0) return;
    py::tuple first = np().attr("argwhere")(bad)[py::int_(0)].attr("tolist")();
    const py::object row = first[0], col = first[1];
    throw py::value_error(text(py::str("{}: {} cell(s) hold an infinite return or one below -1, the first on {} for "
                                       "{!r} ({}); expect simple returns, NaN where missing")
                                   .format(returns.name, count, returns.frame.attr("index")[row],
                                           returns.frame.attr("columns")[col], values[py::make_tuple(row, col)])));
}

void warn_no_common_dates(const py::object& factor_dates, const py::object& return_dates) {
    auto has_time = [](const py::object& dates) {
        return !dates.attr("equals")(dates.attr("normalize")()).cast<bool>();
    };
    py::str cause;
    if (factor_dates.attr("tz").is_none() != return_dates.attr("tz").is_none()) {
        const bool factor_aware = !factor_dates.attr("tz").is_none();
        cause = py::str("{}'s dates carry a time zone ({}) and {}'s do not")
                    .format(factor_aware ? "factor_data" : "returns",
                            (factor_aware ? factor_dates : return_dates).attr("tz"), factor_aware ? "returns" : "factor_data");
    } else if (has_time(factor_dates) != has_time(return_dates)) {
        const bool factor_timed = has_time(factor_dates);
        py::object timed = factor_timed ? factor_dates : return_dates;
        cause = py::str("{}'s dates carry a time of day (such as {}) and {}'s are at midnight")
                    .format(factor_timed ? "factor_data" : "returns", timed[py::int_(0)], factor_timed ? "returns" : "factor_data");
    } else {
        cause = py::str("factor_data runs from {} to {} and returns from {} to {}")
                    .format(factor_dates.attr("min")(), factor_dates.attr("max")(), return_dates.attr("min")(),
                            return_dates.attr("max")());
    }
    warn(py::str("factor_data and returns have no date in common, so every result is empty: {}").format(cause));
}

void warn_if_disjoint(const DatedTable& factor, const DatedTable& returns) {
    py::object fi = factor.frame.attr("index"), ri = returns.frame.attr("index");
    if (py::len(fi) > 0 && py::len(ri) > 0 &&
        np().attr("intersect1d")(factor.ns, returns.ns).attr("size").cast<std::int64_t>() == 0) {
        warn_no_common_dates(fi, ri);
    }
    py::object fc = factor.frame.attr("columns"), rc = returns.frame.attr("columns");
    if (py::len(fc) > 0 && py::len(rc) > 0 && py::len(fc.attr("intersection")(rc)) == 0) {
        warn(py::str("factor_data and returns have no instrument in common, so every result is empty: factor_data "
                     "holds {} and returns {}")
                 .format(some(fc), some(rc)));
    }
}

AnalysisTables analysis_tables(const py::object& factor_data, const py::object& returns, bool check_returns) {
    AnalysisTables t{dated_table(factor_data, "factor_data"), dated_table(returns, "returns")};
    require_comparable_dates(t.factor, t.returns);
    if (check_returns) require_possible_returns(t.returns);
    warn_if_disjoint(t.factor, t.returns);
    return t;
}

bool flag_argument(const py::handle& value, const char* name, bool zero_one) {
    if (PyBool_Check(value.ptr()) || py::isinstance(value, np().attr("bool_"))) return PyObject_IsTrue(value.ptr()) == 1;
    if (zero_one && PyIndex_Check(value.ptr())) {
        const std::int64_t v = integer_argument(value, name, "True or False (or 1 or 0)");
        if (v == 0 || v == 1) return v == 1;
    }
    throw py::type_error(text(py::str("{}: expect True or False{}, got {!r} ({})")
                                  .format(name, zero_one ? " (or 1 or 0)" : "", value, py::type::of(value))));
}

bool is_integer_scalar(const py::handle& value) {
    if (PyBool_Check(value.ptr())) return false;
    return PyLong_Check(value.ptr()) || py::isinstance(value, np().attr("integer"));
}

std::vector<std::int64_t> period_list(const py::object& periods) {
    const bool one = is_integer_scalar(periods);
    return holding_periods(one ? py::object(py::make_tuple(periods)) : periods);
}

void require_periods_within(const std::vector<std::int64_t>& periods, std::int64_t rows, const char* what) {
    for (std::int64_t p : periods) {
        if (p >= rows) {
            throw py::value_error(text(py::str("periods: {} is not shorter than {} ({} rows), so no forward return exists")
                                           .format(p, what, rows)));
        }
    }
}

}  // namespace quellix::assaycore
