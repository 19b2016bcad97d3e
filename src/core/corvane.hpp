#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <boost/unordered/unordered_flat_set.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "object.hpp"
#include "readable.hpp"

namespace corvane {

// Hashing and equality that also take a string_view, so lookups need no copy
// of the probe text. The hash is deliberately not noexcept: that makes the
// standard unordered containers keep each node's hash, so a lookup walks a
// bucket without rehashing every key it passes.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
struct TextEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

// A map from keys to non-empty tag sets with an inverted index from each tag to
// the entries carrying it.
//
// Both maps are node-based, so an element never moves between its insertion
// and its erasure: the index names an entry by the address of its key, and an
// entry names its tags by the address of their bucket in the index (each tag
// text is stored once). Every change goes through `put_at`, `drop_tag` or
// `erase_at`, which keep the two in step.
template <class Key, class Tag>
struct Corvane {
    using Record = Object<Key, Tag>;
    using TagSet = std::unordered_set<Tag>;
    using EntryPtr = const Key *;
    // The carriers of one tag; open addressing keeps probes to about one cache miss.
    using MatchSet = boost::unordered_flat_set<EntryPtr>;
    using TagIndex = std::unordered_map<Tag, MatchSet, TextHash, TextEq>;
    using Bucket = typename TagIndex::value_type;
    // An entry's tags: the buckets of the index that hold it, sorted by address.
    using Buckets = std::vector<Bucket *>;
    struct Entry {
        Buckets tags;
    };
    using Objects = std::unordered_map<Key, Entry, TextHash, TextEq>;
    using iterator = typename Objects::iterator;
    using const_iterator = typename Objects::const_iterator;

    TagIndex tag_index;
    Objects objects;

    Corvane() = default;
    // A member-wise copy would leave the copy's pointers aimed at our nodes.
    Corvane(const Corvane &) = delete;
    Corvane &operator=(const Corvane &) = delete;
    // Moving hands over the nodes themselves, so every stored address survives.
    Corvane(Corvane &&) noexcept = default;
    Corvane &operator=(Corvane &&) noexcept = default;

    // ---- key operations -------------------------------------------------

    // Makes the entry for rec.data carry exactly rec.tags; no tags removes it.
    void put(const Record &rec) { put(rec.data, rec.tags); }
    void put(Record &&rec) { put(std::move(rec.data), rec.tags); }

    // put() for a key and its tags; a key given as an rvalue is taken over.
    template <class K>
    void put(K &&key, const TagSet &tags) {
        if (tags.empty()) {
            extract(key);
            return;
        }
        put_at(objects.try_emplace(std::forward<K>(key)).first, tags, false);
    }

    void set(const Key &key, const TagSet &tags) { put(key, tags); }

    // Removes the entry if present; an absent key yields an empty record.
    // `key` may name the entry's own key: it serves only for the lookup.
    Record extract(std::string_view key) {
        auto it = objects.find(key);
        if (it == objects.end()) return Record{};
        return take_at(it);
    }

    Record remove(std::string_view key) { return take_at(existing(key)); }

    std::optional<Record> try_remove(std::string_view key) {
        auto it = objects.find(key);
        if (it == objects.end()) return std::nullopt;
        return take_at(it);
    }

    TagSet at(std::string_view key) const { return tag_set(existing(key)->second); }

    bool contains(std::string_view key) const { return objects.find(key) != objects.end(); }

    std::uint64_t size() const { return objects.size(); }

    void clear() {
        objects.clear();
        tag_index.clear();
    }

    // ---- tag editing ----------------------------------------------------

    void add_tags(const Key &key, const TagSet &tags) {
        if (tags.empty()) return;  // creates nothing, changes nothing
        put_at(objects.try_emplace(key).first, tags, true);
    }

    void add_tag(std::string_view key, std::string_view tag) {
        auto it = objects.find(key);
        if (it == objects.end()) {
            it = objects.try_emplace(Key(key)).first;
        } else if (carries(it->second, tag)) {
            return;
        }
        put_at(it, std::array<std::string_view, 1>{tag}, true);
    }

    void remove_tag(std::string_view key, std::string_view tag) {
        auto it = existing(key);
        Bucket *b = bucket(tag);
        if (b == nullptr || !carries(it->second, b)) {
            throw pybind11::key_error("tag not found: " + readable(tag));
        }
        drop_tag(it, b);
    }

    void discard_tag(std::string_view key, std::string_view tag) {
        auto it = objects.find(key);
        if (it == objects.end()) return;
        Bucket *b = bucket(tag);
        if (b != nullptr && carries(it->second, b)) drop_tag(it, b);
    }

