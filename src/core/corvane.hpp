#pragma once

// A map from keys to non-empty tag sets, with an inverted index from each tag
// to the entries that carry it.
//
// Layout. `objects.entries` holds the entries densely: an entry's id is its
// position, and erasing entries moves the last ones into the freed places.
// `tag_index.buckets` holds one bucket per tag, addressed by tag id; free
// buckets are reused lowest first, free ones at the end are given back, and
// once at most half the table is live, the live buckets are renumbered into
// the lowest places (as erasures renumber entries). Each side has a
// TextIndex from text to id. An entry names its tags by bucket id (TagIds,
// inline for a few: core/tag_ids.hpp), a bucket its carriers by entry id, in
// sorted, chunked containers (core/carriers/carriers.hpp, with their own
// invariants).
//
// Invariants, true after every public operation and after every failure:
//  1. Every entry has a non-empty tag set, whose ids name live buckets.
//  2. Entry e is among the carriers of bucket b exactly while b is in e's tags.
//  3. A bucket is live (holds a tag) exactly while its carriers are not
//     empty: a tag has a bucket exactly while some entry carries it.
//  4. Keys are distinct, and so are the tags of live buckets; each index
//     holds exactly one (hash, id) pair per entry or live bucket, the hash
//     being the one its text was stored with (for a key, its handle's hash()).
//  5. Every listing walks entries in id order, which stays the same while
//     the store is not modified.
//  6. A bucket's memo, if it has one, was set after the last change of the
//     bucket's carriers; `memo_weight` is the sum of the memos' weights.
//  7. The last bucket is live; every free bucket before it is in
//     `tag_index.free`, a min-heap (which may also hold ids past the end,
//     skipped when met) with room for every live bucket to be freed. More
//     than half the buckets are live, or there are at most 16.
// Operations either complete or throw with the store as it was: each makes
// all its allocations (room in containers, new carrier blocks) before its
// first change. The tables shrink again as the store does, amortised.
//
// Memos. Each bucket can hold a `Memo` that its user derives from the
// bucket's carriers (a prepared result, say); the store drops it whenever
// an entry joins or leaves the carriers, so a memo never outlives what it was
// made from. An entry moved to a new id stays a carrier: its memo stays. A
// bucket renumbered loses its memo. A memo has a weight() (its size, say),
// constant while held, and the store keeps their sum, for budgets.
//
// Texts. `Key` and `Tag` are handles supplied by the user of the store: a
// default-constructed one holds no text (and converts to false); copying and
// moving never throw; view() gives the bytes, identity() a pointer that is
// equal for two handles only if their texts are. Every text arrives as an
// Arg together with its hash, which must be keyed per process: the store
// never hashes text itself: a key's handle gives that hash again as hash().

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/carriers/carriers.hpp"
#include "core/carriers/ops.hpp"
#include "core/tag_ids.hpp"
#include "core/readable.hpp"
#include "core/text_index.hpp"

namespace corvane {

// A key or tag as operations receive it.
template <class Text>
struct Arg {
    Text text;
    std::uint64_t hash;
};

// A key or tag that an operation needs is absent; what() names it.
class NotFound : public std::exception {
public:
    NotFound(const char *prefix, std::string_view text) : message_(prefix + readable(text)) {}
    const char *what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

struct NoMemo {
    std::size_t weight() const noexcept { return 0; }
};

template <class Key, class Tag, class Memo = NoMemo>
struct Corvane {
    using KeyArg = Arg<Key>;
    using TagArg = Arg<Tag>;
    using TagArgs = std::span<const TagArg>;
    using Ids = std::span<const Id>;

    struct Entry {
        Key key;
        TagIds tags;  // bucket ids
    };
    struct Bucket {
        Tag tag;            // none while the bucket is free
        Carriers carriers;  // entry ids
        Memo memo{};
        std::uint32_t hash = 0;
    };
    struct TagIndex {
        std::vector<Bucket> buckets;
        std::vector<Id> free;  // a min-heap of free bucket ids (invariant 7)
        TextIndex index;
    };
    struct Objects {
        std::vector<Entry> entries;
        TextIndex index;
    };

    TagIndex tag_index;
    Objects objects;
    std::size_t memo_weight = 0;
    std::uint32_t memo_count = 0;  // memos of nonzero weight

    // ---- lookups ----------------------------------------------------------

