#pragma once

#include <pybind11/pybind11.h>

namespace corvane {

void register_object(pybind11::module_ &m);
void register_corvane(pybind11::module_ &m);

}  // namespace corvane
