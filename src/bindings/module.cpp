// The module's entry point and body.
//
// pybind11's multi-phase module definition, with its two slots (create and
// exec) wrapped so that every failure while the module is set up, pybind11's
// own included, ends as a Python exception: MemoryError when memory ran
// out, otherwise an ImportError raised from the cause. Nothing escapes to
// abort the process.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <new>

#include "bindings/errors.hpp"
#include "bindings/iteration.hpp"
#include "bindings/registration.hpp"
#include "bindings/store.hpp"
#include "core/tag_ids.hpp"

namespace {

namespace py = pybind11;

// Sets the Python error for the exception being handled. Call only from a
// catch block.
void set_import_error() noexcept {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (...) {
        corvane::set_python_error();
    }
    if (PyErr_ExceptionMatches(PyExc_MemoryError) == 0)
        _PyErr_FormatFromCause(PyExc_ImportError, "initialization failed");
}

void set_up(py::module_ &m) {
    m.doc() = "corvane: fast tagged object map (pybind interface)";
    m.attr("__version__") = CORVANE_VERSION;
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
    auto *object = reinterpret_cast<PyTypeObject *>(py::class_<corvane::Record>(m, "Object").ptr());
    corvane::guard_record_class(object);
    corvane::register_object(object);
    auto *store = reinterpret_cast<PyTypeObject *>(py::class_<corvane::Store>(m, "Corvane").ptr());
    corvane::guard_store_class(store);
    corvane::register_corvane(store);
}

// A second import in the same interpreter gets the module made by the first
// (pybind11's per-interpreter cache), so the classes are registered once.
PyObject *create_module(PyObject *spec, PyModuleDef *def) noexcept {
    try {
        return py::detail::cached_create_module(spec, def);
    } catch (...) {
        set_import_error();
        return nullptr;
    }
}

int exec_module(PyObject *module) noexcept {
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(module);
        if (py::detail::get_cached_module(m.attr("__spec__").attr("name")) == nullptr) {
            set_up(m);
            py::detail::cache_completed_module(m);
        }
        return 0;
    } catch (...) {
        set_import_error();
        return -1;
    }
}

}  // namespace

// The entry point, with one check first: pybind11 3.1 deadlocks setting
// itself up in a subinterpreter, and CPython 3.11 has no module slot to
// declare that a module supports only the main interpreter.
extern "C" PYBIND11_EXPORT PyObject *PyInit_corvane() {
    PYBIND11_CHECK_PYTHON_VERSION
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "corvane can be imported only in the main interpreter, not in a subinterpreter");
        return nullptr;
    }
    // pybind11 keeps its state in the interpreter's dict, and takes a null
    // one (when making it runs out of memory) for an error it then cannot
    // report; make the dict here.
    if (PyInterpreterState_GetDict(PyInterpreterState_Get()) == nullptr) return PyErr_NoMemory();
    try {
        py::detail::ensure_internals();
    } catch (...) {
        set_import_error();
        return nullptr;
    }
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void *>(&create_module)},
        {Py_mod_exec, reinterpret_cast<void *>(&exec_module)},
        {0, nullptr},
    };
    static PyModuleDef def{PyModuleDef_HEAD_INIT, "corvane", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&def);
}
