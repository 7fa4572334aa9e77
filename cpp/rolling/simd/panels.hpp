// The definitions behind simd::run, for the kernel sources only. Each source
// in rolling/kernels/ is compiled once per instruction set (QX_ISA names it:
// 0 baseline, 1 AVX2, 2 AVX-512), so the copies build in parallel, and
// instantiates the kernels of its family with QX_KERNELS.
#pragma once

#include "rolling/simd/isa.hpp"

#ifndef QX_ISA
#error "kernel sources are compiled with QX_ISA set to 0, 1 or 2"
#endif

namespace quellix::rolling::simd {

// Sanitizer builds skip the whole-kernel inlining: it multiplies their
// compile time, and every path performs the same IEEE operations anyway.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__) || defined(QX_NO_FLATTEN)
#define QX_FLATTEN
#else
#define QX_FLATTEN gnu::flatten
#endif

// Each vector copy has the whole kernel inlined (flatten), so the lane
// vectors map onto its instruction set's registers (AVX-512 runs twice the
// lanes) while whatever is left out of line stays baseline code. Every path
// performs the same IEEE operations lane by lane (no FMA contraction, no
// reassociation), so the path a machine takes never changes a result.
// None is ever inlined into its caller in another source, which keeps the
// kernel's arithmetic between the binding's reads of the floating-point
// flags (the compiler does not order arithmetic by them).
template <class K>
[[gnu::target("avx512f,avx512vl,avx512dq,avx512bw"), QX_FLATTEN]] void panel_avx512(
    const K& k, const core::Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    core::run_panel<2 * K::width>(k, g, out, lo, hi);
}

template <class K>
[[gnu::target("avx2"), QX_FLATTEN]] void panel_avx2(const K& k, const core::Layout& g, typename K::out_type* out,
                                                    std::ptrdiff_t lo, std::ptrdiff_t hi) {
    core::run_panel<K::width>(k, g, out, lo, hi);
}

template <Isa I, class K>
void run(const K& k, const core::Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    if constexpr (I == Isa::avx512) {
        panel_avx512(k, g, out, lo, hi);
    } else if constexpr (I == Isa::avx2) {
        panel_avx2(k, g, out, lo, hi);
    } else {
        // One lane: the scalar operation sequence every vector lane performs.
        core::run_panel<1>(k, g, out, lo, hi);
    }
}

// Whether this source's instruction set holds a copy of K.
template <class K>
constexpr bool has_copy() {
    if constexpr (QX_ISA == 0) {
        return true;  // the scalar copy of every kernel
    } else if constexpr (QX_ISA == 1) {
        return vectorised<K>;
    } else {
        return wide<K>;
    }
}

using entry_type = void (*)();

template <class K>
entry_type entry() {
    if constexpr (has_copy<K>()) {
        return reinterpret_cast<entry_type>(&run<static_cast<Isa>(QX_ISA), K>);
    } else {
        return nullptr;
    }
}

// Taking the addresses makes the copies (the volatile store keeps them);
// the bindings' calls link to them.
template <class... K>
void instantiate() {
    [[maybe_unused]] volatile entry_type entries[] = {entry<K>()...};
}

}  // namespace quellix::rolling::simd

#define QX_KERNELS(...) template void quellix::rolling::simd::instantiate<__VA_ARGS__>();