    bool has_tag(std::string_view key, std::string_view tag) const {
        auto it = objects.find(key);
        return it != objects.end() && carries(it->second, tag);
    }

    std::vector<Tag> all_tags() const {
        std::vector<Tag> out;
        out.reserve(tag_index.size());
        for (const auto &b : tag_index) out.push_back(b.first);
        return out;
    }

    // ---- tag queries ----------------------------------------------------

    // The carrier sets of all requested tags and the smallest of them.
    struct Gathered {
        std::vector<const MatchSet *> sets;
        const MatchSet *smallest = nullptr;
    };

    // Empty when the tag set is empty or some tag is carried by no entry:
    // then no entry can carry them all and nothing needs probing.
    std::optional<Gathered> gather_all(const TagSet &tags) const {
        if (tags.empty()) return std::nullopt;
        Gathered g;
        g.sets.reserve(tags.size());
        for (const Tag &t : tags) {
            auto b = tag_index.find(t);
            if (b == tag_index.end()) return std::nullopt;
            g.sets.push_back(&b->second);
            if (g.smallest == nullptr || b->second.size() < g.smallest->size()) g.smallest = &b->second;
        }
        return g;
    }

    // Visits each entry carrying all gathered tags: walks the smallest set
    // and probes the others by address.
    template <class Visit>
    static void for_each_in(const Gathered &g, Visit &&visit) {
        for (EntryPtr p : *g.smallest) {
            if (std::all_of(g.sets.begin(), g.sets.end(), [&](auto *s) { return s == g.smallest || s->contains(p); })) {
                visit(p);
            }
        }
    }

    template <class Visit>
    void for_each_match_all(const TagSet &tags, Visit &&visit) const {
        if (auto g = gather_all(tags)) for_each_in(*g, visit);
    }

    // The carrier sets of the tags that have carriers, the largest first: its
    // entries need no probing, and each later set is probed against the sets
    // before it.
    std::vector<const MatchSet *> gather_any(const TagSet &tags) const {
        std::vector<const MatchSet *> sets;
        sets.reserve(tags.size());
        for (const Tag &t : tags) {
            if (auto b = tag_index.find(t); b != tag_index.end()) sets.push_back(&b->second);
        }
        if (!sets.empty()) {
            auto by_size = [](const MatchSet *a, const MatchSet *b) { return a->size() < b->size(); };
            std::swap(sets.front(), *std::max_element(sets.begin(), sets.end(), by_size));
        }
        return sets;
    }

    // Visits the entries of the sets after the first that no earlier set holds.
    template <class Visit>
    static void for_each_after_first(const std::vector<const MatchSet *> &sets, Visit &&visit) {
        for (std::size_t i = 1; i < sets.size(); ++i) {
            for (EntryPtr p : *sets[i]) {
                if (std::none_of(sets.begin(), sets.begin() + i, [p](auto *s) { return s->contains(p); })) visit(p);
            }
        }
    }

    // Visits each entry carrying at least one tag, once.
    template <class Visit>
    void for_each_match_any(const TagSet &tags, Visit &&visit) const {
        const auto sets = gather_any(tags);
        if (sets.empty()) return;
        for (EntryPtr p : *sets.front()) visit(p);
        for_each_after_first(sets, visit);
    }

    MatchSet match_all(const TagSet &tags) const {
        MatchSet out;
        if (auto g = gather_all(tags)) {
            out.reserve(g->smallest->size());
            for_each_in(*g, [&](EntryPtr p) { out.insert(p); });
        }
        return out;
    }

    MatchSet match_any(const TagSet &tags) const {
        MatchSet out;
        for_each_match_any(tags, [&](EntryPtr p) { out.insert(p); });
        return out;
    }

    std::uint64_t count_all(const TagSet &tags) const {
        if (tags.empty()) return size();
        auto g = gather_all(tags);
        if (!g) return 0;
        if (g->sets.size() == 1) return g->smallest->size();
        std::uint64_t n = 0;
        for_each_in(*g, [&](EntryPtr) { ++n; });
        return n;
    }

    std::uint64_t count_any(const TagSet &tags) const {
        if (tags.empty()) return size();
        const auto sets = gather_any(tags);
        if (sets.empty()) return 0;
        std::uint64_t n = sets.front()->size();
        for_each_after_first(sets, [&](EntryPtr) { ++n; });
        return n;
    }

    // ---- conditional removal --------------------------------------------

