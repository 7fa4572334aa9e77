// Instruction-set copies of the window kernels' tile bodies.
//
// A tile body is plain loops across instruments, which the compiler
// vectorises; its AVX2 and AVX-512 copies have the body inlined (flatten), so
// the loops use that instruction set's registers, while anything left out of
// line stays baseline code. Contraction is off in every build, and the loops
// run across instruments, not along a sum, so every copy performs the same
// IEEE operations per value and gives the same bits.
#pragma once

#include "common/cpu_features.hpp"

namespace quellix::operators::core {

enum class Isa { baseline, avx2, avx512 };

inline Isa machine_isa() {
    return cpu_has_avx512() ? Isa::avx512 : cpu_has_avx2() ? Isa::avx2 : Isa::baseline;
}

// Sanitizer builds skip the inlining, which multiplies their compile time.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
#define QX_TILE_FLATTEN
#else
#define QX_TILE_FLATTEN gnu::flatten
#endif

template <class Body, class Tile>
[[gnu::target("avx512f,avx512vl,avx512dq,avx512bw,prefer-vector-width=512"), QX_TILE_FLATTEN]] void tile_avx512(
    const Body& body, const Tile& tile) {
    body(tile);
}

template <class Body, class Tile>
[[gnu::target("avx2"), QX_TILE_FLATTEN]] void tile_avx2(const Body& body, const Tile& tile) {
    body(tile);
}

// Only bodies built on comparisons (`Wide`) get an AVX-512 copy: they run
// twice as fast on it, the sums and moments 0-15 % faster, which is not worth
// compiling their third copy.
template <bool Wide, class Body, class Tile>
void run_tile(Isa isa, const Body& body, const Tile& tile) {
    if constexpr (Wide) {
        if (isa == Isa::avx512) return tile_avx512(body, tile);
    }
    if (isa != Isa::baseline) return tile_avx2(body, tile);
    body(tile);
}

}  // namespace quellix::operators::core
