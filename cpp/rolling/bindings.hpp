#pragma once

#include "common/pybind11.hpp"

namespace quellix::rolling {

void bind_nodes(py::module_& m);      // RollingWindowFactor, CombinedRollingWindowFactor
void bind_operators(py::module_& m);  // upper-case operators and their aliases

// The numeric kernels, one translation unit per family.
void bind_sums(py::module_& m);        // count, product, ma, sum
void bind_rank(py::module_& m);        // ts_rank
void bind_weighted(py::module_& m);    // ema, wma, slope
void bind_moments(py::module_& m);     // std, var, zscore, avedev, skew, kurt
void bind_extremes(py::module_& m);    // ts_min, ts_max, ts_argmax, ts_argmin
// Two series, one file per kernel: their pair instantiations are the heaviest.
void bind_covariance(py::module_& m);
void bind_correlation(py::module_& m);
void bind_regression(py::module_& m);

}  // namespace quellix::rolling
