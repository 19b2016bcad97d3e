#include "bindings/results.hpp"

#include <algorithm>
#include <cstring>

namespace corvane {

namespace {

// CPython 3.11, Objects/setobject.c.
constexpr std::size_t linear_probes = 9;
constexpr int perturb_shift = 5;

// The slot for `key` along its probe sequence: the empty one it goes into,
// or, when `held_too`, the one already holding that very object.
setentry *slot_for(setentry *table, std::size_t mask, PyObject *key, Py_hash_t hash, bool held_too) noexcept {
    std::size_t perturb = static_cast<std::size_t>(hash);
    std::size_t i = static_cast<std::size_t>(hash) & mask;
    for (;;) {
        setentry *entry = &table[i];
        if (entry->key == nullptr || (held_too && entry->key == key)) return entry;
        if (i + linear_probes <= mask) {
            for (std::size_t j = 0; j < linear_probes; ++j) {
                ++entry;
                if (entry->key == nullptr || (held_too && entry->key == key)) return entry;
            }
        }
        perturb >>= perturb_shift;
        i = (i * 5 + 1 + perturb) & mask;
    }
}

// Keys reached through entry ids sit in three cold places: the entry, the
// key's str object, and for a set the slot of the new table. Each is touched
// `ahead` keys before the next needs it, so that the misses overlap instead
// of following one another. Walking every entry, `look_ahead` sees a key's
// object `ahead` keys before `emit` gets it.
constexpr std::size_t ahead = 16;

inline void no_look_ahead(PyObject *) noexcept {}

template <class Emit>
void for_each_key(const Store &s, std::span<const Id> ids, Emit &&emit) {
    const Store::Entry *entries = s.entries().data();
    const std::size_t n = ids.size();
    // The first keys too, all at once: a short result is all start.
    for (std::size_t i = 0; i < std::min(n, 3 * ahead); ++i) __builtin_prefetch(&entries[ids[i]]);
    for (std::size_t i = 0; i < std::min(n, 2 * ahead); ++i) __builtin_prefetch(entries[ids[i]].key.object());
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 3 * ahead < n) __builtin_prefetch(&entries[ids[i + 3 * ahead]]);
        if (i + 2 * ahead < n) __builtin_prefetch(entries[ids[i + 2 * ahead]].key.object());
        emit(str_of(entries[ids[i]].key));
    }
}

template <class Emit, class LookAhead>
void for_each_key(const Store &s, Emit &&emit, LookAhead &&look_ahead) {
    const auto &entries = s.entries();
    const std::size_t n = entries.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 2 * ahead < n) __builtin_prefetch(entries[i + 2 * ahead].key.object());
        if (i + ahead < n) look_ahead(entries[i + ahead].key.object());
        emit(str_of(entries[i].key));
    }
}

}  // namespace

Py_hash_t hash_of(PyObject *str) noexcept {
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject *>(str)->hash;
    return hash != -1 ? hash : PyObject_Hash(str);  // computes and caches; cannot fail for a str
}

PyObject *str_of(const PyText &text) {
    if (PyObject *s = text.str()) return s;
    const std::string_view bytes = text.view();
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
    if (!decoded) propagate();
    raise(PyExc_SystemError, "stored bytes decoded after all");  // stored as bytes only when they do not
}

SetBuilder::SetBuilder(std::size_t n, Fill fill) : set_(Ref::steal(checked(PySet_New(nullptr)))) {
    // Below CPython's own fill limit (fill * 5 < mask * 3), so that the
    // first later insertion does not resize either; or, dense, up to three
    // quarters full, which lookups handle as well (any table with a free slot
    // does) and which the set's first insertion grows out of.
    std::size_t size = PySet_MINSIZE;
    if (fill == Fill::dense) {
        while (n * 4 > size * 3 || n >= size) size *= 2;
    } else {
        while (n * 5 >= (size - 1) * 3) size *= 2;
    }
    if (size == PySet_MINSIZE) return;
    auto *table = static_cast<setentry *>(PyMem_Calloc(size, sizeof(setentry)));
    if (table == nullptr) {
        PyErr_NoMemory();
        propagate();
    }
    auto *so = reinterpret_cast<PySetObject *>(set_.get());
    so->table = table;
    so->mask = static_cast<Py_ssize_t>(size - 1);
}

void SetBuilder::prefetch(PyObject *key) const noexcept {
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject *>(key)->hash;  // -1 (not yet computed) is harmless
    const auto *so = reinterpret_cast<const PySetObject *>(set_.get());
    __builtin_prefetch(&so->table[static_cast<std::size_t>(hash) & static_cast<std::size_t>(so->mask)], 1);
}

void SetBuilder::add(PyObject *str) noexcept {
    auto *so = reinterpret_cast<PySetObject *>(set_.get());
    const Py_hash_t hash = hash_of(str);
    setentry *entry = slot_for(so->table, static_cast<std::size_t>(so->mask), str, hash, false);
    entry->key = Py_NewRef(str);
    entry->hash = hash;
    ++so->fill;
    ++so->used;
}

