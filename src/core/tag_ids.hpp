#pragma once

// The tag ids of one entry, in 16 bytes of its own: most keys carry a few
// tags, and most stores have fewer than 65,536 of them, so up to seven ids
// below 2^16 are held inline as 16-bit numbers (narrow), or up to three of
// any size as 32-bit ones (wide), sorted; more in a sorted array on the heap
// (up to list_max), and beyond that in an open-addressing table, so that a
// key with very many tags still adds and finds one in constant time.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
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
    static constexpr std::uint32_t narrow_max = 7;  // ids below narrow_limit
    static constexpr std::uint32_t narrow_limit = 1u << 16;
    static constexpr std::uint32_t wide_max = 3;
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

    std::uint32_t size() const noexcept { return on_heap() ? load32(count_at) : h_[0] >> 2; }
    bool empty() const noexcept { return size() == 0; }

    bool contains(Id id) const noexcept {
        switch (form()) {
            case narrow: {
                const std::uint32_t n = size();
                for (std::uint32_t i = 0; i < n; ++i) {
                    if (h_[1 + i] == id) return true;
                }
                return false;
            }
            case wide: {
                const std::uint32_t n = size();
                for (std::uint32_t i = 0; i < n; ++i) {
                    if (wide_id(i) == id) return true;
                }
                return false;
            }
            case list: return std::binary_search(heap(), heap() + size(), id);
            default: return table_slot(id) != no_slot;
        }
    }

    template <class Visit>
    void for_each(Visit &&visit) const {
        const std::uint32_t n = size();
        switch (form()) {
            case narrow:
                for (std::uint32_t i = 0; i < n; ++i) visit(Id(h_[1 + i]));
                return;
            case wide:
                for (std::uint32_t i = 0; i < n; ++i) visit(wide_id(i));
                return;
            case list:
                for (std::uint32_t i = 0; i < n; ++i) visit(heap()[i]);
                return;
            default: {
                const Id *t = heap();
                for (std::uint32_t i = 0, cap = capacity(); i < cap; ++i) {
                    if (t[i] != no_id) visit(t[i]);
                }
            }
        }
    }

    // Makes room for the ids `adding` (not held, distinct). Throws
    // std::bad_alloc with the ids unchanged.
    void reserve(std::span<const Id> adding) {
        const std::uint64_t need = std::uint64_t(size()) + adding.size();
        if (need >= max_ids) throw std::bad_alloc();
        const Form form_now = form();
        if (form_now == table ? need <= capacity() / 4 * 3 : form_now == list && need <= capacity()) return;
        const bool small = std::all_of(adding.begin(), adding.end(), [](Id id) { return id < narrow_limit; });
        if (form_now == narrow && small && need <= narrow_max) return;
        if (form_now == wide && need <= wide_max) return;
        if (need <= narrow_max && small && all_narrow()) return become_narrow();
        if (need <= wide_max) return become_wide();
        if (need <= list_max) {
            const auto cap = static_cast<std::uint32_t>(std::min<std::uint64_t>(list_max, need * 3 / 2));
            Id *grown = allocate(cap);
            std::uint32_t i = 0;
            for_each([&](Id id) { grown[i++] = id; });
            std::sort(grown, grown + i);
            replace(list, grown, i, cap);
        } else {
            move_to_table(table_capacity(static_cast<std::uint32_t>(need)));
        }
    }

    // Adds an id not held, which reserve() made room for.
    void insert(Id id) noexcept {
        const std::uint32_t n = size();
        switch (form()) {
            case narrow: {
                std::uint32_t i = n;
                for (; i > 0 && h_[i] > id; --i) h_[i + 1] = h_[i];
                h_[i + 1] = static_cast<std::uint16_t>(id);
                set_inline_size(n + 1);
                return;
            }
            case wide: {
                std::uint32_t i = n;
                for (; i > 0 && wide_id(i - 1) > id; --i) set_wide_id(i, wide_id(i - 1));
                set_wide_id(i, id);
                set_inline_size(n + 1);
                return;
            }
            case list: {
                Id *ids = heap();
                Id *at = std::lower_bound(ids, ids + n, id);
                std::memmove(at + 1, at, std::size_t(ids + n - at) * sizeof(Id));
                *at = id;
                break;
            }
            default: place(id);
        }
        store32(count_at, n + 1);
    }

    // Takes out an id held. Never allocates.
    void erase(Id id) noexcept {
        const std::uint32_t n = size();
        switch (form()) {
            case narrow: {
                std::uint32_t i = 0;
                while (h_[1 + i] != id) ++i;
                for (; i + 1 < n; ++i) h_[1 + i] = h_[2 + i];
                set_inline_size(n - 1);
                return;
            }
            case wide: {
                std::uint32_t i = 0;
                while (wide_id(i) != id) ++i;
                for (; i + 1 < n; ++i) set_wide_id(i, wide_id(i + 1));
                set_inline_size(n - 1);
                return;
            }
            case list: {
                Id *ids = heap();
                Id *at = std::lower_bound(ids, ids + n, id);
                std::memmove(at, at + 1, std::size_t(ids + n - at - 1) * sizeof(Id));
                break;
            }
            default: unplace(table_slot(id));
        }
        store32(count_at, n - 1);
    }

    // Replaces an id held by a lower one not held (buckets are only ever
    // renumbered downwards), in the same form. Never allocates.
    void rename(Id from, Id to) noexcept {
        erase(from);
        insert(to);
    }

    // Gives back room the ids no longer need, taking the smallest form that
    // holds them, as far as memory allows.
    void shrink() noexcept {
        const std::uint32_t n = size();
        if (!on_heap()) {
            if (form() == wide && all_narrow()) become_narrow();
            return;
        }
        if (n <= narrow_max && all_narrow()) return become_narrow();
        if (n <= wide_max) return become_wide();
        if (n <= list_max / 2 && (form() == table || std::uint64_t(n) * 4 <= capacity())) {
            Id *fewer = static_cast<Id *>(std::malloc(std::size_t(n) * 2 * sizeof(Id)));
            if (fewer == nullptr) return;
            std::uint32_t i = 0;
            for_each([&](Id id) { fewer[i++] = id; });
            std::sort(fewer, fewer + n);
            replace(list, fewer, n, n * 2);
        } else if (form() == table && std::uint64_t(n) * 16 < capacity()) {
            try {
                move_to_table(table_capacity(n));
            } catch (const std::bad_alloc &) {
            }
        }
    }

