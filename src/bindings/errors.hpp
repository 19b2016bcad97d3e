#pragma once

// Failures inside the module, and their translation into Python exceptions.

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

#include "core/corvane.hpp"

namespace corvane {

// Thrown once a Python error has been set (by a failed CPython call or by raise()).
struct ErrorSet {};

[[noreturn]] inline void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw ErrorSet{};
}

// A failed CPython call: the error it set propagates.
[[noreturn]] inline void propagate() { throw ErrorSet{}; }

template <class T>
T *checked(T *result) {
    if (result == nullptr) propagate();
    return result;
}

// Sets the Python error that the exception being handled stands for. Call
// only from a catch block.
inline void set_python_error() noexcept {
    try {
        throw;
    } catch (const ErrorSet &) {
        if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const NotFound &e) {
        PyErr_SetString(PyExc_KeyError, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::length_error &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// Runs `body` (which returns a new reference) for a C entry point: every C++
// exception ends there as a Python error and a null result.
template <class Body>
PyObject *guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error();
        return nullptr;
    }
}

}  // namespace corvane
