#pragma once

// A hash index from texts to the ids of the slots that hold them.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "core/tag_ids.hpp"

namespace corvane {

// Buckets hold a slot id and the low 32 bits of its text's hash: probing
// compares hashes first and reads the text only on a match, and growing
// needs no text at all. The hash comes from the caller, keyed per process,
// so no caller can choose texts that collide. Linear probing with deletion
// by shifting back, as in TagIds. The capacity is any size (a hash's home
// is its scaled position, not its low bits), so an index made for a known
// number of texts can run three quarters full; one that grows runs between
// half and three quarters full.
class TextIndex {
public:
    std::uint32_t size() const noexcept { return size_; }
    std::size_t bytes() const noexcept { return std::size_t(cap_) * sizeof(Bucket); }

    // The id whose text `is_text(id)` confirms, among those with this hash.
    template <class IsText>
    Id find(std::uint32_t hash, IsText &&is_text) const noexcept {
        if (cap_ == 0) return no_id;
        for (std::uint32_t i = home(hash);; i = next(i)) {
            const Bucket &b = buckets_[i];
            if (b.id == no_id) return no_id;
            if (b.hash == hash && is_text(b.id)) return b.id;
        }
    }

    // Room for `n` texts in all. Throws std::bad_alloc with the index
    // unchanged. Growing one at a time leaves room for as many again.
    void reserve(std::uint64_t n) {
        if (fits(n, cap_)) return;
        resize_or_throw(std::max(n, std::uint64_t(size_) + 1) * 2);
    }

    // Room for exactly `n` texts in all, three quarters full (for a build of
    // known size); no smaller than what is held.
    void reserve_exactly(std::uint64_t n) {
        n = std::max<std::uint64_t>(n, size_);
        if (!fits(n, cap_)) resize_or_throw(least_capacity(n));
    }

    // Gives back room once at most a quarter is in use, down to half (so
    // that growing again is as far off as shrinking); keeps it when memory
    // runs short.
    void shrink() noexcept {
        if (cap_ <= 8 || std::uint64_t(size_) * 4 > cap_) return;
        rehash(static_cast<std::uint32_t>(std::max<std::uint64_t>(8, std::uint64_t(size_) * 2)));
    }

    // Gives back all room beyond what the texts held need, as far as memory allows.
    void fit() noexcept {
        if (size_ == 0) return clear();
        const std::uint64_t cap = least_capacity(size_);
        if (cap < cap_) rehash(static_cast<std::uint32_t>(cap));
    }

    // Adds a text not yet indexed; there must be room.
    void insert(std::uint32_t hash, Id id) noexcept {
        std::uint32_t i = home(hash);
        while (buckets_[i].id != no_id) i = next(i);
        buckets_[i] = {id, hash};
        ++size_;
    }

    void erase(std::uint32_t hash, Id id) noexcept {
        std::uint32_t i = locate(hash, id);
        for (std::uint32_t j = next(i);; j = next(j)) {
            const Bucket moved = buckets_[j];
            if (moved.id == no_id) break;
            const std::uint32_t h = home(moved.hash);
            if (i <= j ? (h <= i || h > j) : (h <= i && h > j)) {
                buckets_[i] = moved;
                i = j;
            }
        }
        buckets_[i].id = no_id;
        --size_;
    }

    // The slot holding a text moved from `from` to `to`.
    void rename(std::uint32_t hash, Id from, Id to) noexcept { buckets_[locate(hash, from)].id = to; }

    void clear() noexcept {
        buckets_.reset();
        cap_ = size_ = 0;
    }

private:
    struct Bucket {
        Id id;
        std::uint32_t hash;
    };

    // At most three quarters full, with at least one bucket free.
    static bool fits(std::uint64_t n, std::uint64_t cap) noexcept { return n * 4 <= cap * 3 && n < cap; }
    static std::uint64_t least_capacity(std::uint64_t n) noexcept { return std::max<std::uint64_t>(8, (n * 4 + 2) / 3 + 1); }

    std::uint32_t home(std::uint32_t hash) const noexcept {
        return static_cast<std::uint32_t>((std::uint64_t(hash) * cap_) >> 32);
    }
    std::uint32_t next(std::uint32_t i) const noexcept { return i + 1 == cap_ ? 0 : i + 1; }

    std::uint32_t locate(std::uint32_t hash, Id id) const noexcept {
        std::uint32_t i = home(hash);
        while (buckets_[i].id != id) i = next(i);
        return i;
    }

    void resize_or_throw(std::uint64_t cap) {
        cap = std::max(cap, least_capacity(size_));
        if (cap > UINT32_MAX || !rehash(static_cast<std::uint32_t>(cap))) throw std::bad_alloc();
    }

    bool rehash(std::uint32_t cap) noexcept {
        std::unique_ptr<Bucket[]> old(new (std::nothrow) Bucket[cap]);
        if (!old) return false;
        std::fill_n(old.get(), cap, Bucket{no_id, 0});
        std::swap(old, buckets_);
        const std::uint32_t old_cap = std::exchange(cap_, cap);
        size_ = 0;
        for (std::uint32_t i = 0; i < old_cap; ++i) {
            if (old[i].id != no_id) insert(old[i].hash, old[i].id);
        }
        return true;
    }

    std::unique_ptr<Bucket[]> buckets_;
    std::uint32_t cap_ = 0;
    std::uint32_t size_ = 0;
};

}  // namespace corvane
