#pragma once

// Registration of the two classes' members, called from the module body once
// each class exists (module.cpp), Object first.

#include <Python.h>

namespace corvane {

void register_object(PyTypeObject *cls);
void register_corvane(PyTypeObject *cls);

// The guards on each class's type (instances.cpp), set before its members.
void guard_store_class(PyTypeObject *cls);
void guard_record_class(PyTypeObject *cls);

}  // namespace corvane
