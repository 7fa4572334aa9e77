#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"
#include "assaycore/core/correlation.hpp"
#include "assaycore/core/ic_matrix.hpp"
#include "common/pyclass.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quellix::assaycore {

namespace {

using core::CorrCell;

constexpr const char* kInitDoc = R"(因子IC分析

:param rank_ic: 是否计算 rank IC，默认为 True，使用 scipy.stats.spearmanr；否则使用 scipy.stats.pearsonr
:param industry_classification: 行业分布所用的行业数据源：citics_2019、sws 或 None；也可以是 order_book_id 到行业名称的 pd.Series 或 dict。
    None 表示不计算行业分布；pd.Series 或 dict 中缺失的股票，其行业填充为 "Unknown"
:param max_decay: IC 衰减的期数，None 表示不计算 IC 衰减
)";

py::module_ np() { return py::module_::import("numpy"); }
py::module_ pd() { return py::module_::import("pandas"); }

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

py::array_t<std::int64_t> as_int64(const py::object& a) { return np().attr("asarray")(a, py::arg("dtype") = "int64"); }

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

// True when the index is the date-major product of its two levels with the
// dates ascending: the long columns are then (dates x instruments) matrices.
bool is_product_layout(const py::object& index) {
    if (!py::isinstance(index, pd().attr("MultiIndex")) || py::len(index.attr("levels")) != 2) return false;
    py::list names = index.attr("names");
    if (!py::str("datetime").equal(names[0]) || !py::str("order_book_id").equal(names[1])) return false;
    py::object dates = index.attr("levels")[py::int_(0)];
    if (!dates.attr("is_monotonic_increasing").cast<bool>()) return false;
    const py::ssize_t T = py::len(dates), N = py::len(index.attr("levels")[py::int_(1)]);
    if (static_cast<py::ssize_t>(py::len(index)) != T * N || N == 0) return false;
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

// Correlations and p-values of a table of cells. The p-values come from one
// vectorised scipy.special call, the same function scipy.stats uses.
std::pair<py::array_t<double>, py::array_t<double>> finish_cells(const std::vector<CorrCell>& cells, bool rank,
                                                                 bool with_p) {
    const py::ssize_t n = static_cast<py::ssize_t>(cells.size());
    py::array_t<double> r(n), p(n), shape(n), stat(n);
    double* rp = r.mutable_data();
    double* pp = p.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) {
        rp[i] = cells[i].r;
        // Two pairs leave no degrees of freedom: NaN keeps scipy.special off its domain error.
        shape.mutable_data()[i] = cells[i].n < 3 ? std::nan("") : core::pvalue_shape(cells[i], rank);
        stat.mutable_data()[i] = cells[i].stat;
    }
    py::array_t<double> tail = p;
    if (with_p && n) {
        py::module_ special = py::module_::import("scipy.special");
        tail = rank ? special.attr("stdtr")(shape, stat) : special.attr("betaincc")(shape, shape, stat);
    }
    const double* tp = tail.data();
    for (py::ssize_t i = 0; i < n; ++i) core::finish_cell(rp[i], pp[i], with_p ? tp[i] : 0.0, cells[i].n, rank);
    return {r, p};
}

struct LongTable {
    py::array_t<double> factor;
    std::vector<py::array_t<double>> returns;
    std::vector<const double*> return_ptrs;
};

LongTable long_columns(const py::object& fd, const py::list& fields) {
    LongTable lt;
    lt.factor = column_array(fd, py::str("factor"));
    for (auto f : fields) {
        lt.returns.push_back(column_array(fd, py::reinterpret_borrow<py::object>(f)));
        lt.return_ptrs.push_back(lt.returns.back().data());
    }
    return lt;
}

// Rows ordered by group code (stable), groups 0..G-1; code -1 rows are left out.
void order_by_group(const std::int64_t* codes, py::ssize_t n, std::int64_t G, std::vector<std::int64_t>& rows,
                    std::vector<std::int64_t>& offsets) {
    offsets.assign(static_cast<std::size_t>(G + 1), 0);
    for (py::ssize_t i = 0; i < n; ++i) {
        if (codes[i] >= 0) ++offsets[codes[i] + 1];
    }
    for (std::int64_t g = 0; g < G; ++g) offsets[g + 1] += offsets[g];
    rows.resize(static_cast<std::size_t>(offsets[G]));
    std::vector<std::int64_t> next(offsets.begin(), offsets.end() - 1);
    for (py::ssize_t i = 0; i < n; ++i) {
        if (codes[i] >= 0) rows[next[codes[i]]++] = i;
    }
}

