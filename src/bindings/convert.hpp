#pragma once

// Conversions between Python values and the byte-string store.

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <algorithm>
#include <array>
#include <ranges>
#include <string>
#include <unordered_set>

#include "core/corvane.hpp"

namespace corvane {

namespace py = pybind11;

using Store = Corvane<std::string, std::string>;
using Record = Object<std::string, std::string>;
using TagSet = Store::TagSet;

// Result types that render as "set[str]" and "list[str]" in signatures while
// being built directly with the C API.
using StrSet = py::typing::Set<py::str>;
using StrList = py::typing::List<py::str>;

// A claimed len() only pre-sizes, and never past this many tags: a lying
// __len__ must not make us allocate in proportion to its claim.
constexpr Py_ssize_t max_presize = 1024;

// Allocating a Python container can start a garbage collection, which can run
// arbitrary __del__ code, which could change the very store we are reading.
// Collections wait while a result is built from positions inside a store.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;

private:
    bool was_enabled_;
};

// Element conversion: str as UTF-8, bytes and bytearray as they are.
// Anything else raises pybind11's cast error (RuntimeError).
inline std::string to_bytes(py::handle value) {
    py::detail::make_caster<std::string> caster;
    py::detail::load_type(caster, value);
    return py::detail::cast_op<std::string &&>(std::move(caster));
}

// Strict UTF-8 decoding of stored bytes; invalid bytes raise UnicodeDecodeError.
inline py::str to_str(std::string_view bytes) {
    PyObject *s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

inline void add_to(const py::set &target, const py::handle item) {
    if (PySet_Add(target.ptr(), item.ptr()) != 0) throw py::error_already_set();
}

inline StrSet to_py_set(const TagSet &tags) {
    StrSet out;
    for (const std::string &tag : tags) add_to(out, to_str(tag));
    return out;
}

inline StrSet to_py_set(const Store::Entry &entry) {
    StrSet out;
    for (const Store::Bucket *b : entry.tags) add_to(out, to_str(b->first));
    return out;
}

// Decodes keys reached through entry pointers. A key sits in two cold places,
// its string header in the entry's node and then its text; touching a whole
// block of keys before decoding them lets those cache misses overlap instead
// of following one another. Call flush() after the last key.
template <class Emit>
class KeyBlocks {
public:
    explicit KeyBlocks(Emit emit) : emit_(std::move(emit)) {}

    void operator()(Store::EntryPtr key) {
        __builtin_prefetch(key);
        block_[size_++] = key;
        if (size_ == block_.size()) flush();
    }

    void flush() {
        for (std::size_t i = 0; i < size_; ++i) __builtin_prefetch(block_[i]->data());
        for (std::size_t i = 0; i < size_; ++i) emit_(to_str(*block_[i]));
        size_ = 0;
    }

private:
    Emit emit_;
    std::array<Store::EntryPtr, 32> block_{};
    std::size_t size_ = 0;
};

// A list of the keys that a sized range of entry pointers leads to, in order.
template <class Entries>
py::list key_list(const Entries &entries) {
    py::list out(std::ranges::size(entries));
    Py_ssize_t i = 0;
    KeyBlocks put([&](py::str key) { PyList_SET_ITEM(out.ptr(), i++, key.release().ptr()); });
    for (const Store::EntryPtr p : entries) put(p);
    put.flush();
    return out;
}

inline py::object iter_of(py::handle iterable) {
    PyObject *it = PyObject_GetIter(iterable.ptr());
    if (it == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(it);
}

// The next item, or a null object once the iterator is exhausted.
inline py::object next_of(const py::object &iterator) {
    PyObject *item = PyIter_Next(iterator.ptr());
    if (item == nullptr && PyErr_Occurred() != nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(item);
}

// len() is only a hint: its failures are dropped (all but those that must not
// be swallowed, such as KeyboardInterrupt) and the reservation is capped.
inline void presize(TagSet &tags, py::handle obj) {
    const Py_ssize_t n = PyObject_Size(obj.ptr());
    if (n < 0) {
        if (PyErr_ExceptionMatches(PyExc_Exception) == 0) throw py::error_already_set();
        PyErr_Clear();
        return;
    }
    if (n > 0) tags.reserve(static_cast<std::size_t>(std::min(n, max_presize)));
}

// Any iterable of str/bytes/bytearray into a tag set; duplicates collapse.
// The caller keeps `obj` alive.
inline TagSet to_tag_set(py::handle obj) {
    TagSet tags;
    presize(tags, obj);
    const py::object it = iter_of(obj);
    while (const py::object item = next_of(it)) tags.insert(to_bytes(item));
    return tags;
}

}  // namespace corvane

namespace pybind11::detail {

// pybind11 hands a method called on an instance whose __init__ never ran
// (Corvane.__new__(Corvane)) a freshly allocated, unconstructed object. These
// casters refuse such an instance with a TypeError instead.
template <class T>
struct initialised_caster : type_caster_base<T> {
    bool load(handle src, bool convert) {
        if (isinstance<T>(src)) {
            const type_info *info = get_type_info(typeid(T));
            auto *inst = reinterpret_cast<instance *>(src.ptr());
            if (!inst->get_value_and_holder(info, false).holder_constructed()) {
                throw type_error(std::string(info->type->tp_name) +
                                 " instance is not initialized (its __init__ never ran)");
            }
        }
        return type_caster_base<T>::load(src, convert);
    }
};

template <>
class type_caster<corvane::Store> : public initialised_caster<corvane::Store> {};
template <>
class type_caster<corvane::Record> : public initialised_caster<corvane::Record> {};

}  // namespace pybind11::detail
