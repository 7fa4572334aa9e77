// Per-date least-squares residuals of a factor on style exposures, industry
// dummies and user factors.
//
// The residual of a least-squares fit is the projection of the factor onto
// the complement of the regressors' column space, so it is the same for every
// solution of a rank-deficient design (the pseudo-inverse one included). The
// industry dummies are absorbed first: projecting them out is demeaning within
// each industry present among the fitted instruments (an unclassified
// instrument has all-zero dummies and is left as it is; a code no fitted
// instrument has adds a zero column and nothing to the space). What remains
// is fitted by the normal equations when its columns are well separated, and
// otherwise by a column-pivoted Householder QR, which reveals the rank of the
// style and user columns after the demeaning; the residual is then the factor
// minus its projection onto the leading, independent part of Q.
#pragma once

#include "assaycore/core/element.hpp"
#include "assaycore/core/exposure_index.hpp"
#include "assaycore/core/row_blocks.hpp"
#include "common/parallel.hpp"

#include <Eigen/Core>
#include <Eigen/Eigenvalues>
#include <Eigen/QR>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

namespace quellix::assaycore::core {

// Industry codes: a (change dates x instruments) integer table; factor row i
// reads its row position_of_row[i], factor column n its column col_of[n] (-1:
// not in the table, code -1).
struct IndustryCodes {
    StridedTable<std::int64_t> codes;
    const std::int64_t* position_of_row = nullptr;
    const std::int64_t* col_of = nullptr;
    bool present = false;
};

// A user factor table read at row row_of[i] and column col_of[n] (-1: missing).
struct UserFactor {
    StridedTable<double> values;
    const std::int64_t* row_of = nullptr;
    const std::int64_t* col_of = nullptr;
};

// Number of industry dummy columns: the largest code any requested instrument
// has on any change date, plus one (0 when none is classified).
inline std::int64_t industry_count(const IndustryCodes& ind, std::int64_t n_instruments) {
    if (!ind.present) return 0;
    std::int64_t largest = -1;
    // Row by row: the table is stored by change date.
    for (std::int64_t r = 0; r < ind.codes.rows; ++r) {
        const char* row = ind.codes.data + r * ind.codes.row_stride;
        for (std::int64_t n = 0; n < n_instruments; ++n) {
            const std::int64_t c = ind.col_of[n];
            if (c >= 0) largest = std::max(largest, *reinterpret_cast<const std::int64_t*>(row + c * ind.codes.col_stride));
        }
    }
    return largest + 1;
}

namespace detail {

// Subtracts from x its mean within each group (group < 0: left alone). The
// mean is refined by a second pass, so a column constant within an industry
// comes out as zeros rather than rounding noise that could pass for a
// regressor.
inline void demean_by_group(double* x, const std::int32_t* group, std::int64_t m, const std::vector<double>& count,
                            std::vector<double>& mean, std::vector<double>& correction) {
    std::fill(mean.begin(), mean.end(), 0.0);
    std::fill(correction.begin(), correction.end(), 0.0);
    for (std::int64_t k = 0; k < m; ++k) {
        if (group[k] >= 0) mean[group[k]] += x[k];
    }
    for (std::size_t g = 0; g < mean.size(); ++g) mean[g] = count[g] > 0 ? mean[g] / count[g] : 0.0;
    for (std::int64_t k = 0; k < m; ++k) {
        if (group[k] >= 0) correction[group[k]] += x[k] - mean[group[k]];
    }
    for (std::size_t g = 0; g < mean.size(); ++g) {
        if (count[g] > 0) mean[g] += correction[g] / count[g];
    }
    for (std::int64_t k = 0; k < m; ++k) {
        if (group[k] >= 0) x[k] -= mean[group[k]];
    }
}

// What one worker reuses from block to block: for each date of a block, the
// industry code of every instrument, the rows of its fitted instruments
// (design columns of n entries each, factor values, industries, columns) and
// its design columns' sums of squares.
struct Workspace {
    Eigen::MatrixXd gram;
    Eigen::VectorXd projected;
    std::vector<double> design, fitted, squares, values;
    std::vector<std::int32_t> codes, group;
    std::vector<std::int64_t> who, fits;
    std::vector<double> count, mean, correction;
};

// The common case first: when the (scaled, demeaned) columns are far from
// collinear, the normal equations give the residual in half the work of a
// QR, and their error, a few roundings times the squared condition number
// (kept below 100^2 here), stays far below what the fit can resolve. Returns
// false, touching nothing, when the columns are not so well separated.
inline bool well_conditioned_residual(const Eigen::Map<Eigen::MatrixXd, 0, Eigen::OuterStride<>>& a,
                                      Eigen::Map<Eigen::VectorXd>& y, Workspace& w) {
    if (a.rows() < a.cols()) return false;
    w.gram.noalias() = a.transpose() * a;
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(w.gram);
    const auto& lambda = eigen.eigenvalues();
    if (eigen.info() != Eigen::Success || !(lambda(0) > 1e-4 * lambda(lambda.size() - 1))) return false;
    w.projected.noalias() = eigen.eigenvectors().transpose() * (a.transpose() * y);
    w.projected.array() /= lambda.array();
    y.noalias() -= a * (eigen.eigenvectors() * w.projected);
    return true;
}

}  // namespace detail

// Residuals of every date of the (dates x instruments) factor table, written
// to every cell of the row-major `out`. A date whose factor values are all
// missing, and an instrument lacking its factor value or any regressor value
// (NaN or infinite) on a date, get NaN. With no regressor at all a
// fitted instrument keeps its factor value.
inline void neutralize(const StridedTable<double>& factor, const StyleExposures& style, const IndustryCodes& industry,
                       const std::vector<UserFactor>& users, double* out) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::int64_t n_dates = factor.rows, n = factor.cols;
    const std::int64_t S = style.present ? style.values.cols : 0;
    const std::int64_t I = industry_count(industry, n);
    const std::int64_t O = static_cast<std::int64_t>(users.size());
    const std::int64_t P = S + O, K = S + I + O;
    const ExposureIndex exposures = S > 0 ? ExposureIndex(style, n_dates, n) : ExposureIndex();

