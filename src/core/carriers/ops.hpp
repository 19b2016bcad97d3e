#pragma once

// Intersections and unions of the carriers of several tags, block by block,
// in id order, with the kernels of pairs.hpp.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/carriers/bitmap.hpp"
#include "core/carriers/carriers.hpp"
#include "core/carriers/pairs.hpp"
#include "core/carriers/simd.hpp"

namespace corvane::carriers {

using CarrierSets = std::span<const Carriers *const>;

namespace detail {

// Scratch space for an operation, uninitialised: two slots for results in turn.
struct Scratch {
    Slot slots[2];
};

// The intersection of the driver block (of the smallest set) with the
// blocks of the same key in the other sets, smallest first so that partial
// results stay small: visit(view, count) once, unless a set has no such
// block or a partial result is empty. With `count_last`, the last pair is
// only counted (view is then the partial result before it).
template <class Visit>
void intersect_block(CarrierSets sets, const Block &driver, std::vector<const Block *> &others, Scratch *scratch,
                     bool count_last, Visit &&visit) {
    others.clear();
    for (std::size_t k = 1; k < sets.size(); ++k) {
        const Block *b = sets[k]->block(driver.key);
        if (b == nullptr) return;
        others.push_back(b);
    }
    std::sort(others.begin(), others.end(), [](const Block *a, const Block *b) { return a->count < b->count; });
    View cur = view_of(driver);
    int slot = 0;
    for (std::size_t k = 0; k < others.size(); ++k) {
        if (count_last && k + 1 == others.size()) return visit(cur, count_common(cur, view_of(*others[k])));
        cur = common(cur, view_of(*others[k]), scratch->slots[slot]);
        slot ^= 1;
        if (cur.count == 0) return;
    }
    visit(cur, cur.count);
}

// Calls visit(group, m) for each key held by any of `sets`, in key order,
// with the m blocks of that key.
template <class Visit>
void for_each_key(CarrierSets sets, Visit &&visit) {
    std::vector<const Block *> all;
    std::size_t total = 0;
    for (const Carriers *s : sets) total += s->blocks().size();
    all.reserve(total);
    for (const Carriers *s : sets) {
        for (const Block &b : s->blocks()) all.push_back(&b);
    }
    std::stable_sort(all.begin(), all.end(), [](const Block *a, const Block *b) { return a->key < b->key; });
    for (std::size_t i = 0; i < all.size();) {
        std::size_t j = i + 1;
        while (j < all.size() && all[j]->key == all[i]->key) ++j;
        visit(all.data() + i, j - i);
        i = j;
    }
}

// Arrays of one key holding this many offsets in all or fewer are united
// by merging: below it, clearing and scanning a bitmap costs more.
inline constexpr std::uint32_t merge_union_max = 256;

// The union of two sorted arrays into out (room for na + nb); returns its size.
inline std::uint32_t merge_union(const Offset *a, std::uint32_t na, const Offset *b, std::uint32_t nb,
                                 Offset *out) noexcept {
    std::uint32_t i = 0, j = 0, n = 0;
    while (i < na && j < nb) {
        const Offset x = a[i], y = b[j];
        out[n++] = x < y ? x : y;
        i += x <= y;
        j += y <= x;
    }
    while (i < na) out[n++] = a[i++];
    while (j < nb) out[n++] = b[j++];
    return n;
}

// The union of several small arrays of one key, in order, in one of two
// buffers (room for merge_union_max offsets each); returns it with its size.
inline std::pair<const Offset *, std::uint32_t> merge_all(const Block *const *group, std::size_t m, Offset *one,
                                                          Offset *two) noexcept {
    const Offset *cur = group[0]->offsets();
    std::uint32_t n = group[0]->count;
    for (std::size_t i = 1; i < m; ++i) {
        n = merge_union(cur, n, group[i]->offsets(), group[i]->count, one);
        cur = one;
        std::swap(one, two);
    }
    return {cur, n};
}

static_assert(2 * merge_union_max <= array_max, "two merge buffers fit in a slot's offsets");

inline bool all_small_arrays(const Block *const *group, std::size_t m) noexcept {
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < m; ++i) {
        if (group[i]->bitmap) return false;
        total += group[i]->count;
    }
    return total <= merge_union_max;
}

// The union of several blocks of one key in the bitmap `out`. Starts from a
// copy of a bitmap block when there is one.
inline void unite_bits(const Block *const *group, std::size_t m, Word *out) noexcept {
    const auto &k = simd::kernels();
    // The first two bitmaps are united straight into out: no copy of the first.
    const Word *first = nullptr;
    bool united = false;
    for (std::size_t i = 0; i < m; ++i) {
        if (!group[i]->bitmap) continue;
        if (first == nullptr) {
            first = group[i]->words();
        } else {
            k.or_into(out, united ? out : first, group[i]->words(), bitmap::words);
            united = true;
        }
    }
    if (!united) {
        if (first != nullptr) {
            std::memcpy(out, first, bitmap::bytes);
        } else {
            std::memset(out, 0, bitmap::bytes);
        }
    }
    for (std::size_t i = 0; i < m; ++i) {
        const Block &b = *group[i];
        if (!b.bitmap) {
            for (std::uint32_t j = 0; j < b.count; ++j) bitmap::set(out, b.offsets()[j]);
        }
    }
}

// The number of distinct offsets in several arrays of one key, by marking
// them in `marks` (all zero, and left so).
inline std::uint32_t count_distinct(const Block *const *group, std::size_t m, Word *marks) noexcept {
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const Offset *a = group[i]->offsets();
        for (std::uint32_t j = 0; j < group[i]->count; ++j) {
            Word &w = marks[a[j] >> 6];
            const Word bit = Word(1) << (a[j] & 63);
            n += (w & bit) == 0;
            w |= bit;
        }
    }
    for (std::size_t i = 0; i < m; ++i) {
        for (std::uint32_t j = 0; j < group[i]->count; ++j) marks[group[i]->offsets()[j] >> 6] = 0;
    }
    return n;
}

