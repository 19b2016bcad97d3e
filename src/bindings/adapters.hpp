#pragma once

// The methods of the Python class Corvane: each gets its parameters
// converted (convert.hpp), calls the store and builds a new result from what
// the store holds, with the collector paused (collector.hpp). Only
// setdefault's default and update's values are converted lazily, inside.

#include <cstdint>

#include "bindings/convert.hpp"
#include "bindings/ref.hpp"

namespace corvane::adapters {

// Construction, update and exports.
Store make_empty();
Store from_dict(const Dict &d);
Store from_keys_values(const Iterable &keys, const Iterable &values);
Store from_items(const Iterable &items);
void update(Store &s, const Dict &d);
Ref to_dict(const Store &s);
Ref items(const Store &s);

// Packed entries (packed.cpp): a chunk of each part's entries, and a store
// built from chunks in order.
Ref pack(const Iterable &keys, const Iterable &values, const Count &parts);
Store from_packed(const Iterable &chunks);

// Mapping protocol.
std::uint64_t length(const Store &s);
bool truth(const Store &s);
bool contains(const Store &s, const Probe &key);
// A snapshot of the keys: the store may change during the loop.
Ref iterate(PyObject *self, Store &s);
Ref text(const Store &s);
Ref getitem(const Store &s, const Probe &key);
void setitem(Store &s, const Storable &key, const StorableTags &tags);
void delitem(Store &s, const Probe &key);
void clear(Store &s);
Ref keys(const Store &s);
Ref values(const Store &s);
Ref get(const Store &s, const Probe &key, const Any &fallback);
Ref setdefault(Store &s, const Storable &key, const Iterable &fallback);
Ref pop(Store &s, const Probe &key, const Any &fallback);
Ref popitem(Store &s);

// Tag editing.
void add_tag(Store &s, const Storable &key, const Storable &tag);
void add_tags(Store &s, const Storable &key, const StorableTags &tags);
void remove_tag(Store &s, const Probe &key, const Probe &tag);
void discard_tag(Store &s, const Probe &key, const Probe &tag);
bool has_tag(const Store &s, const Probe &key, const Probe &tag);
Ref tags(const Store &s);
Ref erase(Store &s, const Probe &key);
bool discard(Store &s, const Probe &key);

// Tag queries.
Ref find(Store &s, const ProbeTags &tags);
Ref query(Store &s, const Args &tags);
Ref find_any(Store &s, const ProbeTags &tags);
Ref query_any(Store &s, const Args &tags);
std::uint64_t count(const Store &s, const ProbeTags &tags);
std::uint64_t count_any(const Store &s, const ProbeTags &tags);

// Conditional removal.
Ref retain_where(Store &s, const ProbeTags &tags);
Ref retain_where_any(Store &s, const ProbeTags &tags);
Ref erase_where(Store &s, const ProbeTags &tags);

}  // namespace corvane::adapters
