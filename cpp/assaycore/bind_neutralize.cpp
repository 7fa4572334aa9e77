#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"
#include "assaycore/core/neutralize.hpp"
#include "assaycore/frames.hpp"
#include "assaycore/table_inputs.hpp"
#include "common/pyclass.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace quellix::assaycore {

namespace {

using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

constexpr const char* kInitDoc =
    "__init_impl__(self, industry='citics_2019', style_factors='all', other_factors=None)\n--\n\n"
    " 因子中性化处理\n\n"
    ":param industry: 行业数据源，默认为 citics_2019，可选 citics_2019、sws 或 None，None 表示不做行业中性化\n"
    ":param style_factors: 风格因子，默认为 'all'，即全部风格因子；None 表示不做风格中性化\n"
    ":param other_factors: 其他需要中性化的因子，list of pd.DataFrame\n"
    "industry、style_factors、other_factors 不能都为 None\n";

// A float64 view of a table's values in their own layout (no copy for a
// float64 table).
py::array float_values(const py::object& df, const char* name) {
    NumericValues v = numeric_values(df, name);
    return np().attr("asarray")(v.array, py::arg("dtype") = "float64");
}

// Positions of `keys` in `labels` (-1: absent). Reindexing needs labels that
// occur once, and so does this.
Int64Array positions(const py::object& labels, const py::object& keys, const std::string& what) {
    if (!labels.attr("is_unique").cast<bool>()) {
        py::object repeated = labels[labels.attr("duplicated")()][py::int_(0)];
        throw py::value_error(what + ": " + py::repr(repeated).cast<std::string>() +
                              " appears more than once; labels must be unique to be matched");
    }
    return labels.attr("get_indexer")(keys);
}

// Everything the core reads, kept alive while the GIL is released.
struct Inputs {
    std::vector<py::array> keep;
    core::StyleExposures style;
    core::IndustryCodes industry;
    std::vector<core::UserFactor> users;

    template <class T>
    core::StridedTable<T> table(py::array a) {
        keep.push_back(a);
        return {static_cast<const char*>(a.data()), a.strides(0), a.strides(1), a.shape(0), a.shape(1)};
    }
    const std::int64_t* ints(const py::object& a) {
        Int64Array array(a);
        keep.push_back(array);
        return array.data();
    }
    // Index codes as pandas keeps them (signed integers of any width).
    core::Codes codes(const py::object& a) {
        py::array array = np().attr("ascontiguousarray")(a);
        if (array.dtype().kind() != 'i') array = Int64Array(array);
        keep.push_back(array);
        return {array.data(), static_cast<int>(array.itemsize())};
    }
    const std::int64_t* minus_ones(py::ssize_t n) {
        Int64Array array(n);
        std::fill(array.mutable_data(), array.mutable_data() + n, -1);
        keep.push_back(array);
        return array.data();
    }
};

// Instruments and dates that lack what a fit needs, reported once per kind
// with their count. Only those with a factor value count: the others lose nothing.
struct Coverage {
    py::list ids;
    py::object index;
    py::array_t<bool> col_used, row_used;

