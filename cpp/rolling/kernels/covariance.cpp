// Compiled copies of the rolling covariance of two series, for every pair
// of element types and product type the binding can choose.
#include "rolling/core/two_series.hpp"
#include "rolling/simd/panels.hpp"

namespace core = quellix::rolling::core;

template <class A, class B, class Q>
using K = core::TwoSeries<A, B, Q, core::Pair::covariance>;

QX_KERNELS(K<double, double, double>, K<float, float, float>, K<double, float, float>, K<double, float, double>,
           K<float, double, float>, K<float, double, double>)