// |A or B or C| = |A| + |B| + |C| - |A and B| - |A and C| - |B and C| +
// |A and B and C|: pair counts by the fast kernels, where marking or
// uniting offsets one by one would cost more.
inline std::uint32_t count_three(const Block *const *group, Slot &slot) noexcept {
    const View a = view_of(*group[0]), b = view_of(*group[1]), c = view_of(*group[2]);
    const std::uint32_t pairs = count_common(a, b) + count_common(a, c) + count_common(b, c);
    return a.count + b.count + c.count - pairs + count_common(common(a, b, slot), c);
}

}  // namespace detail

// Calls emit(id), in order, for every id in all of `sets`: distinct sets,
// ordered by size, the smallest first (it drives: every block of the
// result lies in a block of it).
template <class Emit>
void intersect(CarrierSets sets, Emit &&emit) {
    if (sets.size() == 1) return sets[0]->for_each(emit);
    const std::unique_ptr<detail::Scratch> scratch(new detail::Scratch);
    std::vector<const Block *> others;
    others.reserve(sets.size());
    for (const Block &driver : sets[0]->blocks()) {
        detail::intersect_block(sets, driver, others, scratch.get(), false,
                                [&](const View &v, std::uint32_t) { v.for_each(emit); });
    }
}

inline std::uint64_t intersect_count(CarrierSets sets) {
    if (sets.size() == 1) return sets[0]->size();
    if (sets.size() == 2) {  // the blocks of both, walked in step: no scratch space, no lookups
        const auto a = sets[0]->blocks(), b = sets[1]->blocks();
        std::uint64_t total = 0;
        for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
            if (a[i].key != b[j].key) {
                a[i].key < b[j].key ? ++i : ++j;
            } else {
                total += count_common(view_of(a[i++]), view_of(b[j++]));
            }
        }
        return total;
    }
    std::unique_ptr<detail::Scratch> scratch;
    if (sets.size() > 2) scratch.reset(new detail::Scratch);
    std::vector<const Block *> others;
    others.reserve(sets.size());
    std::uint64_t total = 0;
    for (const Block &driver : sets[0]->blocks()) {
        detail::intersect_block(sets, driver, others, scratch.get(), true,
                                [&](const View &, std::uint32_t n) { total += n; });
    }
    return total;
}

// Calls emit(id), in order, once for every id in at least one of `sets`.
template <class Emit>
void unite(CarrierSets sets, Emit &&emit) {
    if (sets.size() == 1) return sets[0]->for_each(emit);
    std::unique_ptr<Slot> slot;
    detail::for_each_key(sets, [&](const Block *const *group, std::size_t m) {
        if (m == 1) return group[0]->for_each(emit);
        if (!slot) slot.reset(new Slot);
        const Id base = group[0]->base();
        if (detail::all_small_arrays(group, m)) {
            const auto [offsets, n] =
                detail::merge_all(group, m, slot->offsets, slot->offsets + detail::merge_union_max);
            for (std::uint32_t i = 0; i < n; ++i) emit(base + offsets[i]);
        } else {
            detail::unite_bits(group, m, slot->words);
            bitmap::for_each(slot->words, [&](Offset x) { emit(base + x); });
        }
    });
}

// Per key: the count of a lone block; |A| + |B| - |A and B| for two; pair
// counts for three with an array among them; for more, small arrays'
// offsets marked in a bitmap one by one, or else the union in a bitmap.
inline std::uint64_t unite_count(CarrierSets sets) {
    if (sets.size() == 1) return sets[0]->size();
    if (sets.size() == 2) return std::uint64_t(sets[0]->size()) + sets[1]->size() - intersect_count(sets);
    std::uint64_t total = 0;
    std::unique_ptr<Slot> slot;
    std::unique_ptr<Word[]> marks;
    detail::for_each_key(sets, [&](const Block *const *group, std::size_t m) {
        if (m == 1) {
            total += group[0]->count;
        } else if (m == 2) {
            total += group[0]->count + group[1]->count - count_common(view_of(*group[0]), view_of(*group[1]));
        } else if (m == 3 && std::any_of(group, group + m, [](const Block *b) { return !b->bitmap; })) {
            if (!slot) slot.reset(new Slot);
            total += detail::count_three(group, *slot);
        } else if (detail::all_small_arrays(group, m)) {
            if (!marks) marks.reset(new Word[bitmap::words]());  // zeroed, and left so
            total += detail::count_distinct(group, m, marks.get());
        } else {
            if (!slot) slot.reset(new Slot);
            detail::unite_bits(group, m, slot->words);
            total += simd::kernels().count_and(slot->words, slot->words, bitmap::words);
        }
    });
    return total;
}

}  // namespace corvane::carriers
