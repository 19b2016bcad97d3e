#pragma once

// The entries carrying one tag, as sorted, chunked containers in the style
// of compressed bitmaps (Chambi, Lemire, Kaser, Godin 2016): entry ids are
// split into blocks of 2^16 by their high half (the block's key); a block
// holds the low halves (offsets) of its ids as a sorted array while it
// holds few, as a bitmap of 1024 words while it holds many, and is absent
// when it holds none.
//
// Invariants, true after every operation of the store:
//  1. Blocks are sorted by key, keys are distinct, and no block is empty.
//  2. An array block holds its offsets sorted and without repeats, in a
//     buffer with room for `capacity` of them, count <= capacity <=
//     array_limit; a bitmap block holds more than array_max. Between the
//     two either form may hold a block, so that a block near the limit does
//     not change form at every edit.
//  3. A block's count is the number of offsets it holds; size() is the sum
//     of the counts.
//  4. No block is pinned.
// Within an operation of the store, reserve() pins a block, creating it
// empty if need be, so that the inserts it made room for cannot fail and
// erasures do not drop it (reservations add up until settled); settle(id)
// then restores the invariants for the block of id, without allocating. Inserting and erasing
// never allocate either: all allocation happens in reserve(), before the
// operation changes anything.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "core/carriers/array.hpp"
#include "core/carriers/bitmap.hpp"
#include "core/carriers/memory.hpp"
#include "core/carriers/simd.hpp"

namespace corvane {

using Id = std::uint32_t;

namespace carriers {

// A build makes a block of up to array_max offsets an array, and a bitmap
// above (where it takes 8 KiB against 1 KiB: bitmaps pay for themselves in
// the speed of intersections from about this many). An array grows to
// array_limit before it becomes a bitmap, and a bitmap that falls to
// array_max becomes an array again: so a block holds at most what a build
// of its offsets gives it (an array's spare room aside), however it came to
// hold them, and a switch of form, one pass over 8 KiB, comes at most once
// in array_limit - array_max edits of the block.
inline constexpr std::uint32_t array_max = 512;
inline constexpr std::uint32_t array_limit = 640;

// An array's room for n offsets: 4 more than a multiple of 8, which fills
// the allocator's chunk (sizes step by 16 bytes, less 8 of its own), at
// least array_room_min (the smallest chunk holds that many anyway), and
// never above array_limit.
inline constexpr std::uint32_t array_room(std::uint32_t n) noexcept {
    return std::min(array_limit, std::max(array_room_min, (n + 3) / 8 * 8 + 4));
}

inline constexpr std::uint32_t key_of(Id id) noexcept { return id >> 16; }
inline constexpr Offset offset_of(Id id) noexcept { return static_cast<Offset>(id & 0xFFFF); }

struct Block {
    std::uint16_t key;
    bool bitmap;
    bool pinned;
    std::uint32_t count;
    std::uint32_t capacity;  // an array's room, in offsets
    std::uint32_t reserved;  // room promised to inserts since pinned
    void *data;              // Offset[capacity] or Word[bitmap::words]

    Id base() const noexcept { return Id(key) << 16; }
    const Offset *offsets() const noexcept { return static_cast<const Offset *>(data); }
    Offset *offsets() noexcept { return static_cast<Offset *>(data); }
    const Word *words() const noexcept { return static_cast<const Word *>(data); }
    Word *words() noexcept { return static_cast<Word *>(data); }

    // Calls visit(id) for each id held, in order.
    template <class Visit>
    void for_each(Visit &&visit) const {
        const Id b = base();
        if (bitmap) {
            bitmap::for_each(words(), [&](Offset x) { visit(b + x); });
        } else {
            for (std::uint32_t i = 0; i < count; ++i) visit(b + offsets()[i]);
        }
    }
};

class Carriers {
public:
    Carriers() noexcept = default;
    Carriers(Carriers &&other) noexcept
        : blocks_(std::exchange(other.blocks_, nullptr)),
          n_(std::exchange(other.n_, 0)),
          cap_(std::exchange(other.cap_, 0)),
          size_(std::exchange(other.size_, 0)) {}
    Carriers &operator=(Carriers &&other) noexcept {
        Carriers(std::move(other)).swap(*this);
        return *this;
    }
    Carriers(const Carriers &) = delete;
    Carriers &operator=(const Carriers &) = delete;
    ~Carriers() {
        for (std::uint32_t i = 0; i < n_; ++i) CORVANE_CARRIERS_FREE(blocks_[i].data);
        CORVANE_CARRIERS_FREE(blocks_);
    }

    void swap(Carriers &other) noexcept {
        std::swap(blocks_, other.blocks_);
        std::swap(n_, other.n_);
        std::swap(cap_, other.cap_);
        std::swap(size_, other.size_);
    }

    std::uint32_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::span<const Block> blocks() const noexcept { return {blocks_, n_}; }

