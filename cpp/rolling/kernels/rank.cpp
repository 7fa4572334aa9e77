// Compiled copies of the rank of the newest value in its window.
#include "rolling/core/rank.hpp"
#include "rolling/simd/panels.hpp"

namespace core = quellix::rolling::core;

QX_KERNELS(core::Rank<double>, core::Rank<float>, core::Rank<std::int64_t>, core::Rank<std::uint64_t>)
