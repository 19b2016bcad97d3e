#pragma once

// A hash index from texts to the ids of the slots that hold them.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "core/id_set.hpp"

namespace corvane {

// Buckets hold a slot id and the low 32 bits of its text's hash: probing
// compares hashes first and reads the text only on a match, and growing
// needs no text at all. The hash comes from the caller, keyed per process,
// so no caller can choose texts that collide. Linear probing at most half
// full, with deletion by shifting back, as in IdSet.
class TextIndex {
public:
    std::uint32_t size() const noexcept { return size_; }

    // The id whose text `is_text(id)` confirms, among those with this hash.
    template <class IsText>
    Id find(std::uint32_t hash, IsText &&is_text) const noexcept {
        if (cap_ == 0) return no_id;
        for (std::uint32_t i = hash & (cap_ - 1);; i = next(i)) {
            const Bucket &b = buckets_[i];
            if (b.id == no_id) return no_id;
            if (b.hash == hash && is_text(b.id)) return b.id;
        }
    }

    // Room for `n` texts in all. Throws std::bad_alloc with the index unchanged.
    void reserve(std::uint64_t n) {
        if (n * 2 <= cap_) return;
        std::uint64_t cap = std::max<std::uint64_t>(cap_, 8);
        while (n * 2 > cap) cap *= 2;
        if (cap > (std::uint64_t(1) << 32) || !rehash(static_cast<std::uint32_t>(cap))) throw std::bad_alloc();
    }

    // Gives back room once at most an eighth is in use, down to a quarter
    // (so that growing again is as far off as shrinking); keeps it when
    // memory runs short.
    void shrink() noexcept {
        if (cap_ <= 8 || std::uint64_t(size_) * 8 > cap_) return;
        std::uint32_t cap = 8;
        while (std::uint64_t(size_) * 4 > cap) cap *= 2;
        rehash(cap);
    }

    // Adds a text not yet indexed; there must be room.
    void insert(std::uint32_t hash, Id id) noexcept {
        std::uint32_t i = hash & (cap_ - 1);
        while (buckets_[i].id != no_id) i = next(i);
        buckets_[i] = {id, hash};
        ++size_;
    }

    void erase(std::uint32_t hash, Id id) noexcept {
        std::uint32_t i = locate(hash, id);
        for (std::uint32_t j = next(i);; j = next(j)) {
            const Bucket moved = buckets_[j];
            if (moved.id == no_id) break;
            const std::uint32_t h = moved.hash & (cap_ - 1);
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

    std::uint32_t next(std::uint32_t i) const noexcept { return (i + 1) & (cap_ - 1); }

    std::uint32_t locate(std::uint32_t hash, Id id) const noexcept {
        std::uint32_t i = hash & (cap_ - 1);
        while (buckets_[i].id != id) i = next(i);
        return i;
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
