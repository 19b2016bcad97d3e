#pragma once

// Building whole stores from Python data and exporting them back.

#include <pybind11/pybind11.h>

#include "bindings/convert.hpp"
#include "core/corvane.hpp"

namespace corvane {

// Converts one (key, tags) pair, key first, and puts it. The caller keeps both
// handles alive: converting the tags may run code that drops other references.
inline void put_pair(Store &store, py::handle key, py::handle tags) {
    std::string k = to_bytes(key);
    store.put(std::move(k), to_tag_set(tags));
}

// Applies each entry of `d` in its storage order; no rollback on failure.
inline void update(Store &store, const py::dict &d) {
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(d.ptr(), &pos, &key, &value) != 0) {
        // The conversions may change or clear `d`; hold our own references.
        const auto k = py::reinterpret_borrow<py::object>(key);
        const auto v = py::reinterpret_borrow<py::object>(value);
        put_pair(store, k, v);
    }
}

inline Store from_dict(const py::dict &d) {
    Store store;
    store.objects.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(d.ptr())));
    update(store, d);
    return store;
}

// Pairs keys with values without asking either for its length; exactly one
// item beyond the last complete pair is taken from the longer side.
inline Store from_keys_values(const py::iterable &keys, const py::iterable &values) {
    Store store;
    const py::object key_it = iter_of(keys);
    const py::object value_it = iter_of(values);
    py::object key = next_of(key_it);
    py::object value = next_of(value_it);
    while (key && value) {
        put_pair(store, key, value);
        key = next_of(key_it);
        value = next_of(value_it);
    }
    if (key || value) throw py::value_error("keys and values must have equal length");
    return store;
}

inline Store from_items(const py::iterable &items) {
    Store store;
    const py::object it = iter_of(items);
    while (const py::object item = next_of(it)) {
        if (!PyTuple_Check(item.ptr())) throw py::type_error("each item must be a (key, tags) tuple");
        if (PyTuple_GET_SIZE(item.ptr()) != 2) throw py::type_error("each item must be a (key, tags) pair");
        put_pair(store, PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1));
    }
    return store;
}

inline py::dict to_dict(const Store &store) {
    const GcPause pause;
    py::dict out;
    for (const auto &[key, entry] : store.objects) {
        const StrSet tags = to_py_set(entry);
        const py::str k = to_str(key);
        if (PyDict_SetItem(out.ptr(), k.ptr(), tags.ptr()) != 0) throw py::error_already_set();
    }
    return out;
}

inline py::list items(const Store &store) {
    const GcPause pause;
    py::list out(store.size());
    Py_ssize_t i = 0;
    for (const auto &[key, entry] : store.objects) {
        const StrSet tags = to_py_set(entry);
        const py::str k = to_str(key);
        PyObject *pair = PyTuple_Pack(2, k.ptr(), tags.ptr());
        if (pair == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(out.ptr(), i++, pair);
    }
    return out;
}

}  // namespace corvane