private:
    enum Form : std::uint16_t { narrow, wide, list, table };
    static constexpr std::uint32_t no_slot = UINT32_MAX;
    // The heap forms keep the count at byte 4 and the buffer's address at
    // byte 8, and in h_[1] a list's capacity or a table's log2 capacity;
    // the wide form its ids from byte 4 (read bytewise: the record is only
    // 2-aligned within an entry's 4-aligned place).
    static constexpr std::size_t count_at = 4, buffer_at = 8, wide_at = 4;

    Form form() const noexcept { return static_cast<Form>(h_[0] & 3); }
    bool on_heap() const noexcept { return form() >= list; }
    void set_inline_size(std::uint32_t n) noexcept { h_[0] = static_cast<std::uint16_t>(n << 2 | form()); }

    std::uint32_t load32(std::size_t at) const noexcept {
        std::uint32_t v;
        std::memcpy(&v, reinterpret_cast<const unsigned char *>(h_) + at, sizeof v);
        return v;
    }
    void store32(std::size_t at, std::uint32_t v) noexcept {
        std::memcpy(reinterpret_cast<unsigned char *>(h_) + at, &v, sizeof v);
    }
    Id wide_id(std::uint32_t i) const noexcept { return load32(wide_at + 4 * i); }
    void set_wide_id(std::uint32_t i, Id id) noexcept { store32(wide_at + 4 * i, id); }

    Id *heap() const noexcept {
        Id *p;
        std::memcpy(&p, reinterpret_cast<const unsigned char *>(h_) + buffer_at, sizeof p);
        return p;
    }
    std::uint32_t capacity() const noexcept { return form() == table ? std::uint32_t(1) << h_[1] : h_[1]; }

    bool all_narrow() const noexcept {
        bool small = true;
        for_each([&](Id id) { small = small && id < narrow_limit; });
        return small;
    }

    static Id *allocate(std::uint32_t n) {
        auto *p = static_cast<Id *>(std::malloc(std::size_t(n) * sizeof(Id)));
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }

    // Frees the buffer, leaving no ids inline.
    void release() noexcept {
        if (on_heap()) std::free(heap());
        h_[0] = narrow;
    }

    // The ids held (at most narrow_max), sorted, into `out`; returns how many.
    std::uint32_t sorted_ids(Id (&out)[narrow_max]) const noexcept {
        std::uint32_t n = 0;
        for_each([&](Id id) {  // insertion: a table's ids come unsorted
            std::uint32_t i = n++;
            for (; i > 0 && out[i - 1] > id; --i) out[i] = out[i - 1];
            out[i] = id;
        });
        return n;
    }

    // The same ids inline, in the narrow or the wide form (they fit).
    void become_narrow() noexcept {
        Id held[narrow_max];
        const std::uint32_t n = sorted_ids(held);
        release();
        for (std::uint32_t i = 0; i < n; ++i) h_[1 + i] = static_cast<std::uint16_t>(held[i]);
        h_[0] = static_cast<std::uint16_t>(n << 2 | narrow);
    }
    void become_wide() noexcept {
        Id held[narrow_max];
        const std::uint32_t n = sorted_ids(held);
        release();
        h_[0] = static_cast<std::uint16_t>(n << 2 | wide);
        for (std::uint32_t i = 0; i < n; ++i) set_wide_id(i, held[i]);
    }

    // Holds `n` ids in `buffer`, a heap form of capacity `cap` (a power of
    // two for a table).
    void replace(Form form, Id *buffer, std::uint32_t n, std::uint32_t cap) noexcept {
        release();
        h_[0] = form;
        h_[1] = static_cast<std::uint16_t>(form == table ? std::countr_zero(cap) : cap);
        store32(count_at, n);
        std::memcpy(reinterpret_cast<unsigned char *>(h_) + buffer_at, &buffer, sizeof buffer);
    }

    void take(TagIds &other) noexcept {
        std::memcpy(h_, other.h_, sizeof h_);
        other.h_[0] = narrow;
    }

    // ---- the table form: linear probing at most three quarters full,
    // deletion by shifting later ids back (no tombstones) --------------------

    static std::uint32_t table_capacity(std::uint32_t n) noexcept {
        std::uint32_t cap = 128;
        while (std::uint64_t(n) * 4 > std::uint64_t(cap) * 3) cap *= 2;
        return cap;
    }
    std::uint32_t home(Id id) const noexcept {
        const int shift = 64 - h_[1];
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
        grown.replace(table, t, size(), cap);
        for_each([&](Id id) { grown.place(id); });
        *this = std::move(grown);
    }

    // h_[0]: the form (2 bits) and, inline, the count; narrow ids in h_[1..7].
    std::uint16_t h_[8] = {};
};

static_assert(sizeof(TagIds) == 16);

}  // namespace corvane