// Within one analysis() call the per-date pass over the formatted table also
// yields the lagged ICs (they share every sort), and _calc_ic_decay picks them
// up instead of sorting everything again. Entries live only while that call runs.
struct Pending {
    PyObject* self;
    PyObject* table;
    std::int64_t max_decay = 0;
    std::int64_t n_dates = 0;
    bool rank = false;
    py::object lagged;
};
std::vector<Pending>& pending() {
    static std::vector<Pending> entries;  // guarded by the GIL
    return entries;
}
Pending* find_pending(const py::object& self, const py::object& table) {
    for (auto& e : pending()) {
        if (e.self == self.ptr() && e.table == table.ptr()) return &e;
    }
    return nullptr;
}
struct PendingScope {
    PendingScope(const py::object& self, const py::object& table) { pending().push_back(Pending{self.ptr(), table.ptr(), 0, 0, false, py::none()}); }
    ~PendingScope() { pending().pop_back(); }
};

py::array_t<std::int64_t> to_array(const std::vector<std::int64_t>& v) {
    return py::array_t<std::int64_t>(static_cast<py::ssize_t>(v.size()), v.data());
}

// The lagged rows (d >= 1) of ic_decay; pairs (t, d) without any row are absent.
py::object lagged_block(const std::vector<CorrCell>& cells, bool rank, std::int64_t T, std::int64_t L, std::size_t K,
                        const py::object& dates, const py::object& columns) {
    auto rp = finish_cells(cells, rank, false).first;
    std::vector<std::int64_t> keep_rows, date_pos, lags;
    for (std::int64_t t = 0; t < T; ++t) {
        for (std::int64_t d = 1; d <= L; ++d) {
            const std::int64_t row = t * L + d - 1;
            if (K == 0 || cells[static_cast<std::size_t>(row) * K].n == 0) continue;
            keep_rows.push_back(row);
            date_pos.push_back(t);
            lags.push_back(d);
        }
    }
    py::object values = rp.reshape({static_cast<py::ssize_t>(T * L), static_cast<py::ssize_t>(K)})[to_array(keep_rows)];
    py::object index = pd().attr("MultiIndex").attr("from_arrays")(
        py::make_tuple(dates.attr("take")(to_array(date_pos)), to_array(lags)), py::arg("names") = py::make_tuple("datetime", "decay"));
    return pd().attr("DataFrame")(values, py::arg("index") = index, py::arg("columns") = columns);
}

class Analyser {
public:
    Analyser(py::module_ m, py::object self) : m_(std::move(m)), self_(std::move(self)) {}

    py::list return_fields(const py::object& fd) const { return m_.attr("_get_return_fields")(fd.attr("columns")); }

    // The bulk path reproduces the two wrappers made by _get_ic_func; an ic_func
    // of any other kind has no bulk equivalent.
    bool rank() const {
        py::object f = self_.attr("ic_func");
        if (f.is(m_.attr("_get_ic_func")(true))) return true;
        if (f.is(m_.attr("_get_ic_func")(false))) return false;
        throw py::type_error("ic_func: expect a function made by _get_ic_func, got " + py::repr(f).cast<std::string>());
    }

