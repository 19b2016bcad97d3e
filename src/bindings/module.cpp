// The module's entry point and body.

#include <pybind11/pybind11.h>

#include <new>

#include "bindings/iteration.hpp"
#include "bindings/registration.hpp"
#include "bindings/store.hpp"
#include "core/id_set.hpp"

static int pybind11_exec_corvane(PyObject *);

// pybind11's own entry point, with one check first: pybind11 3.1 deadlocks
// setting itself up in a subinterpreter, and CPython 3.11 has no module slot
// to declare that a module supports only the main interpreter.
extern "C" PYBIND11_EXPORT PyObject *PyInit_corvane() {
    PYBIND11_CHECK_PYTHON_VERSION
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "corvane can be imported only in the main interpreter, not in a subinterpreter");
        return nullptr;
    }
    try {
        pybind11::detail::ensure_internals();
        static pybind11::detail::slots_array slots = pybind11::detail::init_slots(&pybind11_exec_corvane);
        static PyModuleDef def{PyModuleDef_HEAD_INIT, "corvane", nullptr, 0,      nullptr,
                               slots.data(),          nullptr,   nullptr, nullptr};
        return PyModuleDef_Init(&def);
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}

PYBIND11_MODULE_EXEC(corvane, m) {
    m.doc() = "corvane: fast tagged object map (pybind interface)";
    // The C++ runtime sets up its per-thread exception state on the first
    // throw and aborts if that allocation fails; make it happen now, so that
    // running out of memory later is a MemoryError (for this thread).
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc &) {
    }
    // Ids are placed with a multiplier keyed like Python's string hash.
    static constexpr char label[] = "corvane entry ids";
    corvane::seed_id_hash(static_cast<std::uint64_t>(_Py_HashBytes(label, sizeof(label) - 1)));
    corvane::create_iterator_type();
    // pybind11 makes the types, with their unique-ownership holders; the
    // members are the module's own entry points (callables.hpp).
    auto *object = reinterpret_cast<PyTypeObject *>(pybind11::class_<corvane::Record>(m, "Object").ptr());
    corvane::guard_record_class(object);
    corvane::register_object(object);
    auto *store = reinterpret_cast<PyTypeObject *>(pybind11::class_<corvane::Store>(m, "Corvane").ptr());
    corvane::guard_store_class(store);
    corvane::register_corvane(store);
}
