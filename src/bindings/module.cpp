#include <pybind11/pybind11.h>

#include "bindings/registration.hpp"

PYBIND11_MODULE(corvane, m) {
    m.doc() = "corvane: fast tagged object map (pybind interface)";
    corvane::register_object(m);
    corvane::register_corvane(m);
}
