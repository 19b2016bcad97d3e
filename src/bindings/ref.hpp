#pragma once

#include <Python.h>

#include <utility>

namespace corvane {

// An owned reference to a Python object.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject *o) noexcept { return Ref(o); }
    static Ref borrow(PyObject *o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref &other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
    Ref(Ref &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref &operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject *o) noexcept : obj_(o) {}
    PyObject *obj_ = nullptr;
};

}  // namespace corvane