    // A column counts as explained by the ones before it when what is left
    // of it (relative to its own size before the demeaning) is within a few
    // roundings of zero. That is far above the noise the demeaning and the
    // reflections leave, and far below the collinearity at which the
    // pseudo-inverse solution's own residuals stop being accurate.
    const auto tolerance = [K](std::int64_t m) {
        return 4.0 * static_cast<double>(std::max(m, K)) * std::numeric_limits<double>::epsilon();
    };

    // Each instrument's exposures lie in a run of dates somewhere else in the
    // exposure table: long blocks of dates read them in long runs (memory
    // latency, not bandwidth, is what a short run costs), as long as a
    // block's fitted rows stay within a few tens of megabytes.
    const std::int64_t per_date = std::max<std::int64_t>(n * (P + 3) * 8, 1);
    const std::int64_t dates_per_block = std::clamp<std::int64_t>((32 << 20) / per_date, kDateBlock, 64);
    const std::int64_t blocks = (n_dates + dates_per_block - 1) / dates_per_block;
    const std::ptrdiff_t threads = thread_count(blocks, n_dates * n * (K + 1));
    std::vector<detail::Workspace> spaces(static_cast<std::size_t>(threads));
    run_dynamic(threads, blocks, [&](std::ptrdiff_t worker, std::ptrdiff_t block) {
        detail::Workspace& w = spaces[static_cast<std::size_t>(worker)];
        const auto cells = static_cast<std::size_t>(dates_per_block * n);
        if (w.fitted.size() < cells) {
            w.design.resize(cells * static_cast<std::size_t>(P));
            w.fitted.resize(cells);
            w.codes.resize(I > 0 ? cells : 0);
            w.group.resize(cells);
            w.who.resize(cells);
            w.fits.resize(static_cast<std::size_t>(dates_per_block));
            w.squares.resize(static_cast<std::size_t>(dates_per_block * P));
            w.values.resize(static_cast<std::size_t>(P));
            w.count.resize(static_cast<std::size_t>(I));
            w.mean.resize(static_cast<std::size_t>(I));
            w.correction.resize(static_cast<std::size_t>(I));
        }
        const std::int64_t t0 = block * dates_per_block;
        const std::int64_t rows = std::min(dates_per_block, n_dates - t0);
        std::fill(w.fits.begin(), w.fits.end(), 0);
        std::fill(w.squares.begin(), w.squares.end(), 0.0);

        // The factor values and industry codes of the block's dates, read
        // date by date (the factor goes where its residuals will).
        double* factor_rows = out + t0 * n;
        gather_dates(factor, t0, rows, factor_rows);
        for (std::int64_t b = 0; b < rows && I > 0; ++b) {
            // A date before the first change takes the first change's codes.
            const std::int64_t at = std::max<std::int64_t>(industry.position_of_row[t0 + b], 0);
            const char* codes = industry.codes.data + at * industry.codes.row_stride;
            std::int32_t* code = w.codes.data() + b * n;
            for (std::int64_t c = 0; c < n; ++c) {
                const std::int64_t col = industry.col_of[c];
                const std::int64_t v = col >= 0 ? *reinterpret_cast<const std::int64_t*>(codes + col * industry.codes.col_stride) : -1;
                code[c] = static_cast<std::int32_t>(v < 0 ? -1 : v);
            }
        }

        // The fitted rows of every date of the block, taken instrument by
        // instrument so the exposures are walked along each one's run of dates.
        double* x = w.values.data();
        for (std::int64_t c = 0; c < n; ++c) {
            const std::int64_t inst = S > 0 ? style.inst_of_col[c] : -1;
            for (std::int64_t b = 0; b < rows; ++b) {
                const std::int64_t i = t0 + b;
                const double y = factor_rows[b * n + c];
                if (!std::isfinite(y)) continue;
                bool complete = true;
                if (S > 0) {
                    const std::int64_t r = exposures.row(inst, style.date_of_row[i]);
                    if (r < 0) continue;
                    for (std::int64_t j = 0; j < S; ++j) {
                        x[j] = style.values.at(r, j);
                        complete = complete && std::isfinite(x[j]);
                    }
                }
                for (std::int64_t k = 0; k < O; ++k) {
                    const UserFactor& f = users[static_cast<std::size_t>(k)];
                    const std::int64_t row = f.row_of[i], col = f.col_of[c];
                    x[S + k] = (row >= 0 && col >= 0) ? f.values.at(row, col) : nan;
                    complete = complete && std::isfinite(x[S + k]);
                }
                if (!complete) continue;
                const std::int64_t m = w.fits[b]++;
                double* a = w.design.data() + b * n * P;
                double* squares = w.squares.data() + b * P;
                for (std::int64_t j = 0; j < P; ++j) {
                    a[j * n + m] = x[j];
                    squares[j] += x[j] * x[j];
                }
                w.fitted[b * n + m] = y;
                w.group[b * n + m] = I > 0 ? w.codes[b * n + c] : -1;
                w.who[b * n + m] = c;
            }
        }

        std::fill(out + t0 * n, out + (t0 + rows) * n, nan);
        for (std::int64_t b = 0; b < rows; ++b) {
            const std::int64_t m = w.fits[b];
            if (m == 0) continue;
            double* a = w.design.data() + b * n * P;
            double* fitted_values = w.fitted.data() + b * n;
            const std::int32_t* group = w.group.data() + b * n;

            // Each column measured against its own size before the demeaning.
            for (std::int64_t j = 0; j < P; ++j) {
                Eigen::Map<Eigen::VectorXd> col(a + j * n, m);
                double size = std::sqrt(w.squares[b * P + j]);
                // The plain sum of squares over- or underflows only for extreme
                // scales; the scaled norm is slower but safe.
                if (!(size > 0 && size <= std::numeric_limits<double>::max())) size = col.stableNorm();
                if (!std::isfinite(size)) size = col.cwiseAbs().maxCoeff();
                if (size > 0) col /= size;
            }
            if (I > 0) {
                std::fill(w.count.begin(), w.count.end(), 0.0);
                for (std::int64_t k = 0; k < m; ++k) {
                    if (group[k] >= 0) w.count[group[k]] += 1.0;
                }
                detail::demean_by_group(fitted_values, group, m, w.count, w.mean, w.correction);
                for (std::int64_t j = 0; j < P; ++j) {
                    detail::demean_by_group(a + j * n, group, m, w.count, w.mean, w.correction);
                }
            }
            if (P > 0) {
                Eigen::Map<Eigen::MatrixXd, 0, Eigen::OuterStride<>> view(a, m, P, Eigen::OuterStride<>(n));
                Eigen::Map<Eigen::VectorXd> fitted(fitted_values, m);
                if (!detail::well_conditioned_residual(view, fitted, w)) {
                    Eigen::Ref<Eigen::MatrixXd> design(view);
                    Eigen::ColPivHouseholderQR<Eigen::Ref<Eigen::MatrixXd>> qr(design);
                    const double tol = tolerance(m);
                    const std::int64_t diag = std::min(m, P);
                    std::int64_t rank = 0;
                    while (rank < diag && std::abs(qr.matrixQR()(rank, rank)) > tol) ++rank;
                    auto q = qr.householderQ();
                    q.setLength(rank);
                    fitted.applyOnTheLeft(q.adjoint());
                    fitted.head(rank).setZero();
                    fitted.applyOnTheLeft(q);
                }
            }
            double* resid = out + (t0 + b) * n;
            const std::int64_t* who = w.who.data() + b * n;
            for (std::int64_t k = 0; k < m; ++k) resid[who[k]] = fitted_values[k];
        }
    });
}

}  // namespace quellix::assaycore::core
