#pragma once

// The store behind a Python Corvane.

#include <cstdint>
#include <span>
#include <vector>

#include "bindings/ref.hpp"
#include "bindings/text.hpp"
#include "core/corvane.hpp"

namespace corvane {

struct KeyIterator;  // iteration.cpp

// A bucket's memo: nothing; Py_None, once queried since its carriers last
// changed; or the set of its keys, kept for the next query, weighing the
// bytes it takes (the object, its collector header and its table). A kept
// set is never handed out and is hidden from the collector (a set of str
// cannot be part of a cycle), so no other code can reach it: it stays as
// it was when kept.
struct KeySetMemo {
    Ref object;

    std::size_t weight() const noexcept { return weight_of(object.get()); }

    static std::size_t weight_of(PyObject *o) noexcept {
        if (o == nullptr || o == Py_None) return 0;
        const auto *so = reinterpret_cast<const PySetObject *>(o);
        const std::size_t table = so->table == so->smalltable ? 0 : std::size_t(so->mask + 1) * sizeof(setentry);
        return sizeof(PySetObject) + 2 * sizeof(void *) + table;
    }
};

using CoreStore = Corvane<PyText, PyText, KeySetMemo>;
using TagArgs = CoreStore::TagArgs;

// The core store, plus what Python needs around it: the iterators walking it
// in place, which each change first turns into copies of the keys they have
// still to give (so iteration walks a snapshot taken when it began), and the
// number of keys that have no str (whose presence makes iter() fail at once,
// as decoding a snapshot of them would). Every change goes through here.
class Store : private CoreStore {
public:
    using CoreStore::Bucket;
    using CoreStore::bucket;
    using CoreStore::count_all;
    using CoreStore::count_any;
    using CoreStore::entry;
    using CoreStore::Entry;
    using CoreStore::existing;
    using CoreStore::find;
    using CoreStore::find_tag;
    using CoreStore::fit;
    using CoreStore::for_each_bucket;
    using CoreStore::has_tag;
    using CoreStore::match_all;
    using CoreStore::match_any;
    using CoreStore::reserve;
    using CoreStore::size;
    using CoreStore::tag_count;

    Store() = default;
    Store(Store &&) noexcept = default;  // only stores that no iterator walks yet are moved
    Store &operator=(Store &&) = delete;

    const std::vector<Entry> &entries() const noexcept { return objects.entries; }
    bool has_raw_keys() const noexcept { return raw_keys_ != 0; }

    void put(const TextArg &key, TagArgs tags) {
        keyed_change(key, [&] { CoreStore::put(key, tags); });
    }
    void add_tags(const TextArg &key, TagArgs tags) {
        keyed_change(key, [&] { CoreStore::add_tags(key, tags); });
    }
    void add_tag(const TextArg &key, const TextArg &tag) {
        keyed_change(key, [&] { CoreStore::add_tag(key, tag); });
    }
    void remove_tag(const TextArg &key, const TextArg &tag) {
        keyed_change(key, [&] { CoreStore::remove_tag(key, tag); });
    }
    void discard_tag(const TextArg &key, const TextArg &tag) {
        keyed_change(key, [&] { CoreStore::discard_tag(key, tag); });
    }
    void erase(Id id) {
        detach_iterators();
        const bool raw = raw_at(id);
        CoreStore::erase(id);
        raw_keys_ -= raw;
        tidy_kept();
    }
    void erase_all(std::vector<Id> ids) {
        detach_iterators();
        std::uint64_t raw = 0;
        for (Id id : ids) raw += raw_at(id);
        CoreStore::erase_all(std::move(ids));
        raw_keys_ -= raw;
        tidy_kept();
    }
    void retain(std::span<const Id> keep) {
        detach_iterators();
        std::uint64_t kept_raw = 0;
        for (Id id : keep) kept_raw += raw_at(id);
        CoreStore::retain(keep);
        raw_keys_ = kept_raw;
        tidy_kept();
    }
    void clear() {
        detach_iterators();
        CoreStore::clear();
        raw_keys_ = 0;
        forget_key_sets();
    }

    // Whether few enough entries carry bucket b that keeping their key set
    // for a query of several tags pays (at most one in 64).
    bool rare(Id b) const noexcept { return std::uint64_t(bucket(b).carriers.size()) * 64 <= size(); }

    // The set of the keys carrying bucket b, kept from an earlier query
    // (borrowed), or null. Callers hand out copies only.
    PyObject *key_set_of(Id b) const noexcept {
        PyObject *memo = bucket(b).memo.object.get();
        return memo != nullptr && memo != Py_None ? memo : nullptr;
    }

    // Whether bucket b was queried before since its carriers last changed,
    // without its key set being kept; and marking it so. A key set is kept
    // from the second query on: one query alone is answered directly.
    bool seen(Id b) const noexcept { return bucket(b).memo.object.get() == Py_None; }
    void mark_seen(Id b) noexcept { set_memo(b, KeySetMemo{Ref::borrow(Py_None)}); }

    // Keeps a query's result for bucket b, within a budget of a quarter of
    // the store's own heap (counted by heap_floor()), at least 64 KiB; past
    // it, every kept set is dropped first. Best effort: false when it keeps
    // nothing, and leaves `keys` to the caller.
    bool keep_key_set(Id b, Ref &keys) noexcept;

    // The iterators walking this store in place (iteration.cpp).
    KeyIterator *iterators = nullptr;

private:
    bool raw_at(Id id) const noexcept { return id != no_id && entry(id).key.str() == nullptr; }

    // A change of one key; only a key given as bytes can be stored without a str.
    template <class Change>
    void keyed_change(const TextArg &key, Change &&change) {
        detach_iterators();
        if (key.text.str() != nullptr) {
            change();
        } else {
            const bool was_raw = raw_at(find(key));
            change();
            raw_keys_ = raw_keys_ - was_raw + raw_at(find(key));
        }
        tidy_kept();
    }

    // Gives every iterator walking this store its own copy of the keys it
    // has still to give. Throws MemoryError before anything changed. Builds
    // lists, so it runs only within a call, with the collector paused.
    void detach_iterators();

    void forget_key_sets() noexcept;
    // Prunes kept_ once more than half of it is stale, and gives back its room.
    void tidy_kept() noexcept {
        if (kept_.size() > 2 * std::size_t(memo_count) + 64) prune_kept();
    }
    void prune_kept() noexcept;

    std::uint64_t raw_keys_ = 0;
    // The buckets given a key set since the last reset, so that all can be
    // dropped without a walk over every bucket. Some may have dropped theirs
    // since (or been renumbered): it is pruned once more than half of it is,
    // and its room shrinks with it.
    std::vector<Id> kept_;
};

}  // namespace corvane
