// Rank of a window's newest value within the window.
#pragma once

#include "rolling/core/panel.hpp"

namespace quellix::rolling::core {

// Position of the newest value in a stable ascending sort with NaN above
// every number. Every other value is older, so under a stable sort it ranks
// below the newest exactly when it compares <= to it; a NaN newest value
// ranks above everything, including older NaNs.
template <class T>
struct Rank {
    using out_type = double;
    static constexpr int width = lanes<T>;
    static constexpr bool uses_masks = true;
    Src<T> x;
    std::ptrdiff_t n;

    template <int W>
    QX_INLINE vec<double, W> eval(std::ptrdiff_t off) const {
        using V = vec<T, W>;
        using M = decltype(V{} != V{});
        V last = x.template at<W>(off, n - 1);
        M below{};
        for (std::ptrdiff_t j = 0; j + 1 < n; ++j) below -= (x.template at<W>(off, j) <= last);
        if constexpr (is_float<T>) below = last != last ? splat<M>(static_cast<decltype(M{}[0])>(n - 1)) : below;
        return __builtin_convertvector(below, vec<double, W>) / static_cast<double>(n);
    }
};

}  // namespace quellix::rolling::core