    std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(objects.entries.size()); }
    const Entry &entry(Id id) const noexcept { return objects.entries[id]; }
    const Bucket &bucket(Id b) const noexcept { return tag_index.buckets[b]; }

    Id find(const KeyArg &key) const noexcept {
        return objects.index.find(hash32(key), [&](Id id) { return same_text(objects.entries[id].key, key.text); });
    }

    Id find_tag(const TagArg &tag) const noexcept {
        return tag_index.index.find(hash32(tag), [&](Id b) { return same_text(tag_index.buckets[b].tag, tag.text); });
    }

    // The entry of a key that must be present.
    Id existing(const KeyArg &key) const {
        const Id id = find(key);
        if (id == no_id) throw NotFound("key not found: ", key.text.view());
        return id;
    }

    bool has_tag(const KeyArg &key, const TagArg &tag) const noexcept {
        const Id id = find(key);
        if (id == no_id) return false;
        const Id b = find_tag(tag);
        return b != no_id && entry(id).tags.contains(b);
    }

    // A memo for a live bucket; dropped at the next change of its carriers.
    void set_memo(Id b, Memo memo) noexcept {
        Memo &held = tag_index.buckets[b].memo;
        const std::size_t was = held.weight(), is = memo.weight();
        memo_weight = memo_weight - was + is;
        memo_count = memo_count - (was != 0) + (is != 0);
        held = std::move(memo);
    }
    void drop_memo(Id b) noexcept { set_memo(b, Memo()); }

    // Visits every live bucket in bucket order.
    template <class Visit>
    void for_each_bucket(Visit &&visit) const {
        for (const Bucket &b : tag_index.buckets) {
            if (b.tag) visit(b);
        }
    }
    std::uint32_t tag_count() const noexcept { return tag_index.index.size(); }

    // How many (entry, tag) pairs the store holds: the sum of its carriers' sizes.
    std::uint64_t links() const noexcept { return links_; }

    // A floor of the store's own heap, in bytes: its tables, and two bytes for
    // each (entry, tag) pair, the least its carriers take.
    std::size_t heap_floor() const noexcept {
        return objects.entries.capacity() * sizeof(Entry) + objects.index.bytes() +
               tag_index.buckets.capacity() * sizeof(Bucket) + tag_index.index.bytes() +
               tag_index.free.capacity() * sizeof(Id) + links_ * 2;
    }

    // ---- edits ------------------------------------------------------------

    // Room for `n` entries in all, for a build of known size.
    void reserve(std::size_t n) {
        objects.index.reserve_exactly(n);
        objects.entries.reserve(n);
    }

    // Gives back the room a build reserved or grew beyond what it stored,
    // in every table and carrier, as far as memory allows.
    void fit() noexcept {
        if (objects.entries.empty()) return clear();
        objects.entries.shrink_to_fit();
        objects.index.fit();
        tag_index.index.shrink();  // few: lookups matter more than its room
        tag_index.buckets.shrink_to_fit();
        for (Bucket &b : tag_index.buckets) b.carriers.fit();
    }

    // Makes `key` carry exactly `tags` (repeats collapse); no tags erase it.
    void put(const KeyArg &key, TagArgs tags) {
        const Id id = find(key);
        if (tags.empty()) {
            if (id != no_id) erase(id);
            return;
        }
        with_buckets(tags, [&](Ids next) {
            if (id == no_id) return change(id, key, next, {});
            std::vector<Id> added, dropped;
            for (Id b : next) {
                if (!entry(id).tags.contains(b)) added.push_back(b);
            }
            entry(id).tags.for_each([&](Id b) {
                if (!std::binary_search(next.begin(), next.end(), b)) dropped.push_back(b);
            });
            change(id, key, added, dropped);
        });
    }

    // Adds tags to a key, creating it unless `tags` is empty.
    void add_tags(const KeyArg &key, TagArgs tags) {
        if (tags.empty()) return;
        const Id id = find(key);
        with_buckets(tags, [&](Ids next) {
            if (id == no_id) return change(id, key, next, {});
            std::vector<Id> added;
            for (Id b : next) {
                if (!entry(id).tags.contains(b)) added.push_back(b);
            }
            change(id, key, added, {});
        });
    }

    void add_tag(const KeyArg &key, const TagArg &tag) { add_tags(key, TagArgs(&tag, 1)); }