    // Removes every entry carrying all `tags` (none for an empty set).
    // `before` sees the doomed entries first and may throw, leaving the store
    // as it was.
    template <class Before>
    void erase_where(const TagSet &tags, Before &&before) {
        std::vector<EntryPtr> doomed;
        if (auto g = gather_all(tags)) {
            doomed.reserve(g->smallest->size());
            for_each_in(*g, [&](EntryPtr p) { doomed.push_back(p); });
        }
        before(static_cast<const std::vector<EntryPtr> &>(doomed));
        for (EntryPtr p : doomed) erase_at(objects.find(*p));
    }

    // Removes every entry not in `keep`.
    void retain(const MatchSet &keep) {
        for (auto it = objects.begin(); it != objects.end();) {
            it = keep.contains(&it->first) ? std::next(it) : erase_at(it);
        }
    }

    // ---- positional building blocks -------------------------------------

    // The entry of a key that must exist.
    iterator existing(std::string_view key) {
        auto it = objects.find(key);
        if (it == objects.end()) throw_missing_key(key);
        return it;
    }
    const_iterator existing(std::string_view key) const {
        auto it = objects.find(key);
        if (it == objects.end()) throw_missing_key(key);
        return it;
    }

    Bucket *bucket(std::string_view tag) {
        auto b = tag_index.find(tag);
        return b == tag_index.end() ? nullptr : &*b;
    }

    Bucket *bucket_or_new(std::string_view tag) {
        auto b = tag_index.find(tag);
        return b != tag_index.end() ? &*b : &*tag_index.try_emplace(Tag(tag)).first;
    }

    static bool carries(const Entry &e, const Bucket *b) {
        return std::binary_search(e.tags.begin(), e.tags.end(), b, std::less<const Bucket *>());
    }

    bool carries(const Entry &e, std::string_view tag) const {
        auto b = tag_index.find(tag);
        return b != tag_index.end() && carries(e, &*b);
    }

    static TagSet tag_set(const Entry &e) {
        TagSet out;
        out.reserve(e.tags.size());
        for (const Bucket *b : e.tags) out.insert(b->first);
        return out;
    }

    // Links the entry at `it` to the buckets of `tags` (a non-empty range of
    // tag texts; repeats collapse) and, unless `keep_old`, unlinks it from
    // the buckets of its other tags. An entry just emplaced carries no tags
    // yet. On failure the entry is as it was (a just emplaced one is gone
    // again) and no bucket is left without carriers.
    template <class Tags>
    void put_at(iterator it, const Tags &tags, bool keep_old) {
        Entry &e = it->second;
        const EntryPtr p = &it->first;
        Buckets next;
        Buckets linked;
        try {
            next.reserve(tags.size() + (keep_old ? e.tags.size() : 0));
            linked.reserve(tags.size());
            for (std::string_view t : tags) {
                Bucket *b = bucket_or_new(t);
                next.push_back(b);
                if (b->second.insert(p).second) linked.push_back(b);
            }
        } catch (...) {
            for (Bucket *b : linked) b->second.erase(p);
            for (Bucket *b : next) prune(b);
            if (e.tags.empty()) objects.erase(it);
            throw;
        }
        if (keep_old) next.insert(next.end(), e.tags.begin(), e.tags.end());
        std::sort(next.begin(), next.end(), std::less<Bucket *>());
        next.erase(std::unique(next.begin(), next.end()), next.end());
        if (!keep_old) {
            for (Bucket *b : e.tags) {
                if (!std::binary_search(next.begin(), next.end(), b, std::less<Bucket *>())) unlink(p, b);
            }
        }
        e.tags = std::move(next);
    }

    // Takes one carried tag away; the entry goes with its last tag.
    void drop_tag(iterator it, Bucket *b) {
        Buckets &tags = it->second.tags;
        unlink(&it->first, b);
        tags.erase(std::lower_bound(tags.begin(), tags.end(), b, std::less<Bucket *>()));
        if (tags.empty()) objects.erase(it);
    }

    // Unlinks the entry at `it` from the index and erases it by position;
    // returns the next entry in visiting order.
    iterator erase_at(iterator it) {
        for (Bucket *b : it->second.tags) unlink(&it->first, b);
        return objects.erase(it);
    }

    // As erase_at, handing back the removed entry as a record.
    Record take_at(iterator it) {
        Record out{it->first, tag_set(it->second)};
        erase_at(it);
        return out;
    }

private:
    // Drops `p` from the carriers of `b`, and the bucket once nobody carries it.
    void unlink(EntryPtr p, Bucket *b) {
        b->second.erase(p);
        prune(b);
    }

    void prune(Bucket *b) {
        if (b->second.empty()) tag_index.erase(tag_index.find(b->first));
    }

    [[noreturn]] static void throw_missing_key(std::string_view key) {
        throw pybind11::key_error("key not found: " + readable(key));
    }
};

}  // namespace corvane
