#pragma once

// The parameter kinds of the bound callables: what each accepts, and the
// conversions of whole collections.
//
// load(value, out) returns false when `value` is not of the kind (the
// overload does not match) and throws ErrorSet for a Python error that must
// propagate as it is.

#include <Python.h>

#include <span>
#include <string>
#include <vector>

#include "bindings/collector.hpp"
#include "bindings/errors.hpp"
#include "bindings/ref.hpp"
#include "bindings/store.hpp"
#include "bindings/text.hpp"

namespace corvane {

// A key or tag parameter, shown as "str".
template <Use U>
struct Text {
    TextArg arg;
};
using Probe = Text<Use::probe>;     // only looked up
using Storable = Text<Use::store>;  // may be stored

template <Use U>
bool load(PyObject *value, Text<U> &out) {
    return to_text(value, out.arg, U) == Refusal::none;
}

// An iterable parameter, with the iterator obtained when it was matched, so
// that iter() is asked once. Only a TypeError from iter() means "not
// iterable"; any other exception propagates. An exact list or tuple is read
// in place (iterator_of() makes an iterator where one is needed): binding
// it allocates nothing, so no collection can start there.
struct Iterable {
    Ref object;
    Ref iterator;
};

inline bool load(PyObject *value, Iterable &out) {
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        out = {Ref::borrow(value), Ref()};
        return true;
    }
    PyObject *it = PyObject_GetIter(value);
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) propagate();
        PyErr_Clear();
        return false;
    }
    out = {Ref::borrow(value), Ref::steal(it)};
    return true;
}

inline Ref iterator_of(const Iterable &in) {
    return in.iterator ? in.iterator : Ref::steal(checked(PyObject_GetIter(in.object.get())));
}

// The next item, or null once the iterator is exhausted.
inline Ref next_of(const Ref &iterator) {
    PyObject *item = PyIter_Next(iterator.get());
    if (item == nullptr && PyErr_Occurred() != nullptr) propagate();
    return Ref::steal(item);
}

// Calls each(item) for every element of a tags iterable, in order, each
// held while it is handled. An exact list or tuple yields its items with no
// Python code between them; any other is iterated with a call's pause of the
// collector lifted, since iterating it may run the caller's code.
template <class Each>
void for_each_element(const Iterable &tags, Each &&each) {
    PyObject *obj = tags.object.get();
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
            const Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
            each(item.get());
        }
        return;
    }
    const GcPause::Lift caller_code;
    const Ref iterator = iterator_of(tags);
    while (const Ref item = next_of(iterator)) each(item.get());
}

// A dict (or subclass) parameter, shown as "dict".
struct Dict {
    Ref object;
};

inline bool load(PyObject *value, Dict &out) {
    if (PyDict_Check(value) == 0) return false;
    out.object = Ref::borrow(value);
    return true;
}

// A whole number, shown as "int": an int that is not a bool, its range the
// callee's to check (one too large to hold reads as PY_SSIZE_T_MAX).
struct Count {
    Py_ssize_t value;
};

inline bool load(PyObject *value, Count &out) {
    if (!PyLong_Check(value) || PyBool_Check(value)) return false;
    out.value = PyLong_AsSsize_t(value);
    if (out.value == -1 && PyErr_Occurred() != nullptr) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError) == 0) propagate();
        PyErr_Clear();
        out.value = PY_SSIZE_T_MAX;
    }
    return true;
}

// Any object, shown as "object"; a parameter with a default gets None.
struct Any {
    Ref object;
};

inline bool load(PyObject *value, Any &out) {
    out.object = Ref::borrow(value != nullptr ? value : Py_None);
    return true;
}

// The positional arguments of a variadic method, shown as "*args".
struct Args {
    std::span<PyObject *const> items;
};

// A type's name as repr() shows it, read without running Python code.
std::string type_name(PyTypeObject *type);

// The tags of a call: converted whole before the store is read.
using TagList = std::vector<TextArg>;

// Converts every element of a tags iterable; `where` names the argument in
// error messages. A len() is only a hint: its errors are dropped (all but
// those that must not be swallowed, such as KeyboardInterrupt) and the
// reservation is capped, so a lying __len__ cannot make us allocate. The
// caller's code that may run here runs with a call's pause of the collector
// lifted (collector.hpp).
void to_tag_list(const Iterable &tags, TagList &out, Use use, const char *where);

inline TagList tag_list(const Iterable &tags, Use use, const char *where) {
    TagList out;
    to_tag_list(tags, out, use, where);
    return out;
}

TagList tag_list(const Args &args, const char *where);

// A tags parameter, shown as "collections.abc.Iterable": any iterable,
// converted whole as the call binds it, before any store is read.
template <Use U>
struct Tags {
    TagList list;
};
using ProbeTags = Tags<Use::probe>;     // only looked up
using StorableTags = Tags<Use::store>;  // may be stored

template <Use U>
bool load(PyObject *value, Tags<U> &out) {
    Iterable tags;
    if (!load(value, tags)) return false;
    to_tag_list(tags, out.list, U, "'tags'");
    return true;
}

// The tags parameter of Object, shown as "collections.abc.Set[str]": a set,
// frozenset or dict_keys view, or another collections.abc.Set, whose
// elements are all keys or tags.
struct SetOfTags {
    Record::TagSet tags;
};

bool load(PyObject *value, SetOfTags &out);

// The data parameter of Object, shown as "str".
struct Bytes {
    std::string bytes;
};

inline bool load(PyObject *value, Bytes &out) {
    std::string_view view;
    if (utf8_of(value, view) != Refusal::none) return false;
    out.bytes.assign(view);
    return true;
}

}  // namespace corvane