    void remove_tag(const KeyArg &key, const TagArg &tag) {
        const Id id = existing(key);
        const Id b = find_tag(tag);
        if (b == no_id || !entry(id).tags.contains(b)) throw NotFound("tag not found: ", tag.text.view());
        change(id, key, {}, Ids(&b, 1));
    }

    void discard_tag(const KeyArg &key, const TagArg &tag) {
        const Id id = find(key);
        if (id == no_id) return;
        const Id b = find_tag(tag);
        if (b != no_id && entry(id).tags.contains(b)) change(id, key, {}, Ids(&b, 1));
    }

    // Removes the entry at `id`, moving the last entry into its place.
    // Throws std::bad_alloc, with the store unchanged, when that move finds
    // no room.
    void erase(Id id) {
        prepare_erase(id);
        commit_erase(id);
    }

    // Erases the entries at `ids` (distinct), as one change: the kept
    // entries at or past the new end move into the places freed before it.
    void erase_all(std::vector<Id> ids) {
        if (ids.size() <= 1) {
            if (!ids.empty()) erase(ids[0]);
            return;
        }
        std::sort(ids.begin(), ids.end());
        const Id end = size() - static_cast<Id>(ids.size());
        const auto past = std::lower_bound(ids.begin(), ids.end(), end);
        std::vector<std::pair<Id, Id>> moves;  // (from, to)
        moves.reserve(static_cast<std::size_t>(past - ids.begin()));
        auto hole = ids.begin();
        auto gone = past;
        for (Id from = end; from < size(); ++from) {
            if (gone != ids.end() && *gone == from) {
                ++gone;
            } else {
                moves.emplace_back(from, *hole++);
            }
        }
        // Each move pins the block it renames into in each of the tags
        // involved; settling one that was never pinned changes nothing.
        const auto settle_moves = [&](bool moved) noexcept {
            for (const auto &move : moves) {
                const Id from = move.first, to = move.second;
                entry(moved ? to : from).tags.for_each([&](Id b) { carriers_of(b).settle(to); });
            }
        };
        try {
            for (const auto &move : moves) {
                const Id from = move.first, to = move.second;
                entry(from).tags.for_each([&](Id b) { carriers_of(b).reserve_rename(from, to); });
            }
        } catch (...) {
            settle_moves(false);
            throw;
        }
        // Highest ids first: each then sits at or near the end of its
        // carrier arrays, which shift little.
        for (auto id = ids.rbegin(); id != ids.rend(); ++id) unlink_entry(*id);
        for (auto move = moves.rbegin(); move != moves.rend(); ++move) move_entry(move->first, move->second);
        settle_moves(true);
        objects.entries.erase(objects.entries.begin() + end, objects.entries.end());
        shrink();
    }

    // Erases every entry not at one of `keep` (distinct).
    void retain(Ids keep) {
        std::vector<bool> kept(size());
        for (Id id : keep) kept[id] = true;
        std::vector<Id> doomed;
        doomed.reserve(size() - keep.size());
        for (Id id = 0; id < size(); ++id) {
            if (!kept[id]) doomed.push_back(id);
        }
        erase_all(std::move(doomed));
    }

    void clear() noexcept {
        objects = Objects();
        tag_index = TagIndex();
        memo_weight = 0;
        memo_count = 0;
        links_ = links_peak_ = 0;
    }

    // ---- queries ----------------------------------------------------------

    // Visits the entries carrying every tag of a non-empty `tags`.
    template <class Emit>
    void for_each_match_all(TagArgs tags, Emit &&emit) const {
        std::vector<const Carriers *> sets;
        if (gather(tags, sets, true)) carriers::intersect(sets, emit);
    }

    // Visits once each entry carrying at least one tag of `tags`.
    template <class Emit>
    void for_each_match_any(TagArgs tags, Emit &&emit) const {
        std::vector<const Carriers *> sets;
        if (gather(tags, sets, false)) carriers::unite(sets, emit);
    }

    std::vector<Id> match_all(TagArgs tags) const {
        std::vector<const Carriers *> sets;
        std::vector<Id> out;
        if (gather(tags, sets, true)) {
            out.reserve(sets.front()->size());
            carriers::intersect(sets, [&](Id id) { out.push_back(id); });
        }
        return out;
    }

