// Element types a numeric table may arrive in without a float64 copy.
#pragma once

#include <cstdint>

namespace quellix::assaycore::core {

enum class Element { float64, float32, int8, int16, int32, int64, uint8, uint16, uint32, uint64, boolean };

// Calls f with a value-initialised tag of the C++ type behind `e`, so one
// template instantiation per dtype is chosen once, outside the loops.
template <class F>
void with_element(Element e, F&& f) {
    switch (e) {
        case Element::float64: f(double{}); break;
        case Element::float32: f(float{}); break;
        case Element::int8: f(std::int8_t{}); break;
        case Element::int16: f(std::int16_t{}); break;
        case Element::int32: f(std::int32_t{}); break;
        case Element::int64: f(std::int64_t{}); break;
        case Element::uint8: f(std::uint8_t{}); break;
        case Element::uint16: f(std::uint16_t{}); break;
        case Element::uint32: f(std::uint32_t{}); break;
        case Element::uint64: f(std::uint64_t{}); break;
        case Element::boolean: f(bool{}); break;
    }
}

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
