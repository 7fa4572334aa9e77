// Compiled copies of the dispersion and higher-moment kernels.
#include "rolling/core/moments.hpp"
#include "rolling/simd/panels.hpp"

namespace core = quellix::rolling::core;
using core::Moment;

QX_KERNELS(core::Dispersion<double, Moment::var>, core::Dispersion<float, Moment::var>, core::AveDev<double>,
           core::AveDev<float>, core::Skew<double>, core::Skew<float>, core::Kurt<double>, core::Kurt<float>)
