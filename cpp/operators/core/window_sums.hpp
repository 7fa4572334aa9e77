// Window sums across a row of instruments in numpy's pairwise order.
//
// The alpha formulas are written against numpy, whose add.reduce along a
// contiguous axis sums in blocks of eight accumulators (runs longer than 128
// split in halves). Summing in the same order makes window means and moments
// equal the numpy formulas bit for bit, so a tie that exact arithmetic makes
// (two equal windows) stays a tie when ranked.
#pragma once

#include <cstddef>
#include <vector>

namespace quellix::operators::core {

struct PairwiseScratch {
    std::vector<double> accumulators;               // 8 lanes per instrument
    std::vector<std::vector<double>> right_halves;  // one per level of splitting

    double* lanes(std::ptrdiff_t cols) {
        if (static_cast<std::ptrdiff_t>(accumulators.size()) < 8 * cols) accumulators.resize(8 * cols);
        return accumulators.data();
    }
    double* half(int level, std::ptrdiff_t cols) {
        if (static_cast<int>(right_halves.size()) <= level) right_halves.resize(level + 1);
        if (static_cast<std::ptrdiff_t>(right_halves[level].size()) < cols) right_halves[level].resize(cols);
        return right_halves[level].data();
    }
};

// out[j] = sum over i in [lo, lo + n) of term(i, j), n >= 1, without numpy's final `0.0 +`.
template <class Term>
void pairwise_block(const Term& term, std::ptrdiff_t lo, std::ptrdiff_t n, std::ptrdiff_t cols, double* out,
                    PairwiseScratch& s) {
    if (n < 8) {
        for (std::ptrdiff_t j = 0; j < cols; ++j) out[j] = term(lo, j);
        for (std::ptrdiff_t i = 1; i < n; ++i) {
            for (std::ptrdiff_t j = 0; j < cols; ++j) out[j] += term(lo + i, j);
        }
        return;
    }
    double* r = s.lanes(cols);
    for (int k = 0; k < 8; ++k) {
        double* rk = r + k * cols;
        for (std::ptrdiff_t j = 0; j < cols; ++j) rk[j] = term(lo + k, j);
    }
    std::ptrdiff_t i = 8;
    for (; i < n - n % 8; i += 8) {
        for (int k = 0; k < 8; ++k) {
            double* rk = r + k * cols;
            for (std::ptrdiff_t j = 0; j < cols; ++j) rk[j] += term(lo + i + k, j);
        }
    }
    for (std::ptrdiff_t j = 0; j < cols; ++j) {
        const double* c = r + j;
        out[j] = ((c[0] + c[cols]) + (c[2 * cols] + c[3 * cols])) + ((c[4 * cols] + c[5 * cols]) + (c[6 * cols] + c[7 * cols]));
    }
    for (; i < n; ++i) {
        for (std::ptrdiff_t j = 0; j < cols; ++j) out[j] += term(lo + i, j);
    }
}

template <class Term>
void pairwise_split(const Term& term, std::ptrdiff_t lo, std::ptrdiff_t n, std::ptrdiff_t cols, double* out,
                    PairwiseScratch& s, int level) {
    if (n <= 128) {
        pairwise_block(term, lo, n, cols, out, s);
        return;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    pairwise_split(term, lo, n2, cols, out, s, level + 1);
    double* right = s.half(level, cols);
    pairwise_split(term, lo + n2, n - n2, cols, right, s, level + 1);
    for (std::ptrdiff_t j = 0; j < cols; ++j) out[j] += right[j];
}

template <class Term>
void window_sum(const Term& term, std::ptrdiff_t n, std::ptrdiff_t cols, double* out, PairwiseScratch& s) {
    pairwise_split(term, 0, n, cols, out, s, 0);
    for (std::ptrdiff_t j = 0; j < cols; ++j) out[j] = 0.0 + out[j];  // add.reduce starts from the identity
}

}  // namespace quellix::operators::core
