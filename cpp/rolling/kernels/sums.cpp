// Compiled copies of the window sums, means, products and counts.
#include "rolling/core/moments.hpp"
#include "rolling/core/sums.hpp"
#include "rolling/simd/panels.hpp"

namespace core = quellix::rolling::core;

QX_KERNELS(core::Sum<double>, core::Sum<float>, core::Sum<std::int64_t>, core::Sum<std::uint64_t>,
           core::Product<double>, core::Product<float>, core::Product<std::int64_t>, core::Product<std::uint64_t>,
           core::Count<double>, core::Count<float>, core::Count<std::int64_t>, core::Count<std::uint64_t>,
           core::Dispersion<double, core::Moment::mean>, core::Dispersion<float, core::Moment::mean>)
