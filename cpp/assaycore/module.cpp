#include "assaycore/bindings.hpp"
#include "common/pybind11.hpp"
#include "common/pyclass.hpp"

PYBIND11_MODULE(assaycore, m) {
    py::options options;
    options.disable_function_signatures();

    m.doc() = "因子检验";
    py::module_ builtins = py::module_::import("builtins");
    m.attr("warnings") = py::module_::import("warnings");
    m.attr("chain") = py::module_::import("itertools").attr("chain");
    m.attr("defaultdict") = py::module_::import("collections").attr("defaultdict");
    m.attr("datetime") = py::module_::import("datetime");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("st") = py::module_::import("scipy.stats");
    m.attr("sm") = py::module_::import("statsmodels.api");
    m.attr("vestamo") = py::module_::import("vestamo");
    m.attr("ttl_cache") = py::module_::import("vestamo.decorators").attr("ttl_cache");
    m.attr("to_date_str") = py::module_::import("vestamo.utils").attr("to_date_str");
    m.attr("WINSORIZE_METHODS") = quellix::import_sibling(m, "winsorize").attr("WINSORIZE_METHODS");

    // `from .analysis_result import *`
    py::module_ results = quellix::import_sibling(m, "analysis_result");
    py::object public_names = py::hasattr(results, "__all__") ? results.attr("__all__") : py::object(py::none());
    if (public_names.is_none()) {
        py::list names;
        for (auto name : builtins.attr("dir")(results)) {
            if (!name.cast<std::string>().starts_with("_")) names.append(name);
        }
        public_names = names;
    }
    for (auto name : public_names) m.attr(name) = results.attr(name);

    m.attr("VALID_INDUSTRY_SOURCE") = py::make_tuple("citics_2019", "sws");
    m.attr("VALID_WINSORIZE_METHODS") = py::make_tuple("none", "mad", "std", "percentile");
    py::dict field_mapping;
    field_mapping["citics_2019"] = "first_industry_name";
    field_mapping["sws"] = "index_name";
    m.attr("FIELD_MAPPING") = field_mapping;

    quellix::assaycore::bind_format(m);
    quellix::assaycore::bind_industry(m);
    quellix::assaycore::bind_ic_func(m);
    quellix::assaycore::bind_step_bases(m);
    quellix::assaycore::bind_cross_section(m);
    quellix::assaycore::bind_neutralization(m);
    quellix::assaycore::bind_ic_analysis(m);
    quellix::assaycore::bind_quantile_returns(m);
    quellix::assaycore::bind_factor_returns(m);
    quellix::assaycore::bind_engine(m);

    // Only the public classes that exist are exported, in their fixed order.
    py::list all;
    for (const char* name : {"Winzorization", "Normalization", "Neutralization", "ICAnalysis",
                             "QuantileReturnAnalysis", "FactorReturnAnalysis", "FactorAnalysisEngine"}) {
        if (py::hasattr(m, name)) all.append(name);
    }
    m.attr("__all__") = all;
}
