// Which IEEE exceptions a kernel raised, so the binding can report them the
// way numpy reports its own arithmetic. The kernels repeat the numpy
// formulas operation for operation, so the hardware flags they raise are the
// ones the formulas would raise. Flags are per thread: each worker watches
// its own share and hands the caller's flags back unchanged.
#pragma once

#include <cfenv>

namespace quellix::rolling::core {

enum FpFlag : unsigned { fp_divide = 1u, fp_invalid = 8u };  // numpy's bit values

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

}  // namespace quellix::rolling::core
