// Window sums across a row of instruments in numpy's pairwise order.
//
// The alpha formulas are written against numpy, whose add.reduce along a
// contiguous axis sums in blocks of eight accumulators (runs longer than 128
// split in halves). Summing in the same order makes window means and moments
// equal the numpy formulas bit for bit, so a tie that exact arithmetic makes
// (two equal windows) stays a tie when ranked.
//
// Several sums over the same window can be taken in one traversal: term(i, j,
// v) writes the N addends of window row i, instrument j into v[0..N).
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace quellix::operators::core {

struct PairwiseScratch {
    std::vector<double> accumulators;               // 8 lanes per sum and instrument
    std::vector<std::vector<double>> right_halves;  // one per level of splitting

    double* lanes(std::ptrdiff_t size) {
        if (static_cast<std::ptrdiff_t>(accumulators.size()) < size) accumulators.resize(size);
        return accumulators.data();
    }
    double* half(int level, std::ptrdiff_t size) {
        if (static_cast<int>(right_halves.size()) <= level) right_halves.resize(level + 1);
        if (static_cast<std::ptrdiff_t>(right_halves[level].size()) < size) right_halves[level].resize(size);
        return right_halves[level].data();
    }
};

template <int N>
using Outputs = std::array<double*, N>;

// outs[s][j] = sum over i in [lo, lo + n) of the s-th addend, n >= 1.
template <int N, class Term>
void pairwise_block(const Term& term, std::ptrdiff_t lo, std::ptrdiff_t n, std::ptrdiff_t cols, const Outputs<N>& outs,
                    PairwiseScratch& s) {
    double v[N];
    if (n < 8) {
        for (std::ptrdiff_t j = 0; j < cols; ++j) {
            term(lo, j, v);
            for (int q = 0; q < N; ++q) outs[q][j] = v[q];
        }
        for (std::ptrdiff_t i = 1; i < n; ++i) {
            for (std::ptrdiff_t j = 0; j < cols; ++j) {
                term(lo + i, j, v);
                for (int q = 0; q < N; ++q) outs[q][j] += v[q];
            }
        }
        return;
    }
    // r[(q * 8 + k) * cols + j]: accumulator k of sum q.
    double* r = s.lanes(N * 8 * cols);
    for (int k = 0; k < 8; ++k) {
        for (std::ptrdiff_t j = 0; j < cols; ++j) {
            term(lo + k, j, v);
            for (int q = 0; q < N; ++q) r[(q * 8 + k) * cols + j] = v[q];
        }
    }
    std::ptrdiff_t i = 8;
    for (; i < n - n % 8; i += 8) {
        for (int k = 0; k < 8; ++k) {
            for (std::ptrdiff_t j = 0; j < cols; ++j) {
                term(lo + i + k, j, v);
                for (int q = 0; q < N; ++q) r[(q * 8 + k) * cols + j] += v[q];
            }
        }
    }
    for (int q = 0; q < N; ++q) {
        const double* c = r + q * 8 * cols;
        double* o = outs[q];
        for (std::ptrdiff_t j = 0; j < cols; ++j) {
            o[j] = ((c[j] + c[cols + j]) + (c[2 * cols + j] + c[3 * cols + j])) +
                   ((c[4 * cols + j] + c[5 * cols + j]) + (c[6 * cols + j] + c[7 * cols + j]));
        }
    }
    for (; i < n; ++i) {
        for (std::ptrdiff_t j = 0; j < cols; ++j) {
            term(lo + i, j, v);
            for (int q = 0; q < N; ++q) outs[q][j] += v[q];
        }
    }
}

// numpy's tree over a window of n > 128 values: blocks longer than 128 split
// at half their length rounded down to a multiple of 8, the left half summed
// into the node's outputs, the right half into the scratch row of the node's
// depth, then added. Walked with an explicit stack rather than recursion: a
// recursive function is never inlined, so the instruction-set copies of the
// callers would run it as baseline code.
template <int N, class Term>
void pairwise_tree(const Term& term, std::ptrdiff_t n, std::ptrdiff_t cols, const Outputs<N>& outs,
                   PairwiseScratch& s) {
    struct Node {
        std::ptrdiff_t lo, n;
        Outputs<N> out;
        int stage;  // 0: left half next, 1: right half next, 2: add the halves
    };
    Node stack[64];
    int top = 0;
    stack[0] = {0, n, outs, 0};
    auto right_of = [&](int depth) {
        Outputs<N> halves;
        double* right = s.half(depth, N * cols);
        for (int q = 0; q < N; ++q) halves[q] = right + q * cols;
        return halves;
    };
    while (top >= 0) {
        Node& node = stack[top];
        if (node.n <= 128) {
            pairwise_block<N>(term, node.lo, node.n, cols, node.out, s);
            --top;
            continue;
        }
        std::ptrdiff_t n2 = node.n / 2;
        n2 -= n2 % 8;
        if (node.stage == 0) {
            node.stage = 1;
            stack[top + 1] = {node.lo, n2, node.out, 0};
            ++top;
        } else if (node.stage == 1) {
            node.stage = 2;
            stack[top + 1] = {node.lo + n2, node.n - n2, right_of(top), 0};
            ++top;
        } else {
            const Outputs<N> halves = right_of(top);
            for (int q = 0; q < N; ++q) {
                for (std::ptrdiff_t j = 0; j < cols; ++j) node.out[q][j] += halves[q][j];
            }
            --top;
        }
    }
}

template <int N, class Term>
void window_sums(const Term& term, std::ptrdiff_t n, std::ptrdiff_t cols, const Outputs<N>& outs, PairwiseScratch& s) {
    pairwise_tree<N>(term, n, cols, outs, s);
    // add.reduce starts from the identity.
    for (int q = 0; q < N; ++q) {
        for (std::ptrdiff_t j = 0; j < cols; ++j) outs[q][j] = 0.0 + outs[q][j];
    }
}

}  // namespace quellix::operators::core
