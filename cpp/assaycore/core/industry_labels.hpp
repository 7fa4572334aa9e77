// Industry label in force for each (date, instrument) pair, from a history of
// changes. A label holds from its start day until the instrument's next
// change, so a change dated on a non-trading day is in force from the next
// trading day and the later of two same-day changes wins; before its first
// change an instrument takes its first label.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quellix::assaycore::core {

struct ChangeHistory {
    const std::int64_t* label;  // category of each change, -1: no name (changes nothing)
    const std::int64_t* owner;  // instrument slot of each change, -1: not asked for
    const std::int64_t* start;  // start day of each change
    std::ptrdiff_t changes;
    std::ptrdiff_t slots;
};

struct LabelQuery {
    const std::int64_t* day;    // per date
    const bool* no_day;         // per date: NaT, never labelled
    std::ptrdiff_t dates;
    const std::int64_t* slot;   // per instrument, -1: no history
    std::ptrdiff_t instruments;
    std::ptrdiff_t categories;
};

// Writes the labelled cells date-major into code/row/col (room for dates x
// instruments) and returns their number. Codes are renumbered to the
// categories that occur, in category order; `used` receives those
// categories' original codes.
inline std::ptrdiff_t labels_in_force(const ChangeHistory& h, const LabelQuery& q, std::int32_t* code,
                                      std::int32_t* row, std::int32_t* col, std::vector<std::int64_t>& used) {
    // Per slot, its named changes ordered by start day (stable, so the later
    // of two same-day changes comes last).
    std::vector<std::ptrdiff_t> offset(static_cast<std::size_t>(h.slots + 1), 0);
    for (std::ptrdiff_t c = 0; c < h.changes; ++c) {
        if (h.owner[c] >= 0 && h.label[c] >= 0) ++offset[h.owner[c] + 1];
    }
    for (std::ptrdiff_t u = 0; u < h.slots; ++u) offset[u + 1] += offset[u];
    std::vector<std::pair<std::int64_t, std::int64_t>> history(static_cast<std::size_t>(offset[h.slots]));
    std::vector<std::ptrdiff_t> fill(offset.begin(), offset.end() - 1);
    for (std::ptrdiff_t c = 0; c < h.changes; ++c) {
        if (h.owner[c] >= 0 && h.label[c] >= 0) history[fill[h.owner[c]]++] = {h.start[c], h.label[c]};
    }
    for (std::ptrdiff_t u = 0; u < h.slots; ++u) {
        std::stable_sort(history.begin() + offset[u], history.begin() + offset[u + 1],
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }

    std::vector<std::int64_t> compact(static_cast<std::size_t>(q.categories), -1);
    used.clear();
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t t = 0; t < q.dates; ++t) {
        if (q.no_day[t]) continue;
        for (std::ptrdiff_t i = 0; i < q.instruments; ++i) {
            const std::int64_t u = q.slot[i];
            if (u < 0 || offset[u] == offset[u + 1]) continue;
            const auto first = history.begin() + offset[u], last = history.begin() + offset[u + 1];
            auto it = std::upper_bound(first, last, q.day[t], [](std::int64_t d, const auto& e) { return d < e.first; });
            const std::int64_t c = (it == first ? *first : *(it - 1)).second;
            if (compact[c] < 0) {
                compact[c] = 0;
                used.push_back(c);
            }
            code[count] = static_cast<std::int32_t>(c);
            row[count] = static_cast<std::int32_t>(t);
            col[count] = static_cast<std::int32_t>(i);
            ++count;
        }
    }
    std::sort(used.begin(), used.end());
    for (std::size_t j = 0; j < used.size(); ++j) compact[used[j]] = static_cast<std::int64_t>(j);
    for (std::ptrdiff_t j = 0; j < count; ++j) code[j] = static_cast<std::int32_t>(compact[code[j]]);
    return count;
}

}  // namespace quellix::assaycore::core
