#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "object.hpp"
#include "readable.hpp"

namespace corvane {

// A map from keys to non-empty tag sets with an inverted index from each tag to
// the entries carrying it. The index holds the address of each entry's own
// `data` field; unordered_map never relocates its elements, so those addresses
// stay valid from insertion to erasure. Every change goes through `put_at` or
// `erase_at`, which keep both containers in step.
template <class Key, class Tag>
struct Corvane {
    using Record = Object<Key, Tag>;
    using TagSet = std::unordered_set<Tag>;
    using EntryPtr = const Key *;
    using MatchSet = std::unordered_set<EntryPtr>;
    using TagIndex = std::unordered_map<Tag, MatchSet>;
    using Objects = std::unordered_map<Key, Record>;
    using iterator = typename Objects::iterator;
    using const_iterator = typename Objects::const_iterator;

    TagIndex tag_index;
    Objects objects;

    Corvane() = default;
    // A member-wise copy would leave the copy's index aimed at our records.
    Corvane(const Corvane &) = delete;
    Corvane &operator=(const Corvane &) = delete;
    // Moving hands over the nodes themselves, so every indexed address survives.
    Corvane(Corvane &&) noexcept = default;
    Corvane &operator=(Corvane &&) noexcept = default;

    // ---- key operations -------------------------------------------------

    // Makes the entry for rec.data carry exactly rec.tags; no tags removes it.
    void put(const Record &rec) { put(Record(rec)); }

    void put(Record &&rec) {
        if (rec.tags.empty()) {
            extract(rec.data);
            return;
        }
        put_at(objects.try_emplace(rec.data).first, std::move(rec.tags));
    }

    void set(const Key &key, const TagSet &tags) { put(Record{key, tags}); }

    // Removes the entry if present; an absent key yields an empty record.
    // `key` may be the entry's own data: it serves only for the lookup.
    Record extract(const Key &key) {
        auto it = objects.find(key);
        if (it == objects.end()) return Record{};
        return take_at(it);
    }

    Record remove(const Key &key) { return take_at(existing(key)); }

    std::optional<Record> try_remove(const Key &key) {
        auto it = objects.find(key);
        if (it == objects.end()) return std::nullopt;
        return take_at(it);
    }

    TagSet at(const Key &key) const { return existing(key)->second.tags; }

    bool contains(const Key &key) const { return objects.find(key) != objects.end(); }

    std::uint64_t size() const { return objects.size(); }

    void clear() {
        objects.clear();
        tag_index.clear();
    }

    // ---- tag editing ----------------------------------------------------

    void add_tags(const Key &key, const TagSet &tags) {
        if (tags.empty()) return;  // creates nothing, changes nothing
        auto [it, inserted] = objects.try_emplace(key);
        TagSet work;
        try {
            work = it->second.tags;
            work.insert(tags.begin(), tags.end());
        } catch (...) {
            if (inserted) objects.erase(it);
            throw;
        }
        put_at(it, std::move(work));
    }

    void add_tag(const Key &key, const Tag &tag) { add_tags(key, TagSet{tag}); }

    void remove_tag(const Key &key, const Tag &tag) {
        auto it = existing(key);
        if (it->second.tags.count(tag) == 0) {
            throw pybind11::key_error("tag not found: " + readable(tag));
        }
        put_at(it, without(it->second.tags, tag));
    }

    void discard_tag(const Key &key, const Tag &tag) {
        auto it = objects.find(key);
        if (it == objects.end() || it->second.tags.count(tag) == 0) return;
        put_at(it, without(it->second.tags, tag));
    }

    bool has_tag(const Key &key, const Tag &tag) const {
        auto it = objects.find(key);
        return it != objects.end() && it->second.tags.count(tag) != 0;
    }

    std::vector<Tag> all_tags() const {
        std::vector<Tag> out;
        out.reserve(tag_index.size());
        for (const auto &bucket : tag_index) out.push_back(bucket.first);
        return out;
    }

    // ---- tag queries ----------------------------------------------------