    std::vector<Id> match_any(TagArgs tags) const {
        std::vector<const Carriers *> sets;
        return gather(tags, sets, false) ? union_of(sets) : std::vector<Id>();
    }

    // As match_any, for tags already resolved to distinct live buckets.
    std::vector<Id> match_any(Ids buckets) const {
        std::vector<const Carriers *> sets;
        sets.reserve(buckets.size());
        for (Id b : buckets) sets.push_back(&tag_index.buckets[b].carriers);
        return sets.empty() ? std::vector<Id>() : union_of(sets);
    }

    // Entries carrying every tag; all entries for an empty `tags`.
    std::uint64_t count_all(TagArgs tags) const {
        if (tags.empty()) return size();
        std::vector<const Carriers *> sets;
        return gather(tags, sets, true) ? carriers::intersect_count(sets) : 0;
    }

    // Entries carrying at least one tag; all entries for an empty `tags`.
    std::uint64_t count_any(TagArgs tags) const {
        if (tags.empty()) return size();
        std::vector<const Carriers *> sets;
        return gather(tags, sets, false) ? carriers::unite_count(sets) : 0;
    }

private:
    std::uint64_t links_ = 0;       // (entry, tag) pairs held
    std::uint64_t links_peak_ = 0;  // the most held since carriers were last fitted

    std::vector<Id> union_of(carriers::CarrierSets sets) const {
        std::uint64_t total = 0;
        for (const Carriers *s : sets) total += s->size();
        std::vector<Id> out;
        out.reserve(std::min<std::uint64_t>(total, size()));
        carriers::unite(sets, [&](Id id) { out.push_back(id); });
        return out;
    }

    template <class Text>
    static std::uint32_t hash32(const Arg<Text> &arg) noexcept {
        return static_cast<std::uint32_t>(arg.hash);
    }

    static std::uint32_t key_hash(const Entry &e) noexcept { return static_cast<std::uint32_t>(e.key.hash()); }

    template <class Text>
    static bool same_text(const Text &stored, const Text &probe) noexcept {
        return stored.identity() == probe.identity() || stored.view() == probe.view();
    }

    // The carrier sets of the tags in `tags` that have a bucket, without
    // repeats, smallest first. With `all`, fails as soon as a tag has none
    // (then no entry carries them all). False when there is nothing to visit.
    bool gather(TagArgs tags, std::vector<const Carriers *> &sets, bool all) const {
        sets.reserve(tags.size());
        for (const TagArg &t : tags) {
            const Id b = find_tag(t);
            if (b != no_id) {
                sets.push_back(&tag_index.buckets[b].carriers);
            } else if (all) {
                return false;
            }
        }
        std::sort(sets.begin(), sets.end(), [](const Carriers *a, const Carriers *b) {
            return a->size() != b->size() ? a->size() < b->size() : std::less<const Carriers *>()(a, b);
        });
        sets.erase(std::unique(sets.begin(), sets.end()), sets.end());
        return !sets.empty();
    }

    template <class V>
    static void grow_for_one(std::vector<V> &v) {
        if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(16, v.capacity() * 2));
    }

    // Runs `edit` with the bucket ids of `tags` (sorted, without repeats),
    // creating buckets for tags not yet in use. If `edit` throws, the buckets
    // it left without carriers are released again.
    template <class Edit>
    void with_buckets(TagArgs tags, Edit &&edit) {
        std::vector<Id> ids;
        try {
            ids.reserve(tags.size());
            for (const TagArg &t : tags) {
                const Id b = find_tag(t);
                ids.push_back(b != no_id ? b : create_bucket(t));
            }
            std::sort(ids.begin(), ids.end());
            ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
            edit(Ids(ids));
        } catch (...) {
            for (Id b : ids) {  // (releasing one can give back those after it)
                if (b < tag_index.buckets.size() && tag_index.buckets[b].tag && carriers_of(b).empty()) {
                    release_bucket(b);
                }
            }
            throw;
        }
    }

    Carriers &carriers_of(Id b) noexcept { return tag_index.buckets[b].carriers; }

