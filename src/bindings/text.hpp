#pragma once

// The store's text type, and the conversion of key and tag arguments into it.

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "bindings/errors.hpp"
#include "bindings/ref.hpp"
#include "core/corvane.hpp"
#include "core/object.hpp"

namespace corvane {

// A key or tag as a store holds it: an exact str (the caller's own object
// when they passed one), or exact bytes for text that is not valid UTF-8.
// Neither can carry a finaliser, so releasing one runs no Python code.
class PyText {
public:
    PyText() noexcept = default;
    explicit PyText(Ref owner) noexcept : owner_(std::move(owner)) {}

    explicit operator bool() const noexcept { return static_cast<bool>(owner_); }
    const void *identity() const noexcept { return owner_.get(); }
    PyObject *object() const noexcept { return owner_.get(); }
    // The text as a str, or null when its bytes are not UTF-8.
    PyObject *str() const noexcept { return PyUnicode_CheckExact(owner_.get()) ? owner_.get() : nullptr; }

    // The keyed hash a text arrives with (text_hash): cached by the object
    // for bytes and ASCII str, computed from the UTF-8 bytes otherwise.
    std::uint64_t hash() const noexcept;

    // The UTF-8 bytes. A stored str always has them at hand: inline for
    // ASCII, otherwise in the str's own UTF-8 cache, filled on conversion.
    std::string_view view() const noexcept {
        PyObject *obj = owner_.get();
        if (PyUnicode_CheckExact(obj)) {
            if (PyUnicode_IS_COMPACT_ASCII(obj)) {
                const auto *ascii = reinterpret_cast<const PyASCIIObject *>(obj);
                return {reinterpret_cast<const char *>(ascii + 1), static_cast<std::size_t>(ascii->length)};
            }
            const auto *compact = reinterpret_cast<const PyCompactUnicodeObject *>(obj);
            return {compact->utf8, static_cast<std::size_t>(compact->utf8_length)};
        }
        return {PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
    }

private:
    Ref owner_;
};

using TextArg = Arg<PyText>;

// The keyed hash of a text's UTF-8 bytes: Python's own string hash (SipHash
// with the per-process secret). An ASCII str and a bytes object cache exactly
// this value; other strs hash their code points, so their bytes are hashed.
inline std::uint64_t text_hash(PyObject *exact, std::string_view utf8) noexcept {
    if (PyBytes_CheckExact(exact) || PyUnicode_IS_ASCII(exact)) return static_cast<std::uint64_t>(PyObject_Hash(exact));
    return static_cast<std::uint64_t>(_Py_HashBytes(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

inline std::uint64_t PyText::hash() const noexcept { return text_hash(owner_.get(), view()); }

// Whether a converted text may end up stored: then bytes that are valid
// UTF-8 become a str, so that results never need to decode them again.
enum class Use { probe, store };

// Why a value is not a key or tag.
enum class Refusal { none, type, surrogate };

// The bytes of a str, bytes or bytearray (or subclass); Refusal::type for any
// other value and Refusal::surrogate for a str that is not encodable.
inline Refusal utf8_of(PyObject *value, std::string_view &out) {
    Py_ssize_t size = 0;
    if (PyUnicode_Check(value)) {
        const char *data = PyUnicode_AsUTF8AndSize(value, &size);
        if (data == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) == 0) propagate();  // out of memory
            PyErr_Clear();
            return Refusal::surrogate;
        }
        out = {data, static_cast<std::size_t>(size)};
    } else if (PyBytes_Check(value)) {
        out = {PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value))};
    } else if (PyByteArray_Check(value)) {
        out = {PyByteArray_AS_STRING(value), static_cast<std::size_t>(PyByteArray_GET_SIZE(value))};
    } else {
        return Refusal::type;
    }
    return Refusal::none;
}

inline Ref new_bytes(std::string_view bytes) {
    return Ref::steal(checked(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()))));
}

// A new str of UTF-8 bytes with its UTF-8 form cached, or null (no error
// set) when the bytes are not valid UTF-8.
inline Ref decoded_or_null(std::string_view bytes) {
    PyObject *s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (s == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError) == 0) propagate();
        PyErr_Clear();
        return {};
    }
    Ref out = Ref::steal(s);
    if (PyUnicode_AsUTF8AndSize(s, nullptr) == nullptr) propagate();
    return out;
}

// Converts a key or tag argument, keeping an exact, immutable copy of the
// text: the caller's own exact str or bytes, otherwise a new one (a str
// subclass could carry a finaliser, a bytearray can change).
inline Refusal to_text(PyObject *value, TextArg &out, Use use) {
    std::string_view bytes;
    if (const Refusal r = utf8_of(value, bytes); r != Refusal::none) return r;
    Ref owner;
    if (PyUnicode_CheckExact(value) || (PyBytes_CheckExact(value) && use == Use::probe)) {
        owner = Ref::borrow(value);
    } else if (PyUnicode_Check(value)) {
        owner = decoded_or_null(bytes);  // a str subclass: its bytes are UTF-8
    } else if (use == Use::store) {
        owner = decoded_or_null(bytes);
        if (!owner) owner = PyBytes_CheckExact(value) ? Ref::borrow(value) : new_bytes(bytes);
    } else {
        owner = new_bytes(bytes);
    }
    PyText text(std::move(owner));
    out.hash = text_hash(text.object(), text.view());
    out.text = std::move(text);
    return Refusal::none;
}

// The element conversion inside a collection: a refusal is RuntimeError.
[[noreturn]] void refuse_element(PyObject *value, Refusal why, const char *where);

inline TextArg element_text(PyObject *value, Use use, const char *where) {
    TextArg out;
    if (const Refusal r = to_text(value, out, use); r != Refusal::none) refuse_element(value, r, where);
    return out;
}

// Keyed hashing for the tag sets of free-standing records.
struct BytesHash {
    std::size_t operator()(const std::string &s) const noexcept {
        return static_cast<std::size_t>(_Py_HashBytes(s.data(), static_cast<Py_ssize_t>(s.size())));
    }
};

using Record = Object<std::string, std::string, BytesHash>;

}  // namespace corvane