    py::tuple calc_ic(const py::object& fd) const {
        const bool rk = rank();
        py::list fields = return_fields(fd);
        const std::size_t K = fields.size();
        LongTable lt = long_columns(fd, fields);
        py::object index = fd.attr("index");
        py::object dates;
        std::vector<CorrCell> cells;
        py::ssize_t G = 0;
        if (is_product_layout(index)) {
            dates = index.attr("levels")[py::int_(0)];
            const std::int64_t T = py::len(dates), N = py::len(index.attr("levels")[py::int_(1)]);
            G = T;
            Pending* ahead = find_pending(self_, fd);
            std::int64_t D = 1;
            // Lags past the last date have no rows; they need no room either.
            if (ahead && py::bool_(self_.attr("max_decay"))) D = std::clamp<std::int64_t>(decay_count(), 1, std::max<std::int64_t>(T, 1));
            cells.resize(static_cast<std::size_t>(T) * K);
            std::vector<CorrCell> lagged(static_cast<std::size_t>(T * (D - 1)) * K);
            {
                py::gil_scoped_release release;
                core::decay_ic(lt.factor.data(), lt.return_ptrs, T, N, D, rk, lagged.data(), cells.data());
            }
            if (D > 1) {
                ahead->max_decay = D;
                ahead->n_dates = T;
                ahead->rank = rk;
                ahead->lagged = lagged_block(lagged, rk, T, D - 1, K, dates, fields);
            }
        } else {
            py::tuple fz = pd().attr("factorize")(index.attr("get_level_values")("datetime"), py::arg("sort") = true);
            dates = pd().attr("Index")(fz[1]);
            auto codes = as_int64(fz[0]);
            std::vector<std::int64_t> rows, offsets;
            order_by_group(codes.data(), codes.size(), py::len(dates), rows, offsets);
            G = static_cast<py::ssize_t>(offsets.size() - 1);
            cells.resize(G * K);
            py::gil_scoped_release release;
            core::grouped_ic(lt.factor.data(), lt.return_ptrs, rows.data(), offsets, rk, cells.data());
        }
        auto [r, p] = finish_cells(cells, rk, true);
        dates = dates.attr("rename")("datetime");
        py::object ic = pd().attr("DataFrame")(r.reshape({G, static_cast<py::ssize_t>(K)}), py::arg("index") = dates,
                                               py::arg("columns") = fields);
        py::object pv = pd().attr("DataFrame")(p.reshape({G, static_cast<py::ssize_t>(K)}), py::arg("index") = dates,
                                               py::arg("columns") = fields);
        return py::make_tuple(ic, pv);
    }

    std::int64_t decay_count() const {
        return py::module_::import("operator").attr("index")(self_.attr("max_decay")).cast<std::int64_t>();
    }

    py::object calc_ic_decay(const py::object& fd, const py::object& ic) const {
        if (!py::bool_(self_.attr("max_decay"))) return py::none();
        const std::int64_t D = decay_count();
        const bool rk = rank();
        py::list fields = return_fields(fd);
        const std::size_t K = fields.size();

        py::object lag0 = ic.attr("copy")();
        lag0.attr("index") = pd().attr("MultiIndex").attr("from_arrays")(
            py::make_tuple(ic.attr("index"), np().attr("zeros")(py::len(ic), "int64")),
            py::arg("names") = py::make_tuple("datetime", "decay"));
        py::list blocks;
        blocks.append(lag0);
        Pending* ahead = find_pending(self_, fd);
        if (D > 1 && ahead && ahead->max_decay == std::min<std::int64_t>(D, ahead->n_dates) && ahead->rank == rk &&
            !ahead->lagged.is_none() &&
            ahead->lagged.attr("columns").attr("equals")(ic.attr("columns")).cast<bool>()) {
            blocks.append(ahead->lagged);
        } else if (D > 1 && py::len(fd) > 0) {
            py::object index = fd.attr("index");
            py::object dates;
            py::array_t<double> factor;
            std::vector<py::array_t<double>> returns;
            std::vector<const double*> ptrs;
            std::int64_t T, N;
            if (is_product_layout(index)) {
                dates = index.attr("levels")[py::int_(0)];
                T = py::len(dates);
                N = py::len(index.attr("levels")[py::int_(1)]);
                factor = column_array(fd, py::str("factor"));
                for (auto f : fields) returns.push_back(column_array(fd, py::reinterpret_borrow<py::object>(f)));
            } else {
                py::list cols;
                cols.append("factor");
                for (auto f : fields) cols.append(f);
                py::object wide = fd[cols].attr("unstack")("order_book_id");
                dates = wide.attr("index");
                T = py::len(dates);
                N = T ? py::len(wide.attr("columns")) / static_cast<py::ssize_t>(K + 1) : 0;
                factor = np().attr("ascontiguousarray")(wide["factor"].attr("to_numpy")(py::arg("dtype") = "float64"));
                for (auto f : fields) {
                    returns.push_back(np().attr("ascontiguousarray")(wide[f].attr("to_numpy")(py::arg("dtype") = "float64")));
                }
            }
            for (auto& a : returns) {
                if (a.size() != factor.size() || factor.size() != T * N) {
                    throw py::value_error("factor_data: return fields and factor do not form one date x instrument table");
                }
                ptrs.push_back(a.data());
            }
            const std::int64_t lags = std::clamp<std::int64_t>(D, 1, std::max<std::int64_t>(T, 1));
            std::vector<CorrCell> cells(static_cast<std::size_t>(T * (lags - 1)) * K);
            {
                py::gil_scoped_release release;
                core::decay_ic(factor.data(), ptrs, T, N, lags, rk, cells.data());
            }
            blocks.append(lagged_block(cells, rk, T, lags - 1, K, dates, ic.attr("columns")));
        }
        return pd().attr("concat")(blocks).attr("sort_index")();
    }

