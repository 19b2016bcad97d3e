#pragma once

#include <Python.h>

#include "bindings/ref.hpp"
#include "bindings/store.hpp"

namespace corvane {

// Called once from the module body.
void create_iterator_type();

// iter() of the Corvane `owner`, whose store is `s`.
Ref iterate_keys(PyObject *owner, Store &s);

}  // namespace corvane
