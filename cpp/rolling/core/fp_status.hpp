// Which IEEE exceptions a kernel raised, so the binding can report them the
// way numpy reports its own arithmetic. The kernels repeat the numpy
// formulas operation for operation, so the flags they raise are the ones the
// formulas would raise. Flags are per thread: each worker watches its own
// share and leaves the watched flags as it found them.
#pragma once

#if defined(__SSE2__)
#include <immintrin.h>
#else
#include <cfenv>
#endif

namespace quellix::rolling::core {

enum FpFlag : unsigned { fp_divide = 1u, fp_invalid = 8u };  // numpy's bit values

#if defined(__SSE2__)
// All kernel arithmetic is SSE/AVX, whose flags live in MXCSR. Writing MXCSR
// stalls the pipeline, so it is written only when a watched flag was already
// set on entry or got set by the kernel, both rare: numpy clears the flags
// around its own ufuncs.
class FpWatch {
  public:
    FpWatch() : saved_(_mm_getcsr()) {
        if (saved_ & kWatched) _mm_setcsr(saved_ & ~kWatched);
    }
    ~FpWatch() {
        const unsigned now = _mm_getcsr();
        const unsigned restored = (now & ~kWatched) | (saved_ & kWatched);
        if (restored != now) _mm_setcsr(restored);
    }
    FpWatch(const FpWatch&) = delete;
    FpWatch& operator=(const FpWatch&) = delete;

    unsigned raised() const {
        const unsigned csr = _mm_getcsr();
        return ((csr & _MM_EXCEPT_DIV_ZERO) ? fp_divide : 0u) | ((csr & _MM_EXCEPT_INVALID) ? fp_invalid : 0u);
    }

  private:
    static constexpr unsigned kWatched = _MM_EXCEPT_DIV_ZERO | _MM_EXCEPT_INVALID;
    unsigned saved_;
};
#else
class FpWatch {
  public:
    FpWatch() {
        std::fegetexceptflag(&saved_, FE_ALL_EXCEPT);
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    ~FpWatch() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
    FpWatch(const FpWatch&) = delete;
    FpWatch& operator=(const FpWatch&) = delete;

    unsigned raised() const {
        const int f = std::fetestexcept(FE_DIVBYZERO | FE_INVALID);
        return ((f & FE_DIVBYZERO) ? fp_divide : 0u) | ((f & FE_INVALID) ? fp_invalid : 0u);
    }

  private:
    std::fexcept_t saved_;
};
#endif

}  // namespace quellix::rolling::core
