#pragma once

#include <pybind11/pybind11.h>

#include "bindings/convert.hpp"

namespace corvane {

void register_object(py::module_ &m);
void register_corvane(py::module_ &m);

// Gives the key-and-tag methods of the registered class a direct entry point
// in front of their pybind11 overload.
void install_fast_calls(py::class_<Store> &cls);

}  // namespace corvane
