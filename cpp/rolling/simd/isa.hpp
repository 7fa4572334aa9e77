// The entry points of the compiled kernel copies, and which kernels get
// which copies. Free of Python: the bindings call these, the sources in
// rolling/kernels/ define them (see panels.hpp).
//
// Copy policy: float64 (what factor expressions always hand over) and the
// integer counts behind COUNT and EVERY run on vector lanes on machines with
// AVX2 (and AVX-512 where it pays); every other element type, mixed pairs and
// machines without AVX2 take the scalar copy (one lane), which performs the
// same operation sequence as each vector lane and so gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "rolling/core/panel.hpp"

namespace quellix::rolling::core {
template <class T>
struct Sum;
template <class T>
struct Count;
}  // namespace quellix::rolling::core

namespace quellix::rolling::simd {

enum class Isa { baseline, avx2, avx512 };

// Windows [lo, hi) (or series [lo, hi)) of K over the panel, on I.
template <Isa I, class K>
void run(const K& k, const core::Layout& g, typename K::out_type* out, std::ptrdiff_t lo, std::ptrdiff_t hi);

template <class S>
using element_of = std::remove_cvref_t<decltype(*S{}.p)>;

template <class K>
constexpr bool reads_only_double() {
    if constexpr (requires(const K& k) {
                      k.a;
                      k.b;
                  }) {
        return std::is_same_v<element_of<decltype(K::a)>, double> && std::is_same_v<element_of<decltype(K::b)>, double> &&
               std::is_same_v<typename K::out_type, double>;
    } else {
        return std::is_same_v<element_of<decltype(K::x)>, double>;
    }
}

template <class K>
inline constexpr bool vectorised = reads_only_double<K>() || std::is_same_v<K, core::Sum<std::int64_t>> ||
                                   std::is_same_v<K, core::Count<std::int64_t>>;

// GCC lowers comparisons of 512-bit generic vectors lane by lane, so kernels
// built on comparison masks stay on 256-bit registers.
template <class K>
constexpr bool uses_masks() {
    if constexpr (requires { K::uses_masks; }) {
        return K::uses_masks;
    } else {
        return false;
    }
}

// Kernels with an AVX-512 copy; the others run their AVX2 copy there. Every
// float64 kernel that is not built on masks gains at least 20 % from it on
// whole-market panels or on series (measured with
// benchmarks/compare_builds.py against a build without it).
template <class K>
inline constexpr bool wide = vectorised<K> && !uses_masks<K>();

// The copy a machine with instruction set `isa` runs.
template <class K>
void run_on(Isa isa, const K& k, const core::Layout& g, typename K::out_type* out, std::ptrdiff_t lo,
            std::ptrdiff_t hi) {
    if constexpr (!vectorised<K>) {
        run<Isa::baseline>(k, g, out, lo, hi);
    } else {
        if constexpr (wide<K>) {
            if (isa == Isa::avx512) return run<Isa::avx512>(k, g, out, lo, hi);
        }
        if (isa != Isa::baseline) return run<Isa::avx2>(k, g, out, lo, hi);
        run<Isa::baseline>(k, g, out, lo, hi);
    }
}

}  // namespace quellix::rolling::simd
