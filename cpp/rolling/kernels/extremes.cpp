// Compiled copies of the window extremes and their positions.
#include "rolling/core/extremes.hpp"
#include "rolling/simd/panels.hpp"

namespace core = quellix::rolling::core;

QX_KERNELS(core::Extreme<double, false>, core::Extreme<float, false>, core::Extreme<std::int64_t, false>,
           core::Extreme<std::uint64_t, false>, core::Extreme<double, true>, core::Extreme<float, true>,
           core::Extreme<std::int64_t, true>, core::Extreme<std::uint64_t, true>, core::ArgExtreme<double, false>,
           core::ArgExtreme<float, false>, core::ArgExtreme<std::int64_t, false>,
           core::ArgExtreme<std::uint64_t, false>, core::ArgExtreme<double, true>, core::ArgExtreme<float, true>,
           core::ArgExtreme<std::int64_t, true>, core::ArgExtreme<std::uint64_t, true>)
