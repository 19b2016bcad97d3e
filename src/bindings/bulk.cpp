// Building whole stores from Python data, applying a dict, and exporting.

#include "bindings/adapters.hpp"
#include "bindings/collector.hpp"
#include "bindings/results.hpp"

namespace corvane::adapters {

namespace {

// Converts one (key, tags) pair, key first, and puts it. The caller holds
// both objects: converting the tags may run code that drops other references.
void put_pair(Store &s, PyObject *key, PyObject *tags, const char *where, TagList &scratch) {
    const TextArg k = element_text(key, Use::store, where);
    to_tag_list(Iterable{Ref::borrow(tags), Ref()}, scratch, Use::store, where);
    s.put(k, scratch);
}

}  // namespace

Store make_empty() { return Store(); }

// Applies each entry of `d` in its storage order; no rollback on failure.
void update(Store &s, const Dict &d) {
    TagList scratch;
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(d.object.get(), &pos, &key, &value) != 0) {
        TextArg k;
        {
            // The conversions may change or clear `d`, so our own references
            // hold the entry; dropping them may then run the caller's code.
            const GcPause::Lift caller_code;
            const Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
            k = element_text(held_key.get(), Use::store, "'d'");
            to_tag_list(Iterable{held_value, Ref()}, scratch, Use::store, "'d'");
        }
        s.put(k, scratch);
    }
}

// Builds reserve room as they go, or for the whole input; what entries
// that stored nothing (or repeated a key) did not use is given back.
Store from_dict(const Dict &d) {
    Store s;
    s.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(d.object.get())));
    update(s, d);
    s.fit();
    return s;
}

// Pairs keys with values without asking either for its length; exactly one
// item beyond the last complete pair is taken from the longer side.
Store from_keys_values(const Iterable &keys, const Iterable &values) {
    Store s;
    TagList scratch;
    const Ref key_iterator = iterator_of(keys), value_iterator = iterator_of(values);
    Ref key = next_of(key_iterator);
    Ref value = next_of(value_iterator);
    while (key && value) {
        put_pair(s, key.get(), value.get(), "'keys'", scratch);
        key = next_of(key_iterator);
        value = next_of(value_iterator);
    }
    if (key || value) raise(PyExc_ValueError, "keys and values must have equal length");
    s.fit();
    return s;
}

Store from_items(const Iterable &items) {
    Store s;
    TagList scratch;
    const Ref iterator = iterator_of(items);
    while (const Ref item = next_of(iterator)) {
        PyObject *pair = item.get();
        if (!PyTuple_Check(pair)) raise(PyExc_TypeError, "each item must be a (key, tags) tuple");
        if (PyTuple_GET_SIZE(pair) != 2) raise(PyExc_TypeError, "each item must be a (key, tags) pair");
        put_pair(s, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), "'items'", scratch);
    }
    s.fit();
    return s;
}

Ref to_dict(const Store &s) {
    Ref out = Ref::steal(checked(_PyDict_NewPresized(static_cast<Py_ssize_t>(s.size()))));
    for (const Store::Entry &e : s.entries()) {
        const Ref tags = tag_set(s, e);
        if (PyDict_SetItem(out.get(), str_of(e.key), tags.get()) != 0) propagate();
    }
    return out;
}

Ref items(const Store &s) {
    Ref out = new_list(s.size());
    Py_ssize_t i = 0;
    for (const Store::Entry &e : s.entries()) {
        Ref tags = tag_set(s, e);
        PyList_SET_ITEM(out.get(), i++, new_tuple(Ref::borrow(str_of(e.key)), std::move(tags)).release());
    }
    return out;
}

}  // namespace corvane::adapters