    // A bucket for a tag not in use: the lowest free one, or a new one at
    // the end. Keeps room in the free heap for every live bucket to be
    // freed, so that releasing one never allocates.
    Id create_bucket(const TagArg &tag) {
        TagIndex &t = tag_index;
        std::vector<Id> &free = t.free;
        const auto lowest_first = std::greater<Id>();
        // Ids at or past the end were given back with the buckets after them.
        while (!free.empty() && free.front() >= t.buckets.size()) {
            std::pop_heap(free.begin(), free.end(), lowest_first);
            free.pop_back();
        }
        t.index.reserve(std::uint64_t(t.index.size()) + 1);
        if (free.empty()) grow_for_one(t.buckets);
        free.reserve(free.size() + t.index.size() + 1);
        Id b;
        if (!free.empty()) {
            std::pop_heap(free.begin(), free.end(), lowest_first);
            b = free.back();
            free.pop_back();
        } else {
            b = static_cast<Id>(t.buckets.size());
            t.buckets.emplace_back();
        }
        t.buckets[b].tag = tag.text;
        t.buckets[b].hash = static_cast<std::uint32_t>(tag.hash);
        t.index.insert(t.buckets[b].hash, b);
        return b;
    }

    // Frees bucket b; free buckets at the end are given back at once.
    void release_bucket(Id b) noexcept {
        TagIndex &t = tag_index;
        t.index.erase(t.buckets[b].hash, b);
        drop_memo(b);
        t.buckets[b] = Bucket();
        t.free.push_back(b);  // within the room create_bucket kept
        std::push_heap(t.free.begin(), t.free.end(), std::greater<Id>());
        while (!t.buckets.empty() && !t.buckets.back().tag) t.buckets.pop_back();
    }

    void unlink(Id b, Id id) noexcept {
        Carriers &c = carriers_of(b);
        c.erase(id);
        --links_;
        if (c.empty()) {
            release_bucket(b);
        } else {
            drop_memo(b);
        }
    }

    // Room for erasing the entry at `id`: the last entry moves into its
    // place. Throws std::bad_alloc having pinned nothing.
    void prepare_erase(Id id) {
        const Id last = size() - 1;
        if (id == last) return;
        const TagIds &tags = entry(last).tags;
        try {
            tags.for_each([&](Id b) { carriers_of(b).reserve_rename(last, id); });
        } catch (...) {
            tags.for_each([&](Id b) { carriers_of(b).settle(id); });
            throw;
        }
    }

    // Erases the entry at `id`, after prepare_erase(id).
    void commit_erase(Id id) noexcept {
        const Id last = size() - 1;
        unlink_entry(id);
        if (id != last) {
            move_entry(last, id);
            entry(id).tags.for_each([&](Id b) { carriers_of(b).settle(id); });
        }
        objects.entries.pop_back();
        shrink();
    }

    // Takes the entry at `id` out of its tags' carriers and out of the key index.
    void unlink_entry(Id id) noexcept {
        const Entry &gone = entry(id);
        gone.tags.for_each([&](Id b) { unlink(b, id); });
        objects.index.erase(key_hash(gone), id);
    }

    // Moves the entry at `from` to the place of one unlinked at `to`.
    void move_entry(Id from, Id to) noexcept {
        Entry &moved = objects.entries[from];
        moved.tags.for_each([&](Id b) { carriers_of(b).rename(from, to); });
        objects.index.rename(key_hash(moved), from, to);
        objects.entries[to] = std::move(moved);
    }

    // Gives back room the entries, buckets and indexes no longer need, as
    // far as memory allows (amortised: only once at most half of a vector
    // is in use, a quarter of an index, or half of the buckets are live).
    void shrink() noexcept {
        if (objects.entries.empty()) return clear();
        shrink_vector(objects.entries);
        objects.index.shrink();
        shrink_tag_table();
    }

    // As shrink(), for the tag side alone: after tags were dropped.
    void shrink_tag_table() noexcept {
        compact_buckets();
        shrink_free_heap();
        tag_index.index.shrink();
        shrink_vector(tag_index.buckets);
        fit_carriers_once_halved();
    }

    // Once the store holds at most half the (entry, tag) pairs it held at
    // its peak since the last time, gives every carrier the form and room a
    // fresh store would: a block that fell back within an array's size
    // becomes an array again, which an erasure alone does only far below it
    // (so that point edits at the limit do not switch forms back and forth).
    void fit_carriers_once_halved() noexcept {
        if (links_ * 2 > links_peak_ || links_peak_ < 1024) return;
        for (Bucket &b : tag_index.buckets) b.carriers.fit();
        links_peak_ = links_;
    }

