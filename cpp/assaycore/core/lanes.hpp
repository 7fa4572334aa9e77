// Pairs of double lanes for the whole-row loops of the portfolio cores.
//
// Pairs map straight onto SSE2 registers (part of every x86-64 target); wider
// generic vectors get split lane by lane around the NaN masks. Missing values
// are scattered across a row, so they are masked, not branched on.
#pragma once

#include <cstdint>
#include <cstring>

namespace quellix::assaycore::core {

typedef double pair __attribute__((vector_size(16)));
typedef std::int64_t bits __attribute__((vector_size(16)));

inline pair load_pair(const double* p) {
    pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store_pair(double* p, pair v) { std::memcpy(p, &v, sizeof v); }

inline pair unless_nan(pair v) { return (pair)((bits)v & (v == v)); }  // NaN lanes become +0.0

// a where `take` is set, else b.
inline pair choose(bits take, pair a, pair b) { return (pair)(((bits)a & take) | ((bits)b & ~take)); }

}  // namespace quellix::assaycore::core
