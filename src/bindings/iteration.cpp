// Iteration over a Corvane: a snapshot of its keys taken when the iteration
// begins, copied only if the store changes while the iteration goes on.

#include "bindings/iteration.hpp"

#include "bindings/results.hpp"

namespace corvane {

// While walking the store in place, `store` is set and the iterator is in
// the store's list; once detached, `rest` holds the keys still to give.
struct KeyIterator {
    PyObject_HEAD PyObject *owner;  // the Corvane instance
    Store *store;
    std::size_t pos;
    PyObject *rest;
    KeyIterator *prev;
    KeyIterator *next;
};

namespace {

PyTypeObject *iterator_type = nullptr;

void unlink_iterator(KeyIterator *it) noexcept {
    if (it->store == nullptr) return;
    if (it->prev != nullptr) {
        it->prev->next = it->next;
    } else {
        it->store->iterators = it->next;
    }
    if (it->next != nullptr) it->next->prev = it->prev;
    it->store = nullptr;
    it->prev = it->next = nullptr;
}

PyObject *next_key(PyObject *self) noexcept {
    auto *it = reinterpret_cast<KeyIterator *>(self);
    if (it->store != nullptr) {
        if (it->pos < it->store->size()) return Py_NewRef(it->store->entry(static_cast<Id>(it->pos++)).key.str());
        unlink_iterator(it);
        return nullptr;
    }
    if (it->rest != nullptr && static_cast<Py_ssize_t>(it->pos) < PyList_GET_SIZE(it->rest)) {
        return Py_NewRef(PyList_GET_ITEM(it->rest, static_cast<Py_ssize_t>(it->pos++)));
    }
    Py_CLEAR(it->rest);
    return nullptr;
}

PyObject *length_hint(PyObject *self, PyObject *) noexcept {
    auto *it = reinterpret_cast<KeyIterator *>(self);
    std::size_t left = 0;
    if (it->store != nullptr) {
        left = it->store->size() - std::min<std::size_t>(it->pos, it->store->size());
    } else if (it->rest != nullptr) {
        left = static_cast<std::size_t>(PyList_GET_SIZE(it->rest)) - it->pos;
    }
    return PyLong_FromSize_t(left);
}

// The iterator holds its owner and its copy of the keys, so it takes part
// in cyclic collection: a store that keeps an iterator over itself (in an
// attribute of a subclass, or in a generator) is freed like any cycle.
int traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    auto *it = reinterpret_cast<KeyIterator *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->owner);
    Py_VISIT(it->rest);
    return 0;
}

// Ends the iteration: unlinked first, since the store goes with its owner.
int clear(PyObject *self) noexcept {
    auto *it = reinterpret_cast<KeyIterator *>(self);
    unlink_iterator(it);
    Py_CLEAR(it->rest);
    Py_CLEAR(it->owner);
    return 0;
}

void dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject *refuse_pickling(PyObject *self, PyObject *) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyMethodDef methods[] = {
    {"__length_hint__", length_hint, METH_NOARGS, "Private method returning an estimate of len(list(it))."},
    // Every protocol and copy.copy() end here, so all refuse alike.
    {"__reduce__", refuse_pickling, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(next_key)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"corvane.KeyIterator", sizeof(KeyIterator), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

}  // namespace

void create_iterator_type() {
    if (iterator_type == nullptr) iterator_type = reinterpret_cast<PyTypeObject *>(checked(PyType_FromSpec(&spec)));
}

Ref iterate_keys(PyObject *owner, Store &s) {
    // Keys without a str fail now, as decoding a copy of them would.
    if (s.has_raw_keys()) return Ref::steal(checked(PyObject_GetIter(key_list(s).get())));
    auto *it = PyObject_GC_New(KeyIterator, iterator_type);
    if (it == nullptr) propagate();
    it->owner = Py_NewRef(owner);
    it->store = &s;
    it->pos = 0;
    it->rest = nullptr;
    it->prev = nullptr;
    it->next = s.iterators;
    if (s.iterators != nullptr) s.iterators->prev = it;
    s.iterators = it;
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject *>(it));
}

void Store::detach_iterators() {
    if (iterators == nullptr) return;
    // One at a time, so that if memory runs out each is either still walking
    // the (unchanged) store or done with it.
    while (KeyIterator *it = iterators) {
        const std::size_t n = size() - std::min<std::size_t>(it->pos, size());
        Ref rest = new_list(n);
        for (std::size_t i = 0; i < n; ++i) {
            PyList_SET_ITEM(rest.get(), static_cast<Py_ssize_t>(i),
                            Py_NewRef(entry(static_cast<Id>(it->pos + i)).key.str()));
        }
        unlink_iterator(it);
        it->rest = rest.release();
        it->pos = 0;
    }
}

}  // namespace corvane
