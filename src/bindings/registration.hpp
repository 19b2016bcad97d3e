#pragma once

// Registration of the two classes, called from the module body in this order.

#include <pybind11/pybind11.h>

namespace corvane {

void register_object(pybind11::module_ &m);
void register_corvane(pybind11::module_ &m);

// Called once each class exists: see instances.cpp.
void guard_store_class(pybind11::handle cls);
void guard_record_class(pybind11::handle cls);

}  // namespace corvane
