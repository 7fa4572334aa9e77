#include "common/pybind11.hpp"
#include "common/pyclass.hpp"
#include "rolling/bindings.hpp"

PYBIND11_MODULE(rolling, m) {
    // Docstrings are the module's own text; pybind11 must not prepend signatures.
    py::options options;
    options.disable_function_signatures();

    m.attr("chain") = py::module_::import("itertools").attr("chain");
    m.attr("np") = py::module_::import("numpy");
    py::module_ interface = quellix::import_sibling(m, "interface");
    for (const char* name : {"AbstractFactor", "ShiftedFactor", "BinaryCombinedFactor"}) {
        m.attr(name) = interface.attr(name);
    }
    m.attr("rolling_window") = quellix::import_sibling(m, "utils").attr("rolling_window");

    m.attr("__all__") = py::list(py::make_tuple(
        "COUNT", "TS_RANK", "EVERY", "PRODUCT", "COV", "COVARIANCE", "TS_REGRESSION", "TS_ZSCORE", "TS_SKEW",
        "TS_KURT", "AVEDEV", "TS_ARGMAX", "TS_ARGMIN", "CORR", "CORRELATION", "MA", "EMA", "WMA", "SMA", "STD",
        "STDDEV", "VAR", "DECAY_LINEAR", "SLOPE", "SUM", "TS_MIN", "TS_MAX", "HHV", "LLV"));

    quellix::rolling::bind_nodes(m);
    quellix::rolling::bind_sums(m);
    quellix::rolling::bind_rank(m);
    quellix::rolling::bind_weighted(m);
    quellix::rolling::bind_moments(m);
    quellix::rolling::bind_extremes(m);
    quellix::rolling::bind_pairs(m);
    quellix::rolling::bind_operators(m);
}
