// Corvane as a mapping from keys to tag sets.
//
// Results are built before anything is removed, so a key or tag that fails
// to decode leaves the store as it was.

#include "bindings/adapters.hpp"
#include "bindings/iteration.hpp"
#include "bindings/results.hpp"

namespace corvane::adapters {

std::uint64_t length(const Store &s) { return s.size(); }

bool truth(const Store &s) { return s.size() != 0; }

bool contains(const Store &s, const Probe &key) { return s.find(key.arg) != no_id; }

Ref keys(const Store &s) { return key_list(s); }

Ref iterate(PyObject *self, Store &s) { return iterate_keys(self, s); }

Ref values(const Store &s) {
    Ref out = new_list(s.size());
    Py_ssize_t i = 0;
    for (const Store::Entry &e : s.entries()) PyList_SET_ITEM(out.get(), i++, tag_set(s, e).release());
    return out;
}

Ref text(const Store &s) {
    const Ref d = to_dict(s);
    return Ref::steal(checked(PyUnicode_FromFormat("Corvane(%S)", d.get())));
}

Ref getitem(const Store &s, const Probe &key) { return tag_set(s, s.entry(s.existing(key.arg))); }

void setitem(Store &s, const Storable &key, const StorableTags &tags) { s.put(key.arg, tags.list); }

void delitem(Store &s, const Probe &key) { s.erase(s.existing(key.arg)); }

void clear(Store &s) { s.clear(); }

Ref get(const Store &s, const Probe &key, const Any &fallback) {
    const Id id = s.find(key.arg);
    return id == no_id ? fallback.object : tag_set(s, s.entry(id));
}

// Never removes or replaces a present key: `default` is converted (running
// whatever code it runs) and stored only if the key is still absent then.
Ref setdefault(Store &s, const Storable &key, const Iterable &fallback) {
    if (const Id id = s.find(key.arg); id != no_id) return tag_set(s, s.entry(id));
    const TagList tags = tag_list(fallback, Use::store, "'default'");
    if (const Id id = s.find(key.arg); id != no_id) return tag_set(s, s.entry(id));
    Ref out = Ref::steal(checked(PySet_New(nullptr)));  // built first: a tag that does not decode stores nothing
    for (const TextArg &t : tags) {
        if (PySet_Add(out.get(), str_of(t.text)) != 0) propagate();
    }
    s.put(key.arg, tags);  // an empty default stores nothing
    return out;
}

Ref pop(Store &s, const Probe &key, const Any &fallback) {
    const Id id = s.find(key.arg);
    if (id == no_id) return fallback.object;
    Ref out = tag_set(s, s.entry(id));
    s.erase(id);
    return out;
}

Ref popitem(Store &s) {
    if (s.size() == 0) raise(PyExc_KeyError, "popitem(): Corvane is empty");
    Ref key = Ref::borrow(str_of(s.entry(0).key));
    Ref out = new_tuple(std::move(key), tag_set(s, s.entry(0)));
    s.erase(0);
    return out;
}

}  // namespace corvane::adapters
