#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"
#include "assaycore/core/correlation.hpp"
#include "assaycore/core/grouped_ic.hpp"
#include "assaycore/core/ic_matrix.hpp"
#include "assaycore/ic_tables.hpp"
#include "assaycore/table_inputs.hpp"
#include "common/pyclass.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quellix::assaycore {

namespace {

using core::CorrCell;

constexpr const char* kIcInitDoc = R"(因子IC分析

:param rank_ic: 是否计算 rank IC，默认为 True，使用 scipy.stats.spearmanr；否则使用 scipy.stats.pearsonr
:param industry_classification: 行业分布所用的行业数据源：citics_2019、sws 或 None；也可以是 order_book_id 到行业名称的 pd.Series 或 dict。
    None 表示不计算行业分布；pd.Series 或 dict 中缺失的股票，其行业填充为 "Unknown"
:param max_decay: IC 衰减的期数，None 表示不计算 IC 衰减
)";

// Lags past the last date have no rows; they need no room either.
std::int64_t lags_within(std::int64_t max_decay, std::int64_t n_dates) {
    return std::clamp<std::int64_t>(max_decay, 1, std::max<std::int64_t>(n_dates, 1));
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
        FactorColumns fc = factor_columns(fd, fields);
        py::object index = fd.attr("index");
        py::object dates;
        std::vector<CorrCell> cells;
        py::ssize_t G = 0;
        if (is_product_layout(index)) {
            dates = index.attr("levels")[py::int_(0)];
            const std::int64_t T = py::len(dates), N = py::len(index.attr("levels")[py::int_(1)]);
            G = T;
            cells.resize(static_cast<std::size_t>(T) * K);
            py::gil_scoped_release release;
            core::decay_ic(fc.factor.data(), fc.return_ptrs, T, N, 1, rk, nullptr, cells.data());
        } else {
            py::tuple fz = pd().attr("factorize")(index.attr("get_level_values")("datetime"), py::arg("sort") = true);
            dates = pd().attr("Index")(fz[1]);
            auto codes = as_int64(fz[0]);
            G = py::len(dates);
            cells.resize(G * K);
            py::gil_scoped_release release;
            core::grouped_ic(fc.factor.data(), fc.return_ptrs, codes.data(), codes.size(), G, rk, cells.data());
        }
        return per_date_tables(cells, rk, G, dates, fields);
    }

    // max_decay as a number of lags (lag 0 included), 0 for none.
    std::int64_t decay_count() const {
        py::object value = self_.attr("max_decay");
        if (value.is_none()) return 0;
        const std::int64_t count = integer_argument(value, "max_decay", "None or an integer");
        if (count < 0) {
            throw py::value_error(py::str("max_decay: expect None or an integer >= 0, got {}").format(value).cast<std::string>());
        }
        // Lags beyond the last date have no rows, so a huge count means "all".
        return count;
    }

    py::object calc_ic_decay(const py::object& fd, const py::object& ic) const {
        const std::int64_t D = decay_count();
        if (D == 0) return py::none();
        const bool rk = rank();
        py::list fields = return_fields(fd);
        const std::size_t K = fields.size();

        py::list blocks;
        blocks.append(lag0_block(ic));
        if (D > 1 && py::len(fd) > 0) {
            DateMatrices dm = date_matrices(fd, fields);
            const std::int64_t T = dm.n_dates, lags = lags_within(D, T);
            std::vector<CorrCell> cells(static_cast<std::size_t>(T * (lags - 1)) * K);
            {
                py::gil_scoped_release release;
                core::decay_ic(dm.values.factor.data(), dm.values.return_ptrs, T, dm.n_instruments, lags, rk, cells.data());
            }
            blocks.append(lagged_block(cells, rk, T, lags - 1, K, dm.dates, ic.attr("columns")));
        }
        return pd().attr("concat")(blocks).attr("sort_index")();
    }

    // ic, its p-values and the decay table of a formatted table in the
    // product layout, from one pass that sorts each date's series once for
    // every lag that reaches it.
    py::tuple ic_with_decay(const py::object& fd) const {
        const std::int64_t D = decay_count();
        const bool rk = rank();
        py::list fields = return_fields(fd);
        const std::size_t K = fields.size();
        FactorColumns fc = factor_columns(fd, fields);
        py::object index = fd.attr("index");
        py::object dates = index.attr("levels")[py::int_(0)];
        const std::int64_t T = py::len(dates), N = py::len(index.attr("levels")[py::int_(1)]);
        const std::int64_t lags = D == 0 ? 1 : lags_within(D, T);
        std::vector<CorrCell> cells(static_cast<std::size_t>(T) * K);
        std::vector<CorrCell> lagged(static_cast<std::size_t>(T * (lags - 1)) * K);
        {
            py::gil_scoped_release release;
            core::decay_ic(fc.factor.data(), fc.return_ptrs, T, N, lags, rk, lagged.data(), cells.data());
        }
        py::tuple ic = per_date_tables(cells, rk, T, dates, fields);
        if (D == 0) return py::make_tuple(ic[0], ic[1], py::none());
        py::list blocks;
        blocks.append(lag0_block(ic[0]));
        if (lags > 1) blocks.append(lagged_block(lagged, rk, T, lags - 1, K, dates, ic[0].attr("columns")));
        return py::make_tuple(ic[0], ic[1], pd().attr("concat")(blocks).attr("sort_index")());
    }

    py::object calc_ic_industry_distribute(const py::object& fd) const {
        if (self_.attr("industry").is_none()) return py::none();
        py::object industry = self_.attr("_get_industry_data")(fd);
        const bool rk = rank();
        py::list fields = return_fields(fd);
        const std::size_t K = fields.size();
        FactorColumns fc = factor_columns(fd, fields);
        py::object index = fd.attr("index");
        const py::ssize_t n_rows = py::len(index);

        auto [codes, names] = row_label_codes(industry, index);
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
        // Only rows with a factor value lose anything by having no industry.
        const double* value = fc.factor.data();
        py::ssize_t unlabelled = 0, valued = 0, first = -1;
        for (py::ssize_t i = 0; i < n_rows; ++i) {
            group[i] = cp[i] >= 0 ? rank_of[cp[i]] : -1;
            if (!std::isfinite(value[i])) continue;
            ++valued;
            if (cp[i] < 0 && unlabelled++ == 0) first = i;
        }
        if (unlabelled) {
            py::module_::import("warnings").attr("warn")(
                py::str("IC by industry: {} of {} (date, instrument) rows with a factor value have no industry, such "
                        "as {!r} on {}; they are left out")
                    .format(unlabelled, valued, index[py::int_(first)][py::int_(1)], index[py::int_(first)][py::int_(0)]));
        }
        const std::int64_t G = static_cast<std::int64_t>(used.size());
        std::vector<CorrCell> cells(static_cast<std::size_t>(G) * K);
        {
            py::gil_scoped_release release;
            core::grouped_ic(fc.factor.data(), fc.return_ptrs, group.data(), n_rows, G, rk, cells.data());
        }
        return industry_table(cells, rk, names, used, industry.attr("name"), fields);
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
        return labels_by_row(mapping, index);
    }

