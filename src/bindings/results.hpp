#pragma once

// Python results built from what a store holds: its own str objects, shared
// by reference, in new containers.

#include <Python.h>

#include <cstddef>
#include <span>

#include "bindings/errors.hpp"
#include "bindings/ref.hpp"
#include "bindings/store.hpp"
#include "bindings/text.hpp"

namespace corvane {

// The str of a stored text (borrowed); for bytes that are not UTF-8, raises
// the UnicodeDecodeError that decoding them gives.
PyObject *str_of(const PyText &text);

// How full a new set's table may be: as CPython fills them, or denser (for a
// set the store keeps, which weighs its table).
enum class Fill { usual, dense };

// A key's str and its hash.
struct Keyed {
    PyObject *key;
    Py_hash_t hash;
};

// The hash of a str, computed (and cached by it) if it was not yet.
Py_hash_t hash_of(PyObject *str) noexcept;

// A new set of `n` distinct str objects, written straight into a table sized
// for them: no lookups for equal keys and no resizing on the way. The table
// follows CPython 3.11's set layout and probe sequence (Objects/setobject.c:
// set_insert_clean), which its lookups rely on.
class SetBuilder {
public:
    explicit SetBuilder(std::size_t n, Fill fill = Fill::usual);
    // Brings the table slot of a key's hash into the cache ahead of add().
    void prefetch(PyObject *key) const noexcept;
    // Adds a str not yet in the set (borrowed; the set takes a reference).
    void add(PyObject *str) noexcept;
    // Adds strs not yet in the set, each once, with their hashes, taking
    // over the references the caller holds to them.
    void take_all(std::span<const Keyed> keyed) noexcept;
    // Adds a str with this hash unless that very object is in the set already.
    void add_unless_held(PyObject *str, Py_hash_t hash) noexcept;
    Ref done() noexcept { return std::move(set_); }

private:
    Ref set_;
};

Ref new_list(std::size_t n);
Ref new_tuple(Ref first, Ref second);

// Keys of entries: all of them in visiting order, or those at `ids`.
Ref key_list(const Store &s);
Ref key_list(const Store &s, std::span<const Id> ids);
Ref key_set(const Store &s);
Ref key_set(const Store &s, std::span<const Id> ids, Fill fill = Fill::usual);

// A copy of the set the store kept of the keys of bucket b, in one pass
// over its table: copied whole, then a reference taken to each key in it.
Ref copy_key_set(const Store &s, Id b);

// The union of the sets the store kept for `buckets`, in a table sized for
// all of them: no resizing on the way, and a key is told apart from another
// by its object, since a store holds one str per key.
Ref union_of_key_sets(const Store &s, std::span<const Id> buckets);

// A new set of one entry's tags.
Ref tag_set(const Store &s, const Store::Entry &entry);

}  // namespace corvane
