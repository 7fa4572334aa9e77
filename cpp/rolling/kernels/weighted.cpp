// Compiled copies of the weighted window sums and the trend.
#include "rolling/core/weighted.hpp"
#include "rolling/simd/panels.hpp"

namespace core = quellix::rolling::core;

QX_KERNELS(core::WeightedSum<double>, core::WeightedSum<float>, core::Slope<double>, core::Slope<float>,
           core::Slope<std::int64_t>, core::Slope<std::uint64_t>)
