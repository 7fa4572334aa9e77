#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"
#include "assaycore/core/cross_section.hpp"
#include "assaycore/frames.hpp"
#include "common/pyclass.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace quellix::assaycore {

namespace {

using core::WinsorizeRule;

constexpr const char* kWinsorizeInitDoc = "__init_impl__(self, method='mad')\n--\n\n"
                                          " 离群值数据处理\n\n"
                                          ":param method: 去极值方法，可选 mad、std、percentile，默认为 mad\n";

// The built-in functions as they were when the module was loaded: the fast
// path stands in for exactly these objects, whatever name they are filed under.
using BuiltinRules = std::array<std::pair<py::object, WinsorizeRule>, 4>;

BuiltinRules builtin_rules(const py::module_& m) {
    py::module_ winsorize = import_sibling(m, "winsorize");
    return {{{winsorize.attr("winsorize_none"), WinsorizeRule::none},
             {winsorize.attr("winsorize_mad"), WinsorizeRule::mad},
             {winsorize.attr("winsorize_std"), WinsorizeRule::std},
             {winsorize.attr("winsorize_percentile"), WinsorizeRule::percentile}}};
}

// Each date is transformed alone: the rows keep their order and labels, and
// repeated or unordered dates (or instruments) change nothing.
template <class PerDate>
py::object transform(const py::object& factor_data, const char* name, bool keep_float32, const PerDate& per_date) {
    require_frame(factor_data, name);
    NumericValues values = numeric_values(factor_data, name);
    const std::int64_t n_dates = values.array.shape(0), n_instruments = values.array.shape(1);
    // Row-major: each date is computed where it is stored, and pandas adopts
    // the array as it stands.
    py::array_t<double> out({static_cast<py::ssize_t>(n_dates), static_cast<py::ssize_t>(n_instruments)});
    double* dst = out.mutable_data();
    {
        py::gil_scoped_release release;
        core::transform_dates(values.view(), dst, per_date);
    }
    py::object result = make_frame(out, factor_data.attr("index"), factor_data.attr("columns"));
    // pandas' arithmetic keeps a table that is float32 throughout in float32.
    if (keep_float32 && values.element == core::Element::float32) return result.attr("astype")("float32");
    return result;
}

void winsorization_init(const py::module_& m, const py::object& self, const py::object& method) {
    py::object valid = m.attr("VALID_WINSORIZE_METHODS");
    if (!valid.contains(method)) {
        throw py::value_error(py::str("method: expect one of {}, got {}").format(valid, method).cast<std::string>());
    }
    self.attr("method") = method;
}

py::object winsorization_process(const py::module_& m, const BuiltinRules& builtins, const py::object& self,
                                 const py::object& factor_data) {
    py::object function = m.attr("WINSORIZE_METHODS")[self.attr("method")];
    std::optional<WinsorizeRule> rule;
    for (const auto& [builtin, r] : builtins) {
        if (function.is(builtin)) rule = r;
    }
    require_frame(factor_data, "factor_data");
    // A table without cells gives one of the same labels: pandas' apply would
    // guess at its shape.
    const bool has_cells = py::len(factor_data.attr("index")) > 0 && py::len(factor_data.attr("columns")) > 0;
    if (!has_cells) {
        numeric_values(factor_data, "factor_data");
        return transform(factor_data, "factor_data", false, [](double*, std::int64_t, core::DateScratch&) {});
    }
    if (!rule) return factor_data.attr("apply")(function, py::arg("axis") = 1);
    const WinsorizeRule chosen = *rule;
    return transform(factor_data, "factor_data", false, [chosen](double* row, std::int64_t n, core::DateScratch& s) {
        core::winsorize_row(chosen, row, n, s);
    });
}

}  // namespace

void bind_cross_section(py::module_& m) {
    py::module_ mod = m;
    py::object preprocessor = m.attr("FactorPreprocessor");

    py::object winsorization = make_class("Winzorization", py::make_tuple(preprocessor), m, nullptr);
    add_init(
        winsorization, [mod](const py::object& self, const py::object& method) { winsorization_init(mod, self, method); },
        py::arg("method") = "mad", kWinsorizeInitDoc);
    add_method(
        winsorization, "process",
        [mod, builtins = builtin_rules(m)](const py::object& self, const py::object& factor_data) {
            return winsorization_process(mod, builtins, self, factor_data);
        },
        py::arg("factor_data"), "process(self, factor_data)\n--\n\n");
    m.attr("Winzorization") = winsorization;

    py::object normalization = make_class("Normalization", py::make_tuple(preprocessor), m, " 标准化方法 ");
    add_method(
        normalization, "process",
        [](const py::object&, const py::object& factor_data) {
            return transform(factor_data, "factor_data", true, [](double* row, std::int64_t n, core::DateScratch& s) {
                core::normalize_row(row, n, s);
            });
        },
        py::arg("factor_data"), "process(self, factor_data)\n--\n\n");
    m.attr("Normalization") = normalization;
}

}  // namespace quellix::assaycore
