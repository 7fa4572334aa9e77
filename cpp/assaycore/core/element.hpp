// Element types a numeric table may arrive in, and the view the cores read.
#pragma once

#include <cstdint>

namespace quellix::assaycore::core {

enum class Element { float64, float32, int8, int16, int32, int64, uint8, uint16, uint32, uint64, boolean };

// A read-only 2-D view with byte strides, as numpy hands it over (pandas
// frames are often column-major, and views may be non-contiguous).
template <class T>
struct StridedTable {
    const char* data;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;
    std::int64_t rows;
    std::int64_t cols;

    double at(std::int64_t i, std::int64_t j) const {
        return static_cast<double>(*reinterpret_cast<const T*>(data + i * row_stride + j * col_stride));
    }
};

}  // namespace quellix::assaycore::core