    py::object calc_ic_industry_distribute(const py::object& fd) const {
        if (self_.attr("industry").is_none()) return py::none();
        py::object industry = self_.attr("_get_industry_data")(fd);
        const bool rk = rank();
        py::list fields = return_fields(fd);
        const std::size_t K = fields.size();
        LongTable lt = long_columns(fd, fields);
        py::object index = fd.attr("index");
        const py::ssize_t n_rows = py::len(index);

        auto [codes, names] = aligned_codes(industry, index);
        const std::int64_t G0 = py::len(names);
        // Groups in ascending name order, only those with rows.
        auto by_name = as_int64(names.attr("argsort")());
        std::vector<std::int64_t> count(static_cast<std::size_t>(G0), 0), rank_of(static_cast<std::size_t>(G0), -1), used;
        const std::int64_t* cp = codes.data();
        for (py::ssize_t i = 0; i < n_rows; ++i) {
            if (cp[i] >= 0) ++count[cp[i]];
        }
        for (py::ssize_t j = 0; j < G0; ++j) {
            const std::int64_t g = by_name.data()[j];
            if (count[g]) {
                rank_of[g] = static_cast<std::int64_t>(used.size());
                used.push_back(g);
            }
        }
        std::vector<std::int64_t> group(static_cast<std::size_t>(n_rows));
        for (py::ssize_t i = 0; i < n_rows; ++i) group[i] = cp[i] >= 0 ? rank_of[cp[i]] : -1;
        const std::int64_t G = static_cast<std::int64_t>(used.size());
        std::vector<std::int64_t> rows, offsets;
        order_by_group(group.data(), n_rows, G, rows, offsets);
        std::vector<CorrCell> cells(static_cast<std::size_t>(G) * K);
        {
            py::gil_scoped_release release;
            core::grouped_ic(lt.factor.data(), lt.return_ptrs, rows.data(), offsets, rk, cells.data());
        }
        auto [r, p] = finish_cells(cells, rk, true);
        // Row 2g holds group g's correlations, row 2g + 1 their p-values.
        py::array_t<double> values({static_cast<py::ssize_t>(2 * G), static_cast<py::ssize_t>(K)});
        double* out = values.mutable_data();
        for (std::int64_t g = 0; g < G; ++g) {
            for (std::size_t k = 0; k < K; ++k) {
                out[(2 * g) * K + k] = r.data()[g * K + k];
                out[(2 * g + 1) * K + k] = p.data()[g * K + k];
            }
        }
        py::array_t<std::int64_t> used_arr(static_cast<py::ssize_t>(used.size()), used.data());
        py::object result_index = pd().attr("MultiIndex").attr("from_product")(
            py::make_tuple(names.attr("take")(used_arr), py::make_tuple(0, 1)),
            py::arg("names") = py::make_tuple(industry.attr("name"), py::none()));
        return pd().attr("DataFrame")(values, py::arg("index") = result_index, py::arg("columns") = fields);
    }

