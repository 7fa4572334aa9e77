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

// Style exposures: a (rows x S) table whose row r belongs to instrument
// inst[r] and date date[r], positions in the table's own lists of
// inst_levels instruments and date_levels dates (-1: none). Factor row i has
// the date date_of_row[i], factor column n the instrument inst_of_col[n],
// positions in the same lists (-1: the exposures do not have it).
struct StyleExposures {
    StridedTable<double> values;
    const std::int64_t* inst = nullptr;
    const std::int64_t* date = nullptr;
    std::int64_t inst_levels = 0;
    std::int64_t date_levels = 0;
    const std::int64_t* date_of_row = nullptr;
    const std::int64_t* inst_of_col = nullptr;
    bool present = false;
};

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
    for (std::int64_t n = 0; n < n_instruments; ++n) {
        const std::int64_t c = ind.col_of[n];
        if (c < 0) continue;
        for (std::int64_t r = 0; r < ind.codes.rows; ++r) {
            largest = std::max(largest, *reinterpret_cast<const std::int64_t*>(ind.codes.data + r * ind.codes.row_stride +
                                                                                 c * ind.codes.col_stride));
        }
    }
    return largest + 1;
}

namespace detail {

// The exposure row of every (requested instrument, used date) pair, indexed
// by slots: instrument major, so one instrument's consecutive dates are one
// run. Only the requested instruments and used dates get slots, whatever
// else the exposure table lists.
struct ExposureRows {
    std::vector<std::int64_t> inst_slot, date_slot;  // per instrument / date of the table, -1: unused
    std::int64_t dates = 0;
    std::vector<std::int64_t> row;  // [inst slot * dates + date slot], -1: no exposures

    std::int64_t at(std::int64_t inst, std::int64_t date) const {
        if (inst < 0 || date < 0) return -1;
        const std::int64_t u = inst_slot[static_cast<std::size_t>(inst)], d = date_slot[static_cast<std::size_t>(date)];
        return (u < 0 || d < 0) ? -1 : row[static_cast<std::size_t>(u * dates + d)];
    }
};

inline std::int64_t assign_slots(std::vector<std::int64_t>& slot, const std::int64_t* wanted, std::int64_t n) {
    std::int64_t next = 0;
    for (std::int64_t k = 0; k < n; ++k) {
        if (wanted[k] >= 0 && slot[static_cast<std::size_t>(wanted[k])] < 0) slot[static_cast<std::size_t>(wanted[k])] = next++;
    }
    return next;
}

inline ExposureRows exposure_rows(const StyleExposures& s, std::int64_t n_dates, std::int64_t n_instruments) {
    ExposureRows e;
    e.inst_slot.assign(static_cast<std::size_t>(s.inst_levels), -1);
    e.date_slot.assign(static_cast<std::size_t>(s.date_levels), -1);
    const std::int64_t insts = assign_slots(e.inst_slot, s.inst_of_col, n_instruments);
    e.dates = assign_slots(e.date_slot, s.date_of_row, n_dates);
    e.row.assign(static_cast<std::size_t>(insts * e.dates), -1);
    for (std::int64_t r = 0; r < s.values.rows; ++r) {
        const std::int64_t u = s.inst[r] >= 0 ? e.inst_slot[static_cast<std::size_t>(s.inst[r])] : -1;
        const std::int64_t d = s.date[r] >= 0 ? e.date_slot[static_cast<std::size_t>(s.date[r])] : -1;
        if (u < 0 || d < 0) continue;
        std::int64_t& cell = e.row[static_cast<std::size_t>(u * e.dates + d)];
        // Two rows for one pair leave no single exposure to use (pandas
        // refuses to unstack them).
        if (cell >= 0) throw std::invalid_argument("style exposures: an (order_book_id, date) pair appears twice");
        cell = r;
    }
    return e;
}

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
// rows of its fitted instruments (design columns of n entries each, factor
// values, industries, columns) and its design columns' sums of squares.
struct Workspace {
    Eigen::MatrixXd gram;
    Eigen::VectorXd projected;
    std::vector<double> design, fitted, squares, values;
    std::vector<std::int32_t> group;
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
    const detail::ExposureRows exposures = S > 0 ? detail::exposure_rows(style, n_dates, n) : detail::ExposureRows();

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

        // The fitted rows of every date of the block, taken instrument by
        // instrument so each source is walked along its runs of dates.
        double* x = w.values.data();
        for (std::int64_t c = 0; c < n; ++c) {
            const std::int64_t inst = S > 0 ? style.inst_of_col[c] : -1;
            const std::int64_t code_col = I > 0 ? industry.col_of[c] : -1;
            for (std::int64_t b = 0; b < rows; ++b) {
                const std::int64_t i = t0 + b;
                const double y = factor.at(i, c);
                if (!std::isfinite(y)) continue;
                bool complete = true;
                if (S > 0) {
                    const std::int64_t r = exposures.at(inst, style.date_of_row[i]);
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
                std::int32_t code = -1;
                if (code_col >= 0) {
                    // A date before the first change takes the first change's codes.
                    const std::int64_t at = std::max<std::int64_t>(industry.position_of_row[i], 0);
                    const std::int64_t v = *reinterpret_cast<const std::int64_t*>(
                        industry.codes.data + at * industry.codes.row_stride + code_col * industry.codes.col_stride);
                    code = static_cast<std::int32_t>(v < 0 ? -1 : v);
                }
                const std::int64_t m = w.fits[b]++;
                double* a = w.design.data() + b * n * P;
                double* squares = w.squares.data() + b * P;
                for (std::int64_t j = 0; j < P; ++j) {
                    a[j * n + m] = x[j];
                    squares[j] += x[j] * x[j];
                }
                w.fitted[b * n + m] = y;
                w.group[b * n + m] = code;
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
