// Finding the row of an (instrument, date) pair in a long table of style
// exposures without a dense (instruments x dates) map: the client returns the
// rows by instrument and then date, so each instrument's rows are one run and
// a pair is found from the run's first date (or, where the run has gaps, by
// bisecting it). A table in any other order is put in that order by a
// counting sort of its row numbers.
#pragma once

#include "assaycore/core/element.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace quellix::assaycore::core {

// Integer codes of any width: pandas keeps index codes in the smallest type
// that holds them, and widening 10 million of them would cost a copy.
struct Codes {
    const void* data = nullptr;
    int itemsize = 8;

    std::int64_t operator[](std::int64_t r) const {
        switch (itemsize) {
            case 1: return static_cast<const std::int8_t*>(data)[r];
            case 2: return static_cast<const std::int16_t*>(data)[r];
            case 4: return static_cast<const std::int32_t*>(data)[r];
            default: return static_cast<const std::int64_t*>(data)[r];
        }
    }
};

// Style exposures: a (rows x S) table whose row r belongs to instrument
// inst[r] and date date[r], positions in the table's own lists of
// inst_levels instruments and date_levels dates (-1: none). Factor row i has
// the date date_of_row[i], factor column n the instrument inst_of_col[n],
// positions in the same lists (-1: the exposures do not have it).
struct StyleExposures {
    StridedTable<double> values;
    Codes inst, date;
    std::int64_t inst_levels = 0;
    std::int64_t date_levels = 0;
    const std::int64_t* date_of_row = nullptr;
    const std::int64_t* inst_of_col = nullptr;
    bool present = false;
};

class ExposureIndex {
public:
    ExposureIndex() = default;

    // Refuses a pair that two rows share when its instrument is asked for and
    // its date used (pandas refuses to unstack them); other rows never matter.
    ExposureIndex(const StyleExposures& s, std::int64_t n_dates, std::int64_t n_instruments) : s_(&s) {
        const std::int64_t rows = s.values.rows;
        bool ordered = true;
        for (std::int64_t r = 1; r < rows && ordered; ++r) {
            const std::int64_t a = s.inst[r - 1], b = s.inst[r];
            ordered = a < b || (a == b && s.date[r - 1] <= s.date[r]);
        }
        if (!ordered) sort_rows();

        std::vector<char> asked(static_cast<std::size_t>(s.inst_levels)), used(static_cast<std::size_t>(s.date_levels));
        for (std::int64_t k = 0; k < n_instruments; ++k) {
            if (s.inst_of_col[k] >= 0) asked[static_cast<std::size_t>(s.inst_of_col[k])] = 1;
        }
        for (std::int64_t k = 0; k < n_dates; ++k) {
            if (s.date_of_row[k] >= 0) used[static_cast<std::size_t>(s.date_of_row[k])] = 1;
        }
        begin_.assign(static_cast<std::size_t>(s.inst_levels), 0);
        end_.assign(static_cast<std::size_t>(s.inst_levels), 0);
        std::int64_t previous_inst = -1, previous_date = -1;
        for (std::int64_t p = 0; p < rows; ++p) {
            const std::int64_t r = row_at(p), inst = s.inst[r], date = s.date[r];
            if (inst < 0) continue;
            const auto u = static_cast<std::size_t>(inst);
            if (inst != previous_inst) begin_[u] = p;
            end_[u] = p + 1;
            if (inst == previous_inst && date == previous_date && date >= 0 && asked[u] &&
                used[static_cast<std::size_t>(date)]) {
                throw std::invalid_argument("style exposures: an (order_book_id, date) pair appears twice");
            }
            previous_inst = inst;
            previous_date = date;
        }
    }

    // Table row of the pair (positions in the table's lists), -1 when absent.
    std::int64_t row(std::int64_t inst, std::int64_t date) const {
        if (inst < 0 || date < 0) return -1;
        std::int64_t lo = begin_[static_cast<std::size_t>(inst)], hi = end_[static_cast<std::size_t>(inst)];
        if (lo >= hi) return -1;
        // A run without gaps holds the date where its distance from the first says.
        const std::int64_t guess = lo + (date - date_at(lo));
        if (guess >= lo && guess < hi && date_at(guess) == date) return row_at(guess);
        while (lo < hi) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            if (date_at(mid) < date) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo < end_[static_cast<std::size_t>(inst)] && date_at(lo) == date ? row_at(lo) : -1;
    }

private:
    const StyleExposures* s_ = nullptr;
    std::vector<std::int64_t> begin_, end_;  // each instrument's run of positions
    std::vector<std::int64_t> order_;        // row at each position; empty: the table's own order

    std::int64_t row_at(std::int64_t p) const { return order_.empty() ? p : order_[static_cast<std::size_t>(p)]; }
    std::int64_t date_at(std::int64_t p) const { return s_->date[row_at(p)]; }

    // Row numbers by date and then, stably, by instrument: the table's rows
    // by instrument and date (missing labels, code -1, first).
    void sort_rows() {
        const StyleExposures& s = *s_;
        const std::int64_t rows = s.values.rows;
        std::vector<std::int64_t> by_date(static_cast<std::size_t>(rows));
        order_.resize(static_cast<std::size_t>(rows));
        const auto place = [rows](const Codes& key, std::int64_t levels, const std::int64_t* from, std::int64_t* to) {
            std::vector<std::int64_t> start(static_cast<std::size_t>(levels + 2), 0);
            for (std::int64_t p = 0; p < rows; ++p) ++start[static_cast<std::size_t>(key[from ? from[p] : p] + 2)];
            for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
            for (std::int64_t p = 0; p < rows; ++p) {
                const std::int64_t r = from ? from[p] : p;
                to[start[static_cast<std::size_t>(key[r] + 1)]++] = r;
            }
        };
        place(s.date, s.date_levels, nullptr, by_date.data());
        place(s.inst, s.inst_levels, by_date.data(), order_.data());
    }
};

}  // namespace quellix::assaycore::core
