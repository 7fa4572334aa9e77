#include "common/pybind11.hpp"
#include "assaycore/ic_tables.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quellix::assaycore {

namespace {

// One column as contiguous float64 (a view when it already is one). A label
// naming several columns is refused rather than read as interleaved values.
py::array_t<double> column_array(const py::object& frame, const py::object& name) {
    py::array_t<double> values = np().attr("ascontiguousarray")(frame[name].attr("to_numpy")(py::arg("dtype") = "float64"));
    if (values.ndim() != 1 || values.size() != static_cast<py::ssize_t>(py::len(frame))) {
        throw py::value_error("factor_data: expect one column named " + py::repr(name).cast<std::string>() + ", got " +
                              std::to_string(values.ndim() == 2 ? values.shape(1) : 0));
    }
    return values;
}

// Signed integer array of any width (index and categorical codes), read as int64.
class IntReader {
public:
    explicit IntReader(const py::object& a) : array_(np().attr("ascontiguousarray")(a)) {
        const char kind = array_.dtype().kind();
        if (kind != 'i' || array_.ndim() != 1) array_ = as_int64(array_);
        data_ = static_cast<const char*>(array_.data());
        width_ = array_.itemsize();
    }
    py::ssize_t size() const { return array_.size(); }
    std::int64_t operator[](py::ssize_t i) const {
        switch (width_) {
            case 1: return reinterpret_cast<const std::int8_t*>(data_)[i];
            case 2: return reinterpret_cast<const std::int16_t*>(data_)[i];
            case 4: return reinterpret_cast<const std::int32_t*>(data_)[i];
            default: return reinterpret_cast<const std::int64_t*>(data_)[i];
        }
    }

private:
    py::array array_;
    const char* data_ = nullptr;
    py::ssize_t width_ = 8;
};

// (codes, category names) of a label Series; missing labels code -1.
py::tuple categorical_codes(const py::object& labels) {
    if (labels.attr("dtype").attr("name").cast<std::string>() == "category") {
        return py::make_tuple(labels.attr("cat").attr("codes"), labels.attr("cat").attr("categories"));
    }
    py::tuple fz = pd().attr("factorize")(labels);
    return py::make_tuple(fz[0], pd().attr("Index")(fz[1]));
}

// Rows of the product layout are t * N + j, so labels indexed by any
// (date, instrument) pairs land by arithmetic instead of a hash join.
std::optional<std::pair<py::array_t<std::int64_t>, py::object>> scatter_onto_product(const py::object& labels,
                                                                                    const py::object& index) {
    py::object lab_index = labels.attr("index");
    py::object levels = index.attr("levels");
    auto t_of = as_int64(levels[py::int_(0)].attr("get_indexer")(lab_index.attr("levels")[py::int_(0)]));
    auto c_of = as_int64(levels[py::int_(1)].attr("get_indexer")(lab_index.attr("levels")[py::int_(1)]));
    const std::int64_t N = py::len(levels[py::int_(1)]);
    auto fc1 = as_int64(index.attr("codes")[py::int_(1)][py::slice(0, N, 1)]);
    const IntReader a(lab_index.attr("codes")[py::int_(0)]), b(lab_index.attr("codes")[py::int_(1)]);
    py::tuple fz = categorical_codes(labels);
    const IntReader lab(fz[0]);
    const py::ssize_t n_rows = py::len(index), n_lab = lab.size();
    py::array_t<std::int64_t> out(n_rows);
    bool collision = false;
    {
        std::int64_t* o = out.mutable_data();
        const std::int64_t *tp = t_of.data(), *cpos = c_of.data(), *f1 = fc1.data();
        py::gil_scoped_release release;
        std::vector<std::int64_t> column_of(static_cast<std::size_t>(N));
        for (std::int64_t j = 0; j < N; ++j) column_of[f1[j]] = j;
        std::vector<std::uint8_t> filled(static_cast<std::size_t>(n_rows), 0);
        std::fill(o, o + n_rows, -1);
        for (py::ssize_t e = 0; e < n_lab; ++e) {
            const std::int64_t ae = a[e], be = b[e];
            if (ae < 0 || be < 0) continue;
            const std::int64_t t = tp[ae], c = cpos[be];
            if (t < 0 || c < 0) continue;
            const std::int64_t row = t * N + column_of[c];
            collision |= filled[row] != 0;
            filled[row] = 1;
            o[row] = lab[e];
        }
    }
    if (collision) return std::nullopt;
    return std::make_pair(out, py::object(fz[1]));
}

}  // namespace

py::array_t<std::int64_t> as_int64(const py::object& a) { return np().attr("asarray")(a, py::arg("dtype") = "int64"); }

FactorColumns factor_columns(const py::object& fd, const py::list& fields) {
    FactorColumns fc;
    fc.factor = column_array(fd, py::str("factor"));
    for (auto f : fields) {
        fc.returns.push_back(column_array(fd, py::reinterpret_borrow<py::object>(f)));
        fc.return_ptrs.push_back(fc.returns.back().data());
    }
    return fc;
}