    // The pointer sets of all requested tags and the smallest of them.
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
            if (g.smallest == nullptr || b->second.size() < g.smallest->size()) {
                g.smallest = &b->second;
            }
        }
        return g;
    }

    // Visits each entry carrying all gathered tags: walks the smallest set
    // and probes the others by address.
    template <class Visit>
    static void for_each_in(const Gathered &g, Visit &&visit) {
        for (EntryPtr p : *g.smallest) {
            bool everywhere = true;
            for (const MatchSet *s : g.sets) {
                if (s != g.smallest && s->count(p) == 0) {
                    everywhere = false;
                    break;
                }
            }
            if (everywhere) visit(p);
        }
    }

    template <class Visit>
    void for_each_match_all(const TagSet &tags, Visit &&visit) const {
        if (auto g = gather_all(tags)) for_each_in(*g, visit);
    }

    // Visits each entry carrying at least one tag, once: an entry is visited
    // from the first of its buckets, found by probing the buckets before it.
    template <class Visit>
    void for_each_match_any(const TagSet &tags, Visit &&visit) const {
        std::vector<const MatchSet *> seen;
        seen.reserve(tags.size());
        for (const Tag &t : tags) {
            auto b = tag_index.find(t);
            if (b == tag_index.end()) continue;
            for (EntryPtr p : b->second) {
                bool earlier = false;
                for (const MatchSet *s : seen) {
                    if (s->count(p) != 0) {
                        earlier = true;
                        break;
                    }
                }
                if (!earlier) visit(p);
            }
            seen.push_back(&b->second);
        }
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
        std::uint64_t n = 0;
        for_each_match_all(tags, [&](EntryPtr) { ++n; });
        return n;
    }

    std::uint64_t count_any(const TagSet &tags) const {
        if (tags.empty()) return size();
        std::uint64_t n = 0;
        for_each_match_any(tags, [&](EntryPtr) { ++n; });
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
            it = keep.count(&it->second.data) != 0 ? std::next(it) : erase_at(it);
        }
    }

    // ---- positional building blocks -------------------------------------

    // The entry of a key that must exist.
    iterator existing(const Key &key) {
        auto it = objects.find(key);
        if (it == objects.end()) throw_missing_key(key);
        return it;
    }
    const_iterator existing(const Key &key) const {
        auto it = objects.find(key);
        if (it == objects.end()) throw_missing_key(key);
        return it;
    }

    // Makes the entry at `it` carry exactly `tags`, touching only the buckets
    // of tags that change. An entry just emplaced has no tags yet and gets its
    // data here; empty `tags` remove the entry. On failure an entry that was
    // just emplaced is gone again and an existing one is as it was.
    void put_at(iterator it, TagSet &&tags) {
        Record &e = it->second;
        if (tags.empty()) {
            erase_at(it);
            return;
        }
        const bool fresh = e.tags.empty();
        const EntryPtr p = &e.data;
        try {
            if (fresh) e.data = it->first;
            for (const Tag &t : tags) {
                if (e.tags.count(t) == 0) tag_index[t].insert(p);
            }
        } catch (...) {
            for (const Tag &t : tags) {
                if (e.tags.count(t) == 0) unlink(p, t);
            }
            if (fresh) objects.erase(it);
            throw;
        }
        for (const Tag &t : e.tags) {
            if (tags.count(t) == 0) unlink(p, t);
        }
        e.tags = std::move(tags);
    }

    // Unlinks the entry at `it` from the index and erases it by position;
    // returns the next entry in visiting order.
    iterator erase_at(iterator it) {
        unlink_entry(it->second);
        return objects.erase(it);
    }

    // As erase_at, handing back the removed record.
    Record take_at(iterator it) {
        unlink_entry(it->second);
        Record out = std::move(it->second);
        objects.erase(it);
        return out;
    }

private:
    void unlink_entry(const Record &e) {
        for (const Tag &t : e.tags) unlink(&e.data, t);
    }

    // Drops `p` from the bucket of `t`, and the bucket once it is empty.
    void unlink(EntryPtr p, const Tag &t) {
        auto b = tag_index.find(t);
        if (b == tag_index.end()) return;
        b->second.erase(p);
        if (b->second.empty()) tag_index.erase(b);
    }

    static TagSet without(const TagSet &tags, const Tag &tag) {
        TagSet work(tags);
        work.erase(tag);
        return work;
    }

    [[noreturn]] static void throw_missing_key(const Key &key) {
        throw pybind11::key_error("key not found: " + readable(key));
    }
};

}  // namespace corvane