    // A vector at most half full moves into room for a quarter more than it holds.
    template <class V>
    static void shrink_vector(std::vector<V> &v) noexcept {
        if (v.capacity() <= 16 || v.size() * 2 > v.capacity()) return;
        std::vector<V> fitted;
        try {
            fitted.reserve(v.size() + v.size() / 4);
        } catch (const std::bad_alloc &) {
            return;
        }
        std::move(v.begin(), v.end(), std::back_inserter(fitted));
        v.swap(fitted);
    }

    // Once at most half the buckets are live, moves every live bucket past
    // the first `live` places into a free one below, lowest first, renaming
    // it in its carriers' entries; then no bucket is free.
    void compact_buckets() noexcept {
        TagIndex &t = tag_index;
        const std::uint32_t live = t.index.size();
        if (t.buckets.size() <= 16 || std::uint64_t(live) * 2 > t.buckets.size()) return;
        Id hole = 0;
        for (auto from = static_cast<Id>(live); from < t.buckets.size(); ++from) {
            if (!t.buckets[from].tag) continue;
            while (t.buckets[hole].tag) ++hole;
            move_bucket(from, hole);
        }
        t.buckets.erase(t.buckets.begin() + live, t.buckets.end());
        // The free heap, emptied, keeps room for every live bucket to be freed.
        std::vector<Id> fresh;
        try {
            fresh.reserve(live);
            t.free.swap(fresh);
        } catch (const std::bad_alloc &) {
            t.free.clear();  // its room, from before, is enough
        }
    }

    // The free heap holds no more than a quarter of its room: kept to the
    // ids below the end, in room for every bucket (invariant 7).
    void shrink_free_heap() noexcept {
        std::vector<Id> &free = tag_index.free;
        const std::size_t n = tag_index.buckets.size();
        if (free.capacity() < 4 * (n + 16)) return;
        std::vector<Id> kept;
        try {
            kept.reserve(n);
        } catch (const std::bad_alloc &) {
            return;
        }
        for (Id b : free) {
            if (b < n) kept.push_back(b);
        }
        std::make_heap(kept.begin(), kept.end(), std::greater<Id>());
        free.swap(kept);
    }

    void move_bucket(Id from, Id to) noexcept {
        Bucket &moved = tag_index.buckets[from];
        drop_memo(from);
        moved.carriers.for_each([&](Id id) { objects.entries[id].tags.rename(from, to); });
        tag_index.index.rename(moved.hash, from, to);
        tag_index.buckets[to] = std::move(moved);
        tag_index.buckets[from] = Bucket();
    }

    // Links the entry `id` (for no_id, a new entry for `key`) to the buckets
    // in `added`, which it does not carry, and unlinks it from those in
    // `dropped`, which it does; an entry left without tags is erased. All
    // allocation happens before the first change.
    void change(Id id, const KeyArg &key, Ids added, Ids dropped) {
        const bool fresh = id == no_id;
        const Id target = fresh ? size() : id;
        const bool vanishes = !fresh && added.empty() && dropped.size() == entry(id).tags.size();
        TagIds fresh_tags;
        std::size_t pinned = 0;
        try {
            if (fresh) {
                objects.index.reserve(std::uint64_t(size()) + 1);
                grow_for_one(objects.entries);
                fresh_tags.reserve(added);
            } else {
                objects.entries[id].tags.reserve(added);
            }
            for (; pinned < added.size(); ++pinned) carriers_of(added[pinned]).reserve(target);
            if (vanishes) prepare_erase(id);
        } catch (...) {
            for (std::size_t i = 0; i < pinned; ++i) carriers_of(added[i]).settle(target);
            throw;
        }

        if (fresh) {
            objects.entries.push_back(Entry{key.text, std::move(fresh_tags)});
            objects.index.insert(hash32(key), target);
        }
        Entry &e = objects.entries[target];
        for (Id b : added) {
            e.tags.insert(b);
            carriers_of(b).insert(target);
            carriers_of(b).settle(target);
            drop_memo(b);
        }
        links_ += added.size();
        links_peak_ = std::max(links_peak_, links_);
        for (Id b : dropped) {
            e.tags.erase(b);
            unlink(b, target);
        }
        if (vanishes) {
            commit_erase(target);
        } else if (!dropped.empty()) {
            e.tags.shrink();
            shrink_tag_table();
        }
    }
};

}  // namespace corvane
