#pragma once

#include "common/pybind11.hpp"

namespace quellix::rolling {

void bind_nodes(py::module_& m);      // RollingWindowFactor, CombinedRollingWindowFactor
void bind_operators(py::module_& m);  // upper-case operators and their aliases

// The numeric kernels by family (their compiled copies are in kernels/).
void bind_sums(py::module_& m);        // count, product, ma, sum
void bind_rank(py::module_& m);        // ts_rank
void bind_weighted(py::module_& m);    // ema, wma, slope
void bind_moments(py::module_& m);     // std, var, zscore, avedev, skew, kurt
void bind_extremes(py::module_& m);    // ts_min, ts_max, ts_argmax, ts_argmin
void bind_pairs(py::module_& m);       // covariance, correlation, regression

}  // namespace quellix::rolling