private:
    // The per-date ic with a `decay` level of 0 appended to its index.
    static py::object lag0_block(const py::object& ic) {
        py::object lag0 = ic.attr("copy")();
        lag0.attr("index") = pd().attr("MultiIndex").attr("from_arrays")(
            py::make_tuple(ic.attr("index"), np().attr("zeros")(py::len(ic), "int64")),
            py::arg("names") = py::make_tuple("datetime", "decay"));
        return lag0;
    }

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

    py::module_ m_;
    py::object self_;
};

void init_ic_analysis(const py::module_& m, py::object self, py::object rank_ic, py::object industry_classification,
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
    // Truthiness would make rank_ic="no" choose the rank IC (0 and 1 stay accepted).
    const bool rank = flag_argument(rank_ic, "rank_ic", true);
    self.attr("rank_ic") = py::bool_(rank);
    self.attr("ic_func") = m.attr("_get_ic_func")(py::bool_(rank));
    self.attr("industry") = industry_classification;
    self.attr("max_decay") = max_decay;
}

// True when `self.name` resolves to `own`, the class's own method: neither a
// subclass nor the instance replaced it.
bool uses_own(const py::object& self, const char* name, const py::object& own) {
    py::object bound = self.attr(name);
    if (!py::hasattr(bound, "__func__") || !py::hasattr(bound, "__self__")) return false;
    return py::object(bound.attr("__func__")).is(own) && py::object(bound.attr("__self__")).is(self);
}

