#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"
#include "common/pyclass.hpp"

namespace quellix::assaycore {

// Both bases are plain Python classes without an __init__ of their own, so a
// subclass may define any constructor and need not call the base one.
void bind_step_bases(py::module_& m) {
    py::object preprocessor = make_class("FactorPreprocessor", py::make_tuple(), m, " 因子数据预处理基类 ");
    add_method(
        preprocessor, "process",
        [](const py::object&, const py::object&) -> py::object {
            PyErr_SetString(PyExc_NotImplementedError, "Need implement FactorPreprocessor.process");
            throw py::error_already_set();
        },
        py::arg("factor_data"), "process(self, factor_data)\n--\n\n");
    m.attr("FactorPreprocessor") = preprocessor;

    py::object analyser = make_class("FactorAnalyser", py::make_tuple(), m, nullptr);
    analyser.attr("step_name") = "FactorAnalysisStep";
    add_method(
        analyser, "analysis",
        [](const py::object&, const py::object&, const py::object&, const py::object&,
           const py::object&) -> py::object {
            PyErr_SetString(PyExc_NotImplementedError, "Need implement FactorAnalyser.analysis");
            throw py::error_already_set();
        },
        py::arg("factor_data"), py::arg("returns"), py::arg("periods"), py::arg("ascending") = true,
        "analysis(self, factor_data, returns, periods, ascending=True)\n--\n\n");
    m.attr("FactorAnalyser") = analyser;
}

}  // namespace quellix::assaycore