    py::object get_industry_data(const py::object& fd) const {
        py::object industry = self_.attr("industry");
        py::object index = fd.attr("index");
        if (py::isinstance<py::str>(industry)) {
            return m_.attr("_load_industry_data")(py::arg("order_book_ids") = level_unique(index, "order_book_id"),
                                                  py::arg("dates") = level_unique(index, "datetime"), py::arg("source") = industry);
        }
        py::object mapping;
        if (py::isinstance<py::dict>(industry)) {
            mapping = pd().attr("Series")(industry);
        } else if (py::isinstance(industry, pd().attr("Series"))) {
            mapping = industry.attr("copy")();
        } else {
            throw std::runtime_error(
                py::str("Invalid industry type, expect str/dict/pd.Series, go {} ").format(industry).cast<std::string>());
        }
        // Labels are looked up once per distinct instrument and spread to the
        // rows through the index codes.
        mapping = mapping.attr("astype")("object");
        py::object ids, row_codes;
        if (py::isinstance(index, pd().attr("MultiIndex"))) {
            const py::ssize_t level = index.attr("names").attr("index")("order_book_id").cast<py::ssize_t>();
            ids = index.attr("levels")[py::int_(level)];
            row_codes = as_int64(index.attr("codes")[py::int_(level)]);
        } else {
            py::tuple fz = pd().attr("factorize")(index.attr("get_level_values")("order_book_id"));
            row_codes = as_int64(fz[0]);
            ids = pd().attr("Index")(fz[1]);
        }
        py::object per_id = mapping.attr("reindex")(ids).attr("fillna")("Unknown");
        py::tuple fz = pd().attr("factorize")(per_id);
        py::list cats = fz[1].attr("tolist")();
        auto id_code = as_int64(fz[0]);
        std::int64_t unknown = -1;
        const auto row_code_array = as_int64(row_codes);
        auto rc = row_code_array.unchecked<1>();
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

private:
    // Distinct values of an index level in order of first appearance, read off
    // the level codes rather than materialising one label per row.
    static py::object level_unique(const py::object& index, const char* name) {
        if (!py::isinstance(index, pd().attr("MultiIndex"))) return index.attr("get_level_values")(name).attr("unique")();
        const py::object level = index.attr("names").attr("index")(name);
        py::object codes = pd().attr("unique")(index.attr("codes")[level]);
        py::object values = index.attr("levels")[level].attr("take")(codes);
        py::object missing = np().attr("less")(codes, 0);
        if (np().attr("any")(missing).cast<bool>()) values = values.attr("where")(np().attr("logical_not")(missing));
        return values.attr("rename")(index.attr("names")[level]);
    }

    // Group code of every row of the formatted table (-1 where a row has no
    // label) and the names the codes stand for.
    std::pair<py::array_t<std::int64_t>, py::object> aligned_codes(const py::object& industry, const py::object& index) const {
        py::object ind_index = industry.attr("index");
        if (!ind_index.is(index) && is_product_layout(index) && py::isinstance(ind_index, pd().attr("MultiIndex")) &&
            py::len(ind_index.attr("levels")) == 2 && ind_index.attr("names").equal(index.attr("names"))) {
            if (auto aligned = scatter_onto_product(industry, index)) return *aligned;
        }
        py::tuple fz = categorical_codes(ind_index.is(index) ? industry : industry.attr("reindex")(index));
        return {as_int64(fz[0]), fz[1]};
    }

    // Rows of the product layout are t * N + j, so labels indexed by any
    // (date, instrument) pairs land by arithmetic instead of a hash join.
    std::optional<std::pair<py::array_t<std::int64_t>, py::object>> scatter_onto_product(const py::object& industry,
                                                                                        const py::object& index) const {
        py::object ind_index = industry.attr("index");
        py::object levels = index.attr("levels");
        auto t_of = as_int64(levels[py::int_(0)].attr("get_indexer")(ind_index.attr("levels")[py::int_(0)]));
        auto c_of = as_int64(levels[py::int_(1)].attr("get_indexer")(ind_index.attr("levels")[py::int_(1)]));
        const std::int64_t N = py::len(levels[py::int_(1)]);
        auto fc1 = as_int64(index.attr("codes")[py::int_(1)][py::slice(0, N, 1)]);
        const IntReader a(ind_index.attr("codes")[py::int_(0)]), b(ind_index.attr("codes")[py::int_(1)]);
        py::tuple fz = categorical_codes(industry);
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

    // (codes, category names) of a label Series; missing labels code -1.
    static py::tuple categorical_codes(const py::object& labels) {
        if (labels.attr("dtype").attr("name").cast<std::string>() == "category") {
            return py::make_tuple(labels.attr("cat").attr("codes"), labels.attr("cat").attr("categories"));
        }
        py::tuple fz = pd().attr("factorize")(labels);
        return py::make_tuple(fz[0], pd().attr("Index")(fz[1]));
    }

    py::module_ m_;
    py::object self_;
};

void init(const py::module_& m, py::object self, py::object rank_ic, py::object industry_classification,
          py::object max_decay) {
    py::module_ pandas = pd();
    const bool is_str = py::isinstance<py::str>(industry_classification);
    if (!industry_classification.is_none() && !is_str && !py::isinstance<py::dict>(industry_classification) &&
        !py::isinstance(industry_classification, pandas.attr("Series"))) {
        throw py::value_error(py::str("Unsupported industry_classification type, expect one of None/str/pd.Series/dict, got type={}")
                                  .format(py::type::of(industry_classification))
                                  .cast<std::string>());
    }
    py::object valid = m.attr("VALID_INDUSTRY_SOURCE");
    if (is_str && !valid.attr("__contains__")(industry_classification).cast<bool>()) {
        throw py::value_error(
            py::str("industry_classification: expect one of {}, got {}").format(valid, industry_classification).cast<std::string>());
    }
    self.attr("rank_ic") = rank_ic;
    self.attr("ic_func") = m.attr("_get_ic_func")(rank_ic);
    self.attr("industry") = industry_classification;
    self.attr("max_decay") = max_decay;
}

py::object analysis(const py::module_& m, const py::object& self, const py::object& factor_data, const py::object& returns,
                    const py::object& periods, const py::object& ascending) {
    py::object fd = m.attr("_format_factor_data")(factor_data, returns, periods);
    PendingScope scope(self, fd);
    if (py::bool_(self.attr("rank_ic")) && py::bool_(ascending)) fd["factor"] = py::object(fd["factor"]) * py::int_(-1);
    py::tuple ic = self.attr("_calc_ic")(fd);
    py::object decay = self.attr("_calc_ic_decay")(fd, ic[0]);
    py::object distribute = self.attr("_calc_ic_industry_distribute")(fd);
    return m.attr("ICAnalysisResult")(py::arg("ic") = ic[0], py::arg("ic_p_value") = ic[1], py::arg("ic_decay") = decay,
                                      py::arg("ic_industry_distribute") = distribute, py::arg("name") = self.attr("step_name"));
}

}  // namespace

void bind_ic_analysis(py::module_& m) {
    py::object cls = make_class("ICAnalysis", py::make_tuple(m.attr("FactorAnalyser")), m, nullptr);
    py::module_ mod = m;
    add_init(
        cls,
        [mod](py::object self, py::object rank_ic, py::object industry_classification, py::object max_decay) {
            init(mod, std::move(self), std::move(rank_ic), std::move(industry_classification), std::move(max_decay));
        },
        py::doc(kInitDoc), py::arg("rank_ic") = true, py::arg("industry_classification") = py::none(),
        py::arg("max_decay") = py::none());
    add_method(cls, "_calc_ic", [mod](py::object self, py::object fd) { return Analyser(mod, self).calc_ic(fd); },
               py::arg("factor_data"));
    add_method(
        cls, "_calc_ic_decay", [mod](py::object self, py::object fd, py::object ic) { return Analyser(mod, self).calc_ic_decay(fd, ic); },
        py::arg("factor_data"), py::arg("ic"));
    add_method(
        cls, "_calc_ic_industry_distribute",
        [mod](py::object self, py::object fd) { return Analyser(mod, self).calc_ic_industry_distribute(fd); }, py::arg("factor_data"));
    add_method(
        cls, "_get_industry_data", [mod](py::object self, py::object fd) { return Analyser(mod, self).get_industry_data(fd); },
        py::arg("factor_data"));
    add_method(
        cls, "analysis",
        [mod](py::object self, py::object factor_data, py::object returns, py::object periods, py::object ascending) {
            return analysis(mod, self, factor_data, returns, periods, ascending);
        },
        py::arg("factor_data"), py::arg("returns"), py::arg("periods"), py::arg("ascending") = true);
    m.attr("ICAnalysis") = cls;
}

}  // namespace quellix::assaycore