bool is_product_layout(const py::object& index) {
    if (!py::isinstance(index, pd().attr("MultiIndex")) || py::len(index.attr("levels")) != 2) return false;
    py::list names = index.attr("names");
    if (!py::str("datetime").equal(names[0]) || !py::str("order_book_id").equal(names[1])) return false;
    py::object dates = index.attr("levels")[py::int_(0)];
    if (!dates.attr("is_monotonic_increasing").cast<bool>()) return false;
    const py::ssize_t T = py::len(dates), N = py::len(index.attr("levels")[py::int_(1)]);
    if (static_cast<py::ssize_t>(py::len(index)) != T * N || N == 0 || T == 0) return false;
    const IntReader c0(index.attr("codes")[py::int_(0)]), c1(index.attr("codes")[py::int_(1)]);
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(N), 0);
    for (py::ssize_t j = 0; j < N; ++j) {
        const std::int64_t c = c1[j];
        if (c < 0 || c >= N || seen[c]) return false;
        seen[c] = 1;
    }
    py::gil_scoped_release release;
    for (py::ssize_t t = 0; t < T; ++t) {
        for (py::ssize_t j = 0; j < N; ++j) {
            if (c0[t * N + j] != t || c1[t * N + j] != c1[j]) return false;
        }
    }
    return true;
}

DateMatrices date_matrices(const py::object& fd, const py::list& fields) {
    DateMatrices dm;
    py::object index = fd.attr("index");
    FactorColumns& v = dm.values;
    if (is_product_layout(index)) {
        dm.dates = index.attr("levels")[py::int_(0)];
        dm.n_dates = py::len(dm.dates);
        dm.n_instruments = py::len(index.attr("levels")[py::int_(1)]);
        v = factor_columns(fd, fields);
    } else {
        py::list cols;
        cols.append("factor");
        for (auto f : fields) cols.append(f);
        py::object wide = fd[cols].attr("unstack")("order_book_id");
        dm.dates = wide.attr("index");
        dm.n_dates = py::len(dm.dates);
        dm.n_instruments = dm.n_dates ? py::len(wide.attr("columns")) / static_cast<py::ssize_t>(fields.size() + 1) : 0;
        v.factor = np().attr("ascontiguousarray")(wide["factor"].attr("to_numpy")(py::arg("dtype") = "float64"));
        for (auto f : fields) {
            v.returns.push_back(np().attr("ascontiguousarray")(wide[f].attr("to_numpy")(py::arg("dtype") = "float64")));
            v.return_ptrs.push_back(v.returns.back().data());
        }
    }
    for (const auto& a : v.returns) {
        if (a.size() != v.factor.size() || v.factor.size() != dm.n_dates * dm.n_instruments) {
            throw py::value_error("factor_data: return fields and factor do not form one date x instrument table");
        }
    }
    return dm;
}

std::pair<py::array_t<std::int64_t>, py::object> row_label_codes(const py::object& labels, const py::object& index) {
    py::object lab_index = labels.attr("index");
    if (!lab_index.is(index) && is_product_layout(index) && py::isinstance(lab_index, pd().attr("MultiIndex")) &&
        py::len(lab_index.attr("levels")) == 2 && lab_index.attr("names").equal(index.attr("names"))) {
        if (auto aligned = scatter_onto_product(labels, index)) return *aligned;
    }
    py::tuple fz = categorical_codes(lab_index.is(index) ? labels : labels.attr("reindex")(index));
    return {as_int64(fz[0]), fz[1]};
}


py::object labels_by_row(py::object mapping, const py::object& index) {
    // Labels are looked up once per distinct instrument and spread to the
    // rows through the index codes.
    mapping = mapping.attr("astype")("object");
    py::object ids;
    py::array_t<std::int64_t> row_codes;
    if (py::isinstance(index, pd().attr("MultiIndex"))) {
        const py::ssize_t level = index.attr("names").attr("index")("order_book_id").cast<py::ssize_t>();
        ids = index.attr("levels")[py::int_(level)];
        row_codes = as_int64(index.attr("codes")[py::int_(level)]);
    } else {
        py::tuple fz = pd().attr("factorize")(index.attr("get_level_values")("order_book_id"));
        row_codes = as_int64(fz[0]);
        ids = pd().attr("Index")(fz[1]);
    }
    // pandas before 2 only warns here and reindexes by the first match.
    if (!mapping.attr("index").attr("is_unique").cast<bool>()) {
        throw py::value_error("cannot reindex on an axis with duplicate labels");
    }
    py::object per_id = mapping.attr("reindex")(ids).attr("fillna")("Unknown");
    py::tuple fz = pd().attr("factorize")(per_id);
    py::list cats = fz[1].attr("tolist")();
    auto id_code = as_int64(fz[0]);
    std::int64_t unknown = -1;
    auto rc = row_codes.unchecked<1>();
    py::array_t<std::int64_t> out(rc.shape(0));
    std::int64_t* o = out.mutable_data();
    for (py::ssize_t i = 0; i < rc.shape(0); ++i) {
        if (rc(i) >= 0) {
            o[i] = id_code.data()[rc(i)];
        } else {
            if (unknown < 0) {
                cats.append("Unknown");
                unknown = static_cast<std::int64_t>(py::len(cats)) - 1;
            }
            o[i] = unknown;
        }
    }
    py::object cat = pd().attr("Categorical").attr("from_codes")(out, py::arg("categories") = cats);
    return pd().attr("Series")(cat, py::arg("index") = index);
}

}  // namespace quellix::assaycore
