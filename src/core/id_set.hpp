#pragma once

// A set of dense integer ids in an open-addressing table.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace corvane {

using Id = std::uint32_t;
inline constexpr Id no_id = UINT32_MAX;

// Ids are placed by multiply-shift hashing with an odd multiplier chosen per
// process (seed_id_hash), so a caller who controls which entries carry a tag
// cannot make their ids collide.
inline std::uint64_t id_hash_multiplier = 0x9E3779B97F4A7C15ull;

// Call once, before any store holds entries.
inline void seed_id_hash(std::uint64_t seed) noexcept { id_hash_multiplier = seed | 1; }

// Linear probing with deletion by shifting later ids back, so no tombstones
// build up however many erasures happen. The capacity is zero or a power of
// two of at least 4, and the table is at most three quarters full.
class IdSet {
public:
    IdSet() noexcept = default;
    IdSet(IdSet &&other) noexcept
        : slots_(std::exchange(other.slots_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          shift_(std::exchange(other.shift_, 64)) {}
    IdSet &operator=(IdSet &&other) noexcept {
        IdSet(std::move(other)).swap(*this);
        return *this;
    }
    IdSet(const IdSet &) = delete;
    IdSet &operator=(const IdSet &) = delete;
    ~IdSet() { delete[] slots_; }

    void swap(IdSet &other) noexcept {
        std::swap(slots_, other.slots_);
        std::swap(size_, other.size_);
        std::swap(shift_, other.shift_);
    }

    std::uint32_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::uint32_t capacity() const noexcept { return slots_ == nullptr ? 0 : std::uint32_t(1) << (64 - shift_); }
    // Bytes of the table, for choosing between this and a bitset.
    std::size_t bytes() const noexcept { return std::size_t(capacity()) * sizeof(Id); }

    bool contains(Id id) const noexcept {
        if (slots_ == nullptr) return false;
        for (std::uint32_t i = home(id);; i = next(i)) {
            if (slots_[i] == id) return true;
            if (slots_[i] == no_id) return false;
        }
    }

    // Whether `n` more ids fit without growing.
    bool has_room(std::uint32_t n) const noexcept {
        return std::uint64_t(size_ + n) * 4 <= std::uint64_t(capacity()) * 3;
    }
    // The capacity that `n` more ids need (the current one when they fit).
    std::uint32_t capacity_for(std::uint32_t n) const noexcept {
        std::uint64_t need = std::uint64_t(size_) + n;
        std::uint64_t cap = std::max<std::uint64_t>(capacity(), 4);
        while (need * 4 > cap * 3) cap *= 2;
        return static_cast<std::uint32_t>(cap);
    }

    // Makes room for `n` more ids. Throws std::bad_alloc with the set unchanged.
    void reserve(std::uint32_t n) {
        if (!has_room(n)) rehash(capacity_for(n));
    }

    // Inserts an id; there must be room. Returns whether it was new.
    bool insert(Id id) noexcept {
        for (std::uint32_t i = home(id);; i = next(i)) {
            if (slots_[i] == id) return false;
            if (slots_[i] == no_id) {
                slots_[i] = id;
                ++size_;
                return true;
            }
        }
    }

    // Returns whether the id was present. Never reallocates.
    bool erase(Id id) noexcept {
        if (slots_ == nullptr) return false;
        std::uint32_t i = home(id);
        for (; slots_[i] != id; i = next(i)) {
            if (slots_[i] == no_id) return false;
        }
        // Close the gap: move back every later id of the run that may live at i.
        for (std::uint32_t j = next(i);; j = next(j)) {
            const Id moved = slots_[j];
            if (moved == no_id) break;
            const std::uint32_t h = home(moved);
            // `moved` can fill the gap unless its home lies cyclically in (i, j].
            if (i <= j ? (h <= i || h > j) : (h <= i && h > j)) {
                slots_[i] = moved;
                i = j;
            }
        }
        slots_[i] = no_id;
        --size_;
        return true;
    }

    // Gives memory back once the table is mostly empty; keeps it if that
    // allocation fails.
    void shrink() noexcept {
        if (size_ == 0) {
            IdSet().swap(*this);
            return;
        }
        if (std::uint64_t(size_) * 16 >= capacity() || capacity() <= 8) return;
        IdSet smaller;
        if (!smaller.allocate(capacity_for_size(size_))) return;
        for_each([&](Id id) { smaller.insert(id); });
        smaller.swap(*this);
    }

    template <class Visit>
    void for_each(Visit &&visit) const {
        const std::uint32_t cap = capacity();
        for (std::uint32_t i = 0; i < cap; ++i) {
            if (slots_[i] != no_id) visit(slots_[i]);
        }
    }

private:
    static std::uint32_t capacity_for_size(std::uint32_t n) noexcept {
        std::uint64_t cap = 4;
        while (std::uint64_t(n) * 4 > cap * 3) cap *= 2;
        return static_cast<std::uint32_t>(cap);
    }

    std::uint32_t home(Id id) const noexcept { return static_cast<std::uint32_t>((id * id_hash_multiplier) >> shift_); }
    std::uint32_t next(std::uint32_t i) const noexcept { return (i + 1) & (capacity() - 1); }

    bool allocate(std::uint32_t cap) noexcept {
        Id *slots = new (std::nothrow) Id[cap];
        if (slots == nullptr) return false;
        std::fill_n(slots, cap, no_id);
        delete[] slots_;
        slots_ = slots;
        size_ = 0;
        shift_ = static_cast<std::uint8_t>(64 - std::countr_zero(cap));
        return true;
    }

    void rehash(std::uint32_t cap) {
        IdSet bigger;
        if (!bigger.allocate(cap)) throw std::bad_alloc();
        for_each([&](Id id) { bigger.insert(id); });
        bigger.swap(*this);
    }

    Id *slots_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint8_t shift_ = 64;  // 64 - log2(capacity)
};

}  // namespace corvane
