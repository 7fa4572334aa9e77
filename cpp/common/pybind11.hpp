// Included first by every binding file so all translation units see the same
// pybind11 configuration.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace py = pybind11;
