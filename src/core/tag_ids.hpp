#pragma once

// The tag ids of one entry, in 32 bytes of its own: most keys carry a few
// tags, so up to seven are held inline, sorted; up to list_max in a sorted
// array on the heap; beyond that in an open-addressing table, so that a key
// with very many tags still adds and finds one in constant time.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace corvane {

using Id = std::uint32_t;
inline constexpr Id no_id = UINT32_MAX;

// Ids in a table are placed by multiply-shift hashing with an odd multiplier
// chosen per process (seed_id_hash), so a caller who controls which tags a
// key carries cannot make their ids collide.
inline std::uint64_t id_hash_multiplier = 0x9E3779B97F4A7C15ull;

// Call once, before any store holds entries.
inline void seed_id_hash(std::uint64_t seed) noexcept { id_hash_multiplier = seed | 1; }

class TagIds {
public:
    static constexpr std::uint32_t inline_max = 7;
    static constexpr std::uint32_t list_max = 64;
    static constexpr std::uint32_t max_ids = std::uint32_t(1) << 30;

    TagIds() noexcept = default;
    TagIds(TagIds &&other) noexcept { take(other); }
    TagIds &operator=(TagIds &&other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    TagIds(const TagIds &) = delete;
    TagIds &operator=(const TagIds &) = delete;
    ~TagIds() { release(); }

    std::uint32_t size() const noexcept { return n_; }
    bool empty() const noexcept { return n_ == 0; }

    bool contains(Id id) const noexcept {
        switch (form_) {
            case local: return std::binary_search(slots_, slots_ + n_, id);
            case list: return std::binary_search(heap(), heap() + n_, id);
            default: return table_slot(id) != no_slot;
        }
    }

    template <class Visit>
    void for_each(Visit &&visit) const {
        if (form_ != table) {
            const Id *ids = form_ == local ? slots_ : heap();
            for (std::uint32_t i = 0; i < n_; ++i) visit(ids[i]);
            return;
        }
        const Id *t = heap();
        for (std::uint32_t i = 0, cap = capacity(); i < cap; ++i) {
            if (t[i] != no_id) visit(t[i]);
        }
    }

    // Makes room for `k` more ids. Throws std::bad_alloc with the ids unchanged.
    void reserve(std::uint32_t k) {
        const std::uint64_t need = std::uint64_t(n_) + k;
        if (need <= room()) return;
        if (need >= max_ids) throw std::bad_alloc();
        if (need <= list_max) {
            const auto cap = static_cast<std::uint32_t>(std::min<std::uint64_t>(list_max, need * 3 / 2));
            Id *grown = allocate(cap);
            std::memcpy(grown, ids(), std::size_t(n_) * sizeof(Id));
            replace(list, grown, cap);
        } else {
            move_to_table(table_capacity(static_cast<std::uint32_t>(need)));
        }
    }

    // Adds an id not held; there must be room.
    void insert(Id id) noexcept {
        if (form_ == table) {
            place(id);
        } else {
            Id *ids = form_ == local ? slots_ : heap();
            Id *at = std::lower_bound(ids, ids + n_, id);
            std::memmove(at + 1, at, std::size_t(ids + n_ - at) * sizeof(Id));
            *at = id;
        }
        ++n_;
    }

    // Takes out an id held. Never allocates.
    void erase(Id id) noexcept {
        if (form_ == table) {
            unplace(table_slot(id));
        } else {
            Id *ids = form_ == local ? slots_ : heap();
            Id *at = std::lower_bound(ids, ids + n_, id);
            std::memmove(at, at + 1, std::size_t(ids + n_ - at - 1) * sizeof(Id));
        }
        --n_;
    }

    // Replaces an id held by one not held. Never allocates.
    void rename(Id from, Id to) noexcept {
        erase(from);
        insert(to);
    }

    // Gives back room the ids no longer need, as far as memory allows.
    void shrink() noexcept {
        if (form_ == local) return;
        if (n_ <= inline_max) {
            Id held[inline_max];
            std::uint32_t i = 0;
            for_each([&](Id id) { held[i++] = id; });
            std::sort(held, held + n_);
            const std::uint32_t n = n_;
            release();
            std::memcpy(slots_, held, std::size_t(n) * sizeof(Id));
            n_ = n;
            return;
        }
        if (n_ <= list_max / 2 && (form_ == table || std::uint64_t(n_) * 4 <= capacity())) {
            Id *fewer = static_cast<Id *>(std::malloc(std::size_t(n_) * 2 * sizeof(Id)));
            if (fewer == nullptr) return;
            std::uint32_t i = 0;
            for_each([&](Id id) { fewer[i++] = id; });
            std::sort(fewer, fewer + n_);
            replace(list, fewer, n_ * 2);
        } else if (form_ == table && std::uint64_t(n_) * 16 < capacity()) {
            try {
                move_to_table(table_capacity(n_));
            } catch (const std::bad_alloc &) {
            }
        }
    }

private:
    enum Form : std::uint32_t { local, list, table };
    static constexpr std::uint32_t no_slot = UINT32_MAX;

    // Heap forms keep their capacity in slots_[0] and the buffer's address in
    // slots_[1..2] (copied bytewise: the record is only 4-aligned).
    Id *heap() const noexcept {
        Id *p;
        std::memcpy(&p, slots_ + 1, sizeof p);
        return p;
    }
    std::uint32_t capacity() const noexcept { return slots_[0]; }
    std::uint32_t room() const noexcept {
        return form_ == local ? inline_max : form_ == list ? capacity() : capacity() / 4 * 3;
    }
    const Id *ids() const noexcept { return form_ == local ? slots_ : heap(); }

    static Id *allocate(std::uint32_t n) {
        auto *p = static_cast<Id *>(std::malloc(std::size_t(n) * sizeof(Id)));
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }

    // Frees the buffer, leaving no ids inline.
    void release() noexcept {
        if (form_ != local) std::free(heap());
        form_ = local;
        n_ = 0;
    }

    // Holds the same ids (n_ of them) in `buffer`, a heap form of `cap`.
    void replace(Form form, Id *buffer, std::uint32_t cap) noexcept {
        if (form_ != local) std::free(heap());
        form_ = form;
        slots_[0] = cap;
        std::memcpy(slots_ + 1, &buffer, sizeof buffer);
    }

    void take(TagIds &other) noexcept {
        std::memcpy(slots_, other.slots_, sizeof slots_);
        n_ = other.n_;
        form_ = other.form_;
        other.form_ = local;
        other.n_ = 0;
    }

    // ---- the table form: linear probing at most three quarters full,
    // deletion by shifting later ids back (no tombstones) --------------------

    static std::uint32_t table_capacity(std::uint32_t n) noexcept {
        std::uint32_t cap = 128;
        while (std::uint64_t(n) * 4 > std::uint64_t(cap) * 3) cap *= 2;
        return cap;
    }
    std::uint32_t home(Id id) const noexcept {
        const int shift = 64 - std::countr_zero(capacity());
        return static_cast<std::uint32_t>((id * id_hash_multiplier) >> shift);
    }
    std::uint32_t next(std::uint32_t i) const noexcept { return (i + 1) & (capacity() - 1); }

    std::uint32_t table_slot(Id id) const noexcept {
        const Id *t = heap();
        for (std::uint32_t i = home(id);; i = next(i)) {
            if (t[i] == id) return i;
            if (t[i] == no_id) return no_slot;
        }
    }

    void place(Id id) noexcept {
        Id *t = heap();
        std::uint32_t i = home(id);
        while (t[i] != no_id) i = next(i);
        t[i] = id;
    }

    void unplace(std::uint32_t i) noexcept {
        Id *t = heap();
        for (std::uint32_t j = next(i);; j = next(j)) {
            const Id moved = t[j];
            if (moved == no_id) break;
            const std::uint32_t h = home(moved);
            // `moved` can fill the gap unless its home lies cyclically in (i, j].
            if (i <= j ? (h <= i || h > j) : (h <= i && h > j)) {
                t[i] = moved;
                i = j;
            }
        }
        t[i] = no_id;
    }

    // Rebuilds the ids as a table of `cap` slots. Throws std::bad_alloc with
    // the ids unchanged.
    void move_to_table(std::uint32_t cap) {
        Id *t = allocate(cap);
        std::fill_n(t, cap, no_id);
        TagIds grown;
        grown.replace(table, t, cap);
        for_each([&](Id id) { grown.place(id); });
        grown.n_ = n_;
        *this = std::move(grown);
    }

    std::uint32_t n_ : 30 = 0;
    Form form_ : 2 = local;
    Id slots_[inline_max] = {};
};

static_assert(sizeof(TagIds) == 32);

}  // namespace corvane