    // The block of key `key`, or null.
    const Block *block(std::uint32_t key) const noexcept {
        const std::uint32_t i = position(key);
        return i < n_ && blocks_[i].key == key ? &blocks_[i] : nullptr;
    }

    bool contains(Id id) const noexcept {
        const Block *b = block(key_of(id));
        if (b == nullptr) return false;
        return b->bitmap ? bitmap::test(b->words(), offset_of(id))
                         : array::contains(b->offsets(), b->count, offset_of(id));
    }

    // Makes room for `n` more ids in the block of `id` and pins it. Throws
    // std::bad_alloc with the ids held unchanged.
    void reserve(Id id, std::uint32_t n = 1) {
        const std::uint32_t key = key_of(id), i = position(key);
        if (i < n_ && blocks_[i].key == key) {
            make_room(blocks_[i], n);
            blocks_[i].pinned = true;
            blocks_[i].reserved += n;
            return;
        }
        if (n_ == cap_) resize_blocks(std::max<std::uint32_t>(1, cap_ * 2));
        Block fresh{static_cast<std::uint16_t>(key), n > array_max, true, 0, 0, n, nullptr};
        if (fresh.bitmap) {
            fresh.data = bitmap::allocate();
        } else {
            fresh.capacity = array_room(n);
            fresh.data = array::allocate(fresh.capacity);
        }
        if (fresh.data == nullptr) throw std::bad_alloc();
        std::memmove(blocks_ + i + 1, blocks_ + i, std::size_t(n_ - i) * sizeof(Block));
        blocks_[i] = fresh;
        ++n_;
    }

    // Pins what rename(from, to) needs: room for `to` unless it stays in
    // the block of `from`.
    void reserve_rename(Id from, Id to) {
        if (key_of(from) != key_of(to)) {
            reserve(to);
        } else {
            blocks_[position(key_of(to))].pinned = true;
        }
    }

    // Adds an id not held, in a block with room.
    void insert(Id id) noexcept {
        Block &b = blocks_[position(key_of(id))];
        if (b.reserved != 0) --b.reserved;
        if (b.bitmap) {
            bitmap::set(b.words(), offset_of(id));
        } else {
            array::insert(b.offsets(), b.count, offset_of(id));
        }
        ++b.count;
        ++size_;
    }

    // Takes out an id held. A block left empty goes, one left small enough
    // becomes an array, unless pinned.
    void erase(Id id) noexcept {
        const std::uint32_t i = position(key_of(id));
        Block &b = blocks_[i];
        if (b.bitmap) {
            bitmap::clear(b.words(), offset_of(id));
        } else {
            array::erase(b.offsets(), b.count, offset_of(id));
        }
        --b.count;
        --size_;
        if (!b.pinned) normalise(i);
    }

    // Renames a held id to one not held (an entry moved to another id),
    // after reserve_rename(from, to).
    void rename(Id from, Id to) noexcept {
        erase(from);
        insert(to);
    }

    // Unpins the block of `id` (after the reservation for it was used), and
    // gives it the form its count calls for. Never allocates.
    void settle(Id id) noexcept {
        const std::uint32_t i = position(key_of(id));
        if (i < n_ && blocks_[i].key == key_of(id) && blocks_[i].pinned) {
            blocks_[i].pinned = false;
            blocks_[i].reserved = 0;
            normalise(i);
        }
    }

    // Calls visit(id) for each id held, in order.
    template <class Visit>
    void for_each(Visit &&visit) const {
        for (const Block &b : blocks()) b.for_each(visit);
    }

