// Arrays in and out of the operator kernels: any real dtype becomes a
// C-contiguous float64 matrix (a 1-D series is one column), and results are
// allocated here while the GIL is held.
#pragma once

#include "common/pybind11.hpp"
#include "operators/core/cross_section.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace quellix::operators {

using Float64 = py::array_t<double, py::array::c_style | py::array::forcecast>;

struct Input {
    Float64 array;
    core::Matrix view;
    int ndim;
};

inline Input matrix_argument(const py::handle& value, const char* name) {
    py::array raw = py::array::ensure(value);
    if (!raw) throw py::type_error(std::string(name) + " must be an array, got " + py::repr(value).cast<std::string>());
    const char kind = raw.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
        throw py::type_error(std::string(name) + " must hold real numbers, got dtype " +
                             py::str(raw.dtype()).cast<std::string>());
    }
    if (raw.ndim() != 1 && raw.ndim() != 2) {
        throw py::value_error(std::string(name) + " must be a 1-D series or a 2-D dates x instruments array, got " +
                              std::to_string(raw.ndim()) + " dimensions");
    }
    Float64 array = Float64::ensure(raw);
    const std::ptrdiff_t rows = array.shape(0), cols = array.ndim() == 2 ? array.shape(1) : 1;
    return Input{array, core::Matrix{array.data(), rows, cols, cols}, static_cast<int>(array.ndim())};
}

inline Float64 result_like(const Input& in, std::ptrdiff_t rows) {
    std::vector<py::ssize_t> shape{rows};
    if (in.ndim == 2) shape.push_back(in.view.cols);
    return Float64(shape);
}

inline void check_same_shape(const Input& a, const Input& b, const char* name_a, const char* name_b) {
    if (a.view.rows != b.view.rows || a.view.cols != b.view.cols || a.ndim != b.ndim) {
        throw py::value_error(std::string(name_a) + " and " + name_b + " must have the same shape, got " +
                              py::str(a.array.attr("shape")).cast<std::string>() + " and " +
                              py::str(b.array.attr("shape")).cast<std::string>());
    }
}

}  // namespace quellix::operators