    void report(const char* what, const std::int64_t* col_pos, const std::int64_t* row_pos, const char* effect) const {
        if (col_pos) tell(what, col_pos, col_used, "instruments", effect, [&](py::ssize_t k) { return py::repr(ids[k]); });
        if (row_pos) tell(what, row_pos, row_used, "dates", effect, [&](py::ssize_t k) { return py::str(index[py::int_(k)]); });
    }

private:
    template <class Name>
    static void tell(const char* what, const std::int64_t* pos, const py::array_t<bool>& used, const char* unit,
                     const char* effect, const Name& name) {
        const bool* u = used.data();
        const py::ssize_t n = used.size();
        py::ssize_t missing = 0, with_values = 0, first = -1;
        for (py::ssize_t k = 0; k < n; ++k) {
            if (!u[k]) continue;
            ++with_values;
            if (pos[k] < 0 && missing++ == 0) first = k;
        }
        if (missing == 0) return;
        py::module_::import("warnings").attr("warn")(py::str("Neutralization: {} of {} {} {}, such as {}; {}")
                                                         .format(missing, with_values, unit, what, name(first), effect));
    }
};

// Step 1 and 2: the client's exposures, matched to the rows by date (by
// calendar day for intraday rows) and to the columns by instrument.
void read_style(const py::module_& m, const py::object& self, const py::object& index, const py::list& ids,
                Inputs& in, const Coverage& cover) {
    // The client's dates are naive: aware dates are looked up by their own
    // calendar day, and the range spans the dates in whatever order they come.
    py::object local = local_dates(index);
    py::object exposures = m.attr("vestamo").attr("get_style_factor_exposure")(
        py::arg("order_book_ids") = ids, py::arg("start_date") = local.attr("min")(),
        py::arg("end_date") = local.attr("max")(), py::arg("factors") = self.attr("style_factors"));
    const bool daily = py::bool_(m.attr("_is_date_frequency_index")(index));
    in.style.present = true;
    if (exposures.is_none()) {
        cover.report("have no style exposures", in.minus_ones(static_cast<py::ssize_t>(ids.size())), nullptr,
                     "their residuals are NaN");
        // No instrument has exposures: every instrument drops out of every fit.
        in.style.values = in.table<double>(py::array_t<double>(std::vector<py::ssize_t>{0, 1}));
        in.style.inst = in.style.date = core::Codes{in.minus_ones(0), 8};
        in.style.inst_of_col = in.minus_ones(static_cast<py::ssize_t>(ids.size()));
        in.style.date_of_row = in.minus_ones(static_cast<py::ssize_t>(py::len(index)));
        return;
    }
    if (!py::isinstance(exposures, pd().attr("DataFrame"))) {
        throw py::type_error(py::str("style exposures: expect a pd.DataFrame indexed by (order_book_id, date), got {}")
                                 .format(py::type::of(exposures))
                                 .cast<std::string>());
    }
    py::object rows = exposures.attr("index");
    py::list names(rows.attr("names"));
    if (!py::isinstance(rows, pd().attr("MultiIndex")) || names.size() != 2 || !names.contains("order_book_id")) {
        throw py::value_error(py::str("style exposures: expect a row index of two levels, order_book_id and the date, "
                                      "got {}")
                                  .format(names)
                                  .cast<std::string>());
    }
    const int inst_level = py::str(names[0]).equal(py::str("order_book_id")) ? 0 : 1;
    py::object inst_labels = rows.attr("levels")[py::int_(inst_level)];
    py::object date_labels = rows.attr("levels")[py::int_(1 - inst_level)];
    py::object row_dates = daily ? local : local.attr("normalize")();

    in.style.values = in.table<double>(float_values(exposures, "style exposures"));
    in.style.inst = in.codes(rows.attr("codes")[py::int_(inst_level)]);
    in.style.date = in.codes(rows.attr("codes")[py::int_(1 - inst_level)]);
    in.style.inst_levels = static_cast<std::int64_t>(py::len(inst_labels));
    in.style.date_levels = static_cast<std::int64_t>(py::len(date_labels));
    in.style.inst_of_col = in.ints(positions(inst_labels, ids, "style exposures"));
    in.style.date_of_row = in.ints(
        positions(pd().attr("Index")(as_datetime_ns(date_labels)), as_datetime_ns(row_dates), "style exposure dates"));
    cover.report("have no style exposures", in.style.inst_of_col, in.style.date_of_row, "their residuals are NaN");
}

// Step 3: the codes in force on each row date (the latest change on or before
// it; the first change for a date before every change).
void read_industry(const py::module_& m, const py::object& self, const py::object& index, const py::list& ids,
                   Inputs& in, const Coverage& cover) {
    py::object table = m.attr("get_all_industry_category")(self.attr("industry"));
    py::array codes = np().attr("asarray")(table.attr("to_numpy")(), py::arg("dtype") = "int64");
    py::object changes = as_datetime_ns(table.attr("index"));
    in.industry.present = true;
    in.industry.codes = in.table<std::int64_t>(codes);
    in.industry.col_of = in.ints(positions(table.attr("columns"), ids, "industry codes"));
    in.industry.position_of_row = in.ints(
        np().attr("searchsorted")(changes, local_ns(index), py::arg("side") = "right").attr("__sub__")(1));
    const std::string source = py::str(self.attr("industry")).cast<std::string>();
    cover.report(("have no industry in " + source).c_str(), in.industry.col_of, nullptr,
                 "they are left out of the industry demeaning");
    cover.report(("precede the industry data of " + source).c_str(), nullptr, in.industry.position_of_row,
                 "they take its earliest classification");
}

// Step 4: user tables that are given and have rows, matched by date and
// instrument.
void read_users(const py::object& self, const DatedTable& factor, const py::object& index, const py::list& ids,
                Inputs& in, const Coverage& cover) {
    py::object others = self.attr("other_factors");
    if (others.is_none()) return;
    py::object row_dates = as_datetime_ns(index);
    py::ssize_t k = -1;
    for (auto entry : others) {
        ++k;
        if (entry.is_none()) continue;
        const std::string name = "other_factors[" + std::to_string(k) + "]";
        const py::object table = py::reinterpret_borrow<py::object>(entry);
        DatedTable user = dated_table(table, name.c_str());
        require_comparable_dates(factor, user);
        if (py::len(entry) == 0) continue;
        core::UserFactor f;
        f.values = in.table<double>(float_values(table, name.c_str()));
        f.row_of = in.ints(positions(pd().attr("Index")(as_datetime_ns(entry.attr("index"))), row_dates, name + " dates"));
        f.col_of = in.ints(positions(entry.attr("columns"), ids, name + " columns"));
        cover.report(("are missing from " + name).c_str(), f.col_of, f.row_of, "their residuals are NaN");
        in.users.push_back(f);
    }
}

void init(const py::module_& m, const py::object& self, const py::object& industry, const py::object& style_factors,
          const py::object& other_factors) {
    py::object valid = m.attr("VALID_INDUSTRY_SOURCE");
    if (py::bool_(industry) && !valid.contains(industry)) {
        throw py::value_error(py::str("industry: expect one of {}, got {}").format(valid, industry).cast<std::string>());
    }
    if (industry.is_none() && style_factors.is_none() && other_factors.is_none()) {
        throw py::value_error("Expect at least one of [industry, style_factors, other_factors] not None, but get both None.");
    }
    if (!other_factors.is_none() && !py::isinstance<py::list>(other_factors) && !py::isinstance<py::tuple>(other_factors)) {
        throw py::type_error(py::str("other_factors: expect None or a list of pd.DataFrame, got {!r} ({})")
                                 .format(other_factors, py::type::of(other_factors))
                                 .cast<std::string>());
    }
    const bool all = py::isinstance<py::str>(style_factors) && style_factors.cast<std::string>() == "all";
    self.attr("industry") = industry;
    self.attr("style_neutralize") = py::bool_(py::bool_(style_factors));
    self.attr("style_factors") = all ? py::none() : style_factors;
    self.attr("other_factors") = other_factors;
}

// Each date is fitted alone, so the rows are read in the order they come
// and the result keeps it.
py::object process(const py::module_& m, const py::object& self, const py::object& df) {
    const DatedTable table = dated_table(df, "df");
    py::object index = df.attr("index");
    py::list ids(df.attr("columns"));
    const auto n_dates = static_cast<py::ssize_t>(py::len(index));
    const auto n_instruments = static_cast<py::ssize_t>(ids.size());
    py::array y = float_values(df, "df");
    py::array_t<double> out({n_dates, n_instruments});
    py::object columns = pd().attr("Index")(ids);
    // A table without cells asks the client nothing.
    if (n_dates == 0 || n_instruments == 0) return make_frame(out, index, columns);

    py::object finite = np().attr("isfinite")(y);
    const Coverage cover{ids, index, np().attr("ascontiguousarray")(finite.attr("any")(py::arg("axis") = 0)),
                         np().attr("ascontiguousarray")(finite.attr("any")(py::arg("axis") = 1))};
    Inputs in;
    if (py::bool_(self.attr("style_neutralize"))) read_style(m, self, index, ids, in, cover);
    if (py::bool_(self.attr("industry"))) read_industry(m, self, index, ids, in, cover);
    read_users(self, table, index, ids, in, cover);

    const core::StridedTable<double> factor = in.table<double>(y);
    double* dst = out.mutable_data();
    {
        py::gil_scoped_release release;
        core::neutralize(factor, in.style, in.industry, in.users, dst);
    }
    return make_frame(out, index, columns);
}

}  // namespace

void bind_neutralization(py::module_& m) {
    py::module_ mod = m;
    py::object cls = make_class("Neutralization", py::make_tuple(m.attr("FactorPreprocessor")), m, nullptr);
    add_init(
        cls,
        [mod](const py::object& self, const py::object& industry, const py::object& style_factors,
              const py::object& other_factors) { init(mod, self, industry, style_factors, other_factors); },
        py::arg("industry") = "citics_2019", py::arg("style_factors") = "all", py::arg("other_factors") = py::none(),
        kInitDoc);
    add_method(
        cls, "process", [mod](const py::object& self, const py::object& df) { return process(mod, self, df); },
        py::arg("df"), "process(self, df)\n--\n\n");
    m.attr("Neutralization") = cls;
}

}  // namespace quellix::assaycore