void SetBuilder::take_all(std::span<const Keyed> keyed) noexcept {
    auto *so = reinterpret_cast<PySetObject *>(set_.get());
    setentry *table = so->table;
    const std::size_t mask = static_cast<std::size_t>(so->mask), n = keyed.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + ahead < n) __builtin_prefetch(&table[static_cast<std::size_t>(keyed[i + ahead].hash) & mask], 1);
        setentry *entry = slot_for(table, mask, keyed[i].key, keyed[i].hash, false);
        entry->key = keyed[i].key;
        entry->hash = keyed[i].hash;
    }
    so->fill += static_cast<Py_ssize_t>(n);
    so->used += static_cast<Py_ssize_t>(n);
}

void SetBuilder::add_unless_held(PyObject *str, Py_hash_t hash) noexcept {
    auto *so = reinterpret_cast<PySetObject *>(set_.get());
    setentry *entry = slot_for(so->table, static_cast<std::size_t>(so->mask), str, hash, true);
    if (entry->key != nullptr) return;
    entry->key = Py_NewRef(str);
    entry->hash = hash;
    ++so->fill;
    ++so->used;
}

Ref new_list(std::size_t n) { return Ref::steal(checked(PyList_New(static_cast<Py_ssize_t>(n)))); }

Ref new_tuple(Ref first, Ref second) {
    Ref out = Ref::steal(checked(PyTuple_New(2)));
    PyTuple_SET_ITEM(out.get(), 0, first.release());
    PyTuple_SET_ITEM(out.get(), 1, second.release());
    return out;
}

Ref key_list(const Store &s) {
    Ref out = new_list(s.size());
    Py_ssize_t i = 0;
    for_each_key(s, [&](PyObject *key) { PyList_SET_ITEM(out.get(), i++, Py_NewRef(key)); }, no_look_ahead);
    return out;
}

Ref key_list(const Store &s, std::span<const Id> ids) {
    Ref out = new_list(ids.size());
    Py_ssize_t i = 0;
    for_each_key(s, ids, [&](PyObject *key) { PyList_SET_ITEM(out.get(), i++, Py_NewRef(key)); });
    return out;
}

Ref key_set(const Store &s) {
    SetBuilder out(s.size());
    for_each_key(s, [&](PyObject *key) { out.add(key); }, [&](PyObject *key) { out.prefetch(key); });
    return out.done();
}

Ref key_set(const Store &s, std::span<const Id> ids, Fill fill) {
    SetBuilder out(ids.size(), fill);
    // Two passes, so that the misses of each overlap: the keys and their
    // hashes (the entries, then their str objects, fetched ahead), then the
    // table's slots, which the hashes at hand let the loop fetch ahead too.
    // The first pass takes the references, while the objects are at hand.
    std::vector<Keyed> keyed(ids.size());
    std::size_t n = 0;
    try {
        for_each_key(s, ids, [&](PyObject *key) { keyed[n++] = {Py_NewRef(key), hash_of(key)}; });
    } catch (...) {
        for (std::size_t i = 0; i < n; ++i) Py_DECREF(keyed[i].key);
        throw;
    }
    out.take_all(keyed);
    return out.done();
}

Ref copy_key_set(const Store &s, Id b) {
    const auto *kept = reinterpret_cast<const PySetObject *>(s.key_set_of(b));
    Ref out = Ref::steal(checked(PySet_New(nullptr)));
    auto *so = reinterpret_cast<PySetObject *>(out.get());
    const auto size = static_cast<std::size_t>(kept->mask) + 1;
    if (kept->table != kept->smalltable) {
        auto *table = static_cast<setentry *>(PyMem_Malloc(size * sizeof(setentry)));
        if (table == nullptr) {
            PyErr_NoMemory();
            propagate();
        }
        so->table = table;
    }
    std::memcpy(so->table, kept->table, size * sizeof(setentry));
    so->mask = kept->mask;
    so->fill = kept->fill;
    so->used = kept->used;
    // A kept set is built whole (set_insert_clean): no slot holds a dummy.
    for (std::size_t i = 0; i < size; ++i) Py_XINCREF(so->table[i].key);
    return out;
}

Ref union_of_key_sets(const Store &s, std::span<const Id> buckets) {
    std::size_t total = 0;
    for (Id b : buckets) total += static_cast<std::size_t>(PySet_GET_SIZE(s.key_set_of(b)));
    SetBuilder out(total);
    for (Id b : buckets) {
        // A kept set is built whole (set_insert_clean): no slot holds a dummy.
        const auto *kept = reinterpret_cast<const PySetObject *>(s.key_set_of(b));
        const setentry *table = kept->table;
        const std::size_t slots = static_cast<std::size_t>(kept->mask) + 1;
        for (std::size_t i = 0; i < slots; ++i) {
            if (PyObject *key = table[i].key) out.add_unless_held(key, table[i].hash);
        }
    }
    return out.done();
}

Ref tag_set(const Store &s, const Store::Entry &entry) {
    SetBuilder out(entry.tags.size());
    entry.tags.for_each([&](Id b) { out.add(str_of(s.bucket(b).tag)); });
    return out.done();
}

}  // namespace corvane
