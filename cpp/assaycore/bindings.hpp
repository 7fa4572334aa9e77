#pragma once

#include "common/pybind11.hpp"

namespace quellix::assaycore {

// Called in this order, which is the order the module's names come into being.
void bind_format(py::module_& m);        // table validation, forward returns, frequency checks
void bind_industry(py::module_& m);      // industry classification loaders
void bind_ic_func(py::module_& m);       // _get_ic_func
void bind_step_bases(py::module_& m);    // FactorPreprocessor, FactorAnalyser
void bind_cross_section(py::module_& m); // Winzorization, Normalization
void bind_neutralization(py::module_& m); // Neutralization
void bind_ic_analysis(py::module_& m);   // ICAnalysis
void bind_quantile_returns(py::module_& m);  // QuantileReturnAnalysis
void bind_factor_returns(py::module_& m);    // FactorReturnAnalysis
void bind_engine(py::module_& m);        // FactorAnalysisEngine

}  // namespace quellix::assaycore
