// The instruction sets the compiled kernel copies are chosen by. Free of
// Python; every module asks here so that all agree on what "AVX-512" means.
#pragma once

namespace quellix {

#if defined(__x86_64__) && defined(__GNUC__)
inline bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

// The subset the AVX-512 copies are compiled for.
inline bool cpu_has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
}
#else
inline bool cpu_has_avx2() { return false; }
inline bool cpu_has_avx512() { return false; }
#endif

}  // namespace quellix