    // Gives each block the form and room a build of what it holds would (an
    // array up to array_max, in the least room, a bitmap above), and the
    // block table the room it uses, as far as memory allows. For after a
    // build, and once a store has shrunk a lot.
    void fit() noexcept {
        for (std::uint32_t i = 0; i < n_; ++i) {
            Block &b = blocks_[i];
            if (b.pinned) continue;
            if (b.bitmap && b.count <= array_max) {
                bitmap_to_array(b);
            } else if (!b.bitmap && b.count > array_max) {
                array_to_bitmap(b);
            } else if (!b.bitmap && b.capacity > array_room(b.count)) {
                refit(b, array_room(b.count));
            }
        }
        if (n_ != 0 && cap_ > n_) shrink_blocks(n_);
    }

private:
    // The position of the first block whose key is not below `key`.
    std::uint32_t position(std::uint32_t key) const noexcept {
        if (n_ != 0 && blocks_[n_ - 1].key <= key) return blocks_[n_ - 1].key == key ? n_ - 1 : n_;
        std::uint32_t lo = 0, hi = n_;
        while (lo < hi) {
            const std::uint32_t mid = (lo + hi) / 2;
            if (blocks_[mid].key < key) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    }

    void resize_blocks(std::uint32_t cap) {
        auto *grown = static_cast<Block *>(CORVANE_CARRIERS_MALLOC(std::size_t(cap) * sizeof(Block)));
        if (grown == nullptr) throw std::bad_alloc();
        if (n_ != 0) std::memcpy(grown, blocks_, std::size_t(n_) * sizeof(Block));
        CORVANE_CARRIERS_FREE(blocks_);
        blocks_ = grown;
        cap_ = cap;
    }

    // Room for n more offsets in b, besides those already promised: a
    // larger array, or a bitmap.
    static void make_room(Block &b, std::uint32_t n) {
        const std::uint32_t need = b.count + b.reserved + n;
        if (b.bitmap || need <= b.capacity) return;
        if (need > array_limit) {
            array_to_bitmap(b);
            if (!b.bitmap) throw std::bad_alloc();
            return;
        }
        const std::uint32_t cap = array_room(std::max(need, b.capacity + b.capacity / 2));
        Offset *grown = array::allocate(cap);
        if (grown == nullptr) throw std::bad_alloc();
        std::memcpy(grown, b.offsets(), std::size_t(b.count) * sizeof(Offset));
        CORVANE_CARRIERS_FREE(b.data);
        b.data = grown;
        b.capacity = cap;
    }

    // Drops block i if empty, turns it into an array if a bitmap holds few
    // enough, and gives back room an array no longer needs: as far as memory
    // allows, without failing.
    void normalise(std::uint32_t i) noexcept {
        Block &b = blocks_[i];
        if (b.count == 0) {
            CORVANE_CARRIERS_FREE(b.data);
            std::memmove(blocks_ + i, blocks_ + i + 1, std::size_t(n_ - i - 1) * sizeof(Block));
            if (--n_ == 0) {
                CORVANE_CARRIERS_FREE(std::exchange(blocks_, nullptr));
                cap_ = 0;
            } else if (cap_ > 4 && n_ * 4 <= cap_) {
                shrink_blocks(n_ * 2);
            }
            return;
        }
        if (b.bitmap && b.count <= array_max) {
            to_array(b);
        } else if (!b.bitmap && b.capacity >= 32 && b.count * 4 <= b.capacity) {
            refit(b, array_room(b.count * 2));
        }
    }

    // Moves an array into a buffer of `cap` offsets, if memory allows.
    static void refit(Block &b, std::uint32_t cap) noexcept {
        if (Offset *moved = array::allocate(cap)) {
            std::memcpy(moved, b.offsets(), std::size_t(b.count) * sizeof(Offset));
            CORVANE_CARRIERS_FREE(b.data);
            b.data = moved;
            b.capacity = cap;
        }
    }

    // A bitmap of at most array_max offsets as an array: in a buffer of its
    // own size, or else in the bitmap's own buffer, which holds far more
    // than array_limit offsets but is given room for array_limit only, so
    // that the block turns into a bitmap again as any array would.
    static void to_array(Block &b) noexcept {
        Offset held[array_max];
        bitmap::to_array(b.words(), held);
        const std::uint32_t cap = array_room(b.count * 2);
        Offset *a = array::allocate(cap);
        if (a != nullptr) {
            CORVANE_CARRIERS_FREE(b.data);
            b.data = a;
            b.capacity = cap;
        } else {
            static_assert(array_limit * sizeof(Offset) <= bitmap::bytes);
            a = static_cast<Offset *>(b.data);
            b.capacity = array_limit;
        }
        std::memcpy(a, held, std::size_t(b.count) * sizeof(Offset));
        b.bitmap = false;
    }

    // A bitmap as an array in the least room, if memory allows.
    static void bitmap_to_array(Block &b) noexcept {
        const std::uint32_t cap = array_room(b.count);
        Offset *a = array::allocate(cap);
        if (a == nullptr) return;
        bitmap::to_array(b.words(), a);
        CORVANE_CARRIERS_FREE(b.data);
        b.data = a;
        b.capacity = cap;
        b.bitmap = false;
    }

    // An array as a bitmap, if memory allows.
    static void array_to_bitmap(Block &b) noexcept {
        Word *w = bitmap::allocate();
        if (w == nullptr) return;
        for (std::uint32_t k = 0; k < b.count; ++k) bitmap::set(w, b.offsets()[k]);
        CORVANE_CARRIERS_FREE(b.data);
        b.data = w;
        b.bitmap = true;
        b.capacity = 0;
    }

    // Moves the block table into one of `cap` (at least n_) blocks, if memory allows.
    void shrink_blocks(std::uint32_t cap) noexcept {
        auto *smaller = static_cast<Block *>(CORVANE_CARRIERS_MALLOC(std::size_t(cap) * sizeof(Block)));
        if (smaller == nullptr) return;
        std::memcpy(smaller, blocks_, std::size_t(n_) * sizeof(Block));
        CORVANE_CARRIERS_FREE(blocks_);
        blocks_ = smaller;
        cap_ = cap;
    }

    Block *blocks_ = nullptr;
    std::uint32_t n_ = 0;
    std::uint32_t cap_ = 0;
    std::uint32_t size_ = 0;
};

}  // namespace carriers

using carriers::Carriers;

}  // namespace corvane