struct OwnMethods {
    py::object calc_ic, calc_ic_decay;
};

py::object analysis(const py::module_& m, const OwnMethods& own, const py::object& self, const py::object& factor_data,
                    const py::object& returns, const py::object& periods, const py::object& ascending) {
    py::object validate = m.attr("_validate_data_frame");
    validate(py::arg("df") = factor_data, py::arg("name") = "factor_data");
    validate(py::arg("df") = returns, py::arg("name") = "returns");
    const bool negate = flag_argument(ascending, "ascending", true);
    const std::vector<std::int64_t> steps = period_list(periods);
    // Tables without dates give empty results whatever the periods.
    const auto n_rows = static_cast<std::int64_t>(py::len(returns));
    if (n_rows > 0 && py::len(factor_data) > 0) require_periods_within(steps, n_rows, "the returns table");
    require_possible_returns(dated_table(returns, "returns"));
    py::list listed;
    for (std::int64_t p : steps) listed.append(p);
    py::object fd = m.attr("_format_factor_data")(factor_data, returns, listed);
    if (flag_argument(self.attr("rank_ic"), "rank_ic", true) && negate) set_column(fd, py::str("factor"), py::object(fd["factor"]) * py::int_(-1));
    py::object ic, p_value, decay;
    // The per-date IC and its decay share every sort; when neither step was
    // replaced they are computed in one pass. State stays in this call.
    if (uses_own(self, "_calc_ic", own.calc_ic) && uses_own(self, "_calc_ic_decay", own.calc_ic_decay) &&
        is_product_layout(fd.attr("index"))) {
        py::tuple all = Analyser(m, self).ic_with_decay(fd);
        ic = all[0];
        p_value = all[1];
        decay = all[2];
    } else {
        py::tuple pair = self.attr("_calc_ic")(fd);
        ic = pair[0];
        p_value = pair[1];
        decay = self.attr("_calc_ic_decay")(fd, ic);
    }
    py::object distribute = self.attr("_calc_ic_industry_distribute")(fd);
    return m.attr("ICAnalysisResult")(py::arg("ic") = ic, py::arg("ic_p_value") = p_value, py::arg("ic_decay") = decay,
                                      py::arg("ic_industry_distribute") = distribute, py::arg("name") = self.attr("step_name"));
}

}  // namespace

void bind_ic_analysis(py::module_& m) {
    py::object cls = make_class("ICAnalysis", py::make_tuple(m.attr("FactorAnalyser")), m, nullptr);
    py::module_ mod = m;
    add_init(
        cls,
        [mod](py::object self, py::object rank_ic, py::object industry_classification, py::object max_decay) {
            init_ic_analysis(mod, std::move(self), std::move(rank_ic), std::move(industry_classification), std::move(max_decay));
        },
        py::doc(kIcInitDoc), py::arg("rank_ic") = true, py::arg("industry_classification") = py::none(),
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
    const OwnMethods own{cls.attr("_calc_ic"), cls.attr("_calc_ic_decay")};
    add_method(
        cls, "analysis",
        [mod, own](py::object self, py::object factor_data, py::object returns, py::object periods, py::object ascending) {
            return analysis(mod, own, self, factor_data, returns, periods, ascending);
        },
        py::arg("factor_data"), py::arg("returns"), py::arg("periods"), py::arg("ascending") = true);
    m.attr("ICAnalysis") = cls;
}

}  // namespace quellix::assaycore
