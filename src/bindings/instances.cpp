// Instances of the two classes, as pybind11 lays them out, and the guards on
// their types.

#include "bindings/instances.hpp"

#include <pybind11/pybind11.h>

#include <memory>
#include <new>
#include <string>

#include "bindings/registration.hpp"

namespace corvane {

namespace {

namespace pyd = pybind11::detail;

template <class T>
struct Class {
    static inline PyTypeObject *type = nullptr;
    static inline const pyd::type_info *info = nullptr;
    static inline freefunc inherited_free = nullptr;
    // A deallocator of each class's own: CPython allows __class__ assignment
    // only between types with the same one, so an instance of one class can
    // never be relabelled as the other (their C++ values differ).
    static void free(void *p) { inherited_free(p); }
};

template <class T>
pyd::value_and_holder holder_of(PyObject *obj) {
    auto *inst = reinterpret_cast<pyd::instance *>(obj);
    // With one registered base, the only value is ours.
    if (inst->simple_layout) return pyd::value_and_holder(inst, Class<T>::info, 0, 0);
    return inst->get_value_and_holder(Class<T>::info, false);
}

// The value and holder of an instance of T's class (judged by its real
// type), or one whose `inst` is null.
template <class T>
pyd::value_and_holder slot_of(PyObject *obj) {
    if (PyType_IsSubtype(Py_TYPE(obj), Class<T>::type) == 0) return {};
    return holder_of<T>(obj);
}

template <class T>
InitState state_of(PyObject *obj) {
    const pyd::value_and_holder vh = slot_of<T>(obj);
    if (vh.inst == nullptr) return InitState::foreign;
    return vh.holder_constructed() ? InitState::initialised : InitState::fresh;
}

template <class T>
T *value_of(PyObject *obj) {
    const pyd::value_and_holder vh = slot_of<T>(obj);
    if (vh.inst == nullptr) return nullptr;
    if (!vh.holder_constructed()) {
        raise(PyExc_TypeError,
              (std::string(Class<T>::type->tp_name) + " instance is not initialized (its __init__ never ran)").c_str());
    }
    return vh.template value_ptr<T>();
}

template <class T>
void attach_value(PyObject *obj, T &&value) {
    pyd::value_and_holder vh = holder_of<T>(obj);
    if (vh.holder_constructed()) return;
    auto owned = std::make_unique<T>(std::move(value));
    vh.value_ptr() = owned.get();
    new (std::addressof(vh.template holder<std::unique_ptr<T>>())) std::unique_ptr<T>(owned.release());
    vh.set_holder_constructed();
}

// Frees an instance whose layout could not be set up, without running the
// deallocator that relies on that layout.
void discard_raw(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    type->tp_free(self);
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0) Py_DECREF(type);
}

// pybind11's instance allocation, with its failures reported instead of
// crashing or aborting: a failed allocation is MemoryError.
PyObject *guarded_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    return guarded([&]() -> PyObject * {
        PyObject *self = checked(type->tp_alloc(type, 0));
        try {
            reinterpret_cast<pyd::instance *>(self)->allocate_layout();
        } catch (...) {
            discard_raw(self);
            throw;
        }
        return self;
    });
}

// Gives a class guarded_new and a __new__ of its own: CPython's own wrapper
// of tp_new (the one object.__new__ is), bound to the class. Its safety
// check then accepts Cls.__new__(Cls) and the class's Python subclasses;
// subclasses inherit guarded_new; and copyreg, which pickles by protocols 0
// and 1 through the nearest class that defines __new__, stops at this class
// and refuses it with a TypeError rather than instantiating pybind11's
// shared base (which aborts). Nothing outside the class is touched.
void own_new(PyTypeObject *type) {
    PyObject *object_new = checked(PyDict_GetItemString(PyBaseObject_Type.tp_dict, "__new__"));
    PyMethodDef *wrapper = reinterpret_cast<PyCFunctionObject *>(object_new)->m_ml;
    const Ref bound = Ref::steal(checked(PyCFunction_NewEx(wrapper, reinterpret_cast<PyObject *>(type), nullptr)));
    if (PyDict_SetItemString(type->tp_dict, "__new__", bound.get()) != 0) propagate();
    type->tp_new = guarded_new;
    PyType_Modified(type);
}

template <class T>
void guard_class(PyTypeObject *type) {
    // pybind11 leaves a class's names null when making them ran out of memory.
    const auto *heap = reinterpret_cast<PyHeapTypeObject *>(type);
    if (heap->ht_name == nullptr || heap->ht_qualname == nullptr) throw std::bad_alloc();
    Class<T>::type = type;
    Class<T>::info = pyd::get_type_info(typeid(T));
    Class<T>::inherited_free = type->tp_free;
    type->tp_free = Class<T>::free;
    own_new(type);
}

}  // namespace

Store *store_of(PyObject *obj) { return value_of<Store>(obj); }
Record *record_of(PyObject *obj) { return value_of<Record>(obj); }

InitState init_state_of_store(PyObject *obj) { return state_of<Store>(obj); }
InitState init_state_of_record(PyObject *obj) { return state_of<Record>(obj); }

void attach(PyObject *obj, Store &&value) { attach_value(obj, std::move(value)); }
void attach(PyObject *obj, Record &&value) { attach_value(obj, std::move(value)); }

Ref new_corvane(Store &&value) {
    Ref obj = Ref::steal(guarded_new(Class<Store>::type, nullptr, nullptr));
    if (!obj) propagate();
    attach(obj.get(), std::move(value));
    return obj;
}

PyTypeObject *corvane_type() noexcept { return Class<Store>::type; }
PyTypeObject *object_type() noexcept { return Class<Record>::type; }

void guard_store_class(PyTypeObject *cls) { guard_class<Store>(cls); }
void guard_record_class(PyTypeObject *cls) { guard_class<Record>(cls); }

}  // namespace corvane
