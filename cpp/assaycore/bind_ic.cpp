#include "common/pybind11.hpp"
#include "assaycore/bindings.hpp"

namespace quellix::assaycore {

namespace {

// The NaN mask is combined from both inputs, so an instrument missing either
// value drops out of the pair; infinities are kept and left to scipy.
py::object ic_wrapper(const py::object& corr, const py::object& fs, const py::object& rs) {
    py::module_ np = py::module_::import("numpy");
    py::object mask = (np.attr("isnan")(fs) | np.attr("isnan")(rs)).attr("__invert__")();
    if (py::int_(np.attr("sum")(mask)).cast<long long>() > 1) {
        return corr(fs[mask], rs[mask]);
    }
    return py::make_tuple(0, 0);
}

py::object make_wrapper(const char* scipy_name) {
    py::object corr = py::module_::import("scipy.stats").attr(scipy_name);
    return py::cpp_function([corr](const py::object& fs, const py::object& rs) { return ic_wrapper(corr, fs, rs); },
                            py::name("wrapper"), py::arg("fs"), py::arg("rs"));
}

}  // namespace

// One wrapper per correlation, shared by every caller: ICAnalysis recognises
// them by identity and then computes the same correlation in bulk.
void bind_ic_func(py::module_& m) {
    py::object spearman = make_wrapper("spearmanr");
    py::object pearson = make_wrapper("pearsonr");
    m.def(
        "_get_ic_func", [spearman, pearson](const py::object& rank_ic) { return py::bool_(rank_ic) ? spearman : pearson; },
        py::arg("rank_ic") = false);
}

}  // namespace quellix::assaycore
