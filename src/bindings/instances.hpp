#pragma once

// The C++ values inside Python instances of the two classes.

#include <Python.h>

#include "bindings/ref.hpp"
#include "bindings/store.hpp"
#include "bindings/text.hpp"

namespace corvane {

// The value of an initialised instance. Null when `obj` is not an instance
// of the class at all, judged by its real type (never by __class__ or
// isinstance()); TypeError when it is one whose __init__ never ran.
Store *store_of(PyObject *obj);
Record *record_of(PyObject *obj);

enum class InitState { foreign, fresh, initialised };
InitState init_state_of_store(PyObject *obj);
InitState init_state_of_record(PyObject *obj);

// Gives a fresh instance its value (moved into a new allocation); does
// nothing when the instance was initialised meanwhile, by an __init__ that
// ran while the arguments of this one were converted: that one stands.
void attach(PyObject *obj, Store &&value);
void attach(PyObject *obj, Record &&value);

// A new instance of Corvane itself holding `value`.
Ref new_corvane(Store &&value);

PyTypeObject *corvane_type() noexcept;
PyTypeObject *object_type() noexcept;

}  // namespace corvane
