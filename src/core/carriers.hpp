#pragma once

// The entries carrying one tag, and the intersections and unions of several.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "core/bitops.hpp"
#include "core/id_set.hpp"

namespace corvane {

using bits::Word;
using bits::words_for;

// A small id set while few entries carry the tag; a bitset over all entry
// ids once a sizeable share does. A set turns into a bitset when it would
// otherwise grow and the bitset is no larger than the set's current table
// (at about 2.3% of the entries); a bitset turns back when it covers fewer
// than a quarter as many entries as it has words (under 0.4%). The gap
// between the two keeps a tag near the threshold from switching on every edit.
class Carriers {
public:
    std::uint32_t size() const noexcept { return bits_ ? count_ : small_.size(); }
    bool empty() const noexcept { return size() == 0; }
    bool is_bitset() const noexcept { return bits_ != nullptr; }

    bool contains(Id id) const noexcept {
        if (bits_) return id / bits::word_bits < words_ && bits::test(bits_.get(), id);
        return small_.contains(id);
    }

    // Bitset view; words past word_count() are zero.
    const Word *words() const noexcept { return bits_.get(); }
    std::uint32_t word_count() const noexcept { return words_; }

    // Makes room for an id this set does not hold, so that insert(id) cannot
    // fail; `universe` is the number of entry ids once it is in. Throws
    // std::bad_alloc with the set's contents unchanged.
    void reserve_for(Id id, std::uint32_t universe) {
        if (bits_) {
            if (id / bits::word_bits >= words_)
                grow_bits(std::max({id / bits::word_bits + 1, words_ + words_ / 2, words_for(universe)}));
            return;
        }
        if (small_.has_room(1)) return;
        const std::uint32_t words = words_for(universe);
        if (std::size_t(words) * sizeof(Word) <= small_.bytes()) {
            to_bits(words);
        } else {
            small_.reserve(1);
        }
    }

    void insert(Id id) noexcept {
        if (bits_) {
            bits::set(bits_.get(), id);
            ++count_;
        } else {
            small_.insert(id);
        }
    }

    // Takes out an id this set holds; shrinks or turns back into a small set
    // when that pays, as far as memory allows.
    void erase(Id id, std::uint32_t universe) noexcept {
        if (!bits_) {
            small_.erase(id);
            small_.shrink();
            return;
        }
        bits::clear(bits_.get(), id);
        if (--count_ == 0) {
            *this = Carriers();
        } else if (std::uint64_t(count_) * 4 < words_for(universe)) {
            to_small();
        }
    }

    // Renames a held id to a lower one it does not hold (an entry moved down
    // the entry table). Never allocates.
    void rename(Id from, Id to) noexcept {
        if (bits_) {
            bits::clear(bits_.get(), from);
            bits::set(bits_.get(), to);
        } else {
            small_.erase(from);
            small_.insert(to);
        }
    }

    template <class Visit>
    void for_each(Visit &&visit) const {
        if (!bits_) {
            small_.for_each(visit);
            return;
        }
        for (std::uint32_t w = 0; w < words_; ++w) bits::for_each_bit(bits_[w], w * bits::word_bits, visit);
    }

private:
    static std::unique_ptr<Word[]> zeroed(std::uint32_t words) {
        return std::unique_ptr<Word[]>(new Word[words]());  // throws std::bad_alloc
    }

    void grow_bits(std::uint32_t words) {
        auto grown = zeroed(words);
        std::memcpy(grown.get(), bits_.get(), std::size_t(words_) * sizeof(Word));
        bits_ = std::move(grown);
        words_ = words;
    }

    void to_bits(std::uint32_t words) {
        auto bits = zeroed(words);
        small_.for_each([&](Id id) { bits::set(bits.get(), id); });
        count_ = small_.size();
        bits_ = std::move(bits);
        words_ = words;
        small_ = IdSet();
    }

    void to_small() noexcept {
        IdSet small;
        try {
            small.reserve(count_);
        } catch (const std::bad_alloc &) {
            return;  // stay a bitset
        }
        for_each([&](Id id) { small.insert(id); });
        *this = Carriers();
        small_ = std::move(small);
    }

    IdSet small_;
    std::unique_ptr<Word[]> bits_;
    std::uint32_t words_ = 0;
    std::uint32_t count_ = 0;
};

using CarrierSets = std::span<const Carriers *const>;

namespace kernels {

// Bits of `sets` (all bitsets) in chunks small enough to stay in L1.
inline constexpr std::uint32_t chunk_words = 256;

inline std::uint32_t common_words(CarrierSets sets) noexcept {
    std::uint32_t n = UINT32_MAX;
    for (const Carriers *s : sets) n = std::min(n, s->word_count());
    return n;
}

// AND of all bitsets over words [begin, begin + n) into out.
inline void and_chunk(CarrierSets sets, std::uint32_t begin, std::uint32_t n, Word *out) noexcept {
    const Word *first = sets[0]->words() + begin;
    std::copy_n(first, n, out);
    for (std::size_t k = 1; k < sets.size(); ++k) {
        const Word *w = sets[k]->words() + begin;
        for (std::uint32_t i = 0; i < n; ++i) out[i] &= w[i];
    }
}

// The first small set, if any, drives an intersection: the others are probed
// for each of its ids (bit tests for bitsets).
inline const Carriers *smallest_small_set(CarrierSets sets) noexcept {
    const auto it = std::find_if(sets.begin(), sets.end(), [](const Carriers *s) { return !s->is_bitset(); });
    return it == sets.end() ? nullptr : *it;
}

using Combine = void (*)(CarrierSets, std::uint32_t, std::uint32_t, Word *) noexcept;

// Words [0, words) of `sets` combined by `combine`, handed to
// visit(chunk, n, first word) a chunk at a time.
template <class Visit>
void for_each_chunk(CarrierSets sets, std::uint32_t words, Combine combine, Visit &&visit) {
    Word chunk[chunk_words];
    for (std::uint32_t begin = 0; begin < words; begin += chunk_words) {
        const std::uint32_t n = std::min(chunk_words, words - begin);
        combine(sets, begin, n, chunk);
        visit(static_cast<const Word *>(chunk), n, begin);
    }
}

template <class Emit>
void emit_bits(CarrierSets sets, std::uint32_t words, Combine combine, Emit &&emit) {
    for_each_chunk(sets, words, combine, [&](const Word *chunk, std::uint32_t n, std::uint32_t begin) {
        for (std::uint32_t i = 0; i < n; ++i) bits::for_each_bit(chunk[i], (begin + i) * bits::word_bits, emit);
    });
}

inline std::uint64_t count_bits(CarrierSets sets, std::uint32_t words, Combine combine) {
    std::uint64_t total = 0;
    for_each_chunk(sets, words, combine,
                   [&](const Word *chunk, std::uint32_t n, std::uint32_t) { total += bits::count(chunk, n); });
    return total;
}

// Whether a union of `sets` is best gathered in a bitset of `words` words:
// when one of them is a bitset, or they hold as many ids as it has words.
inline bool unite_in_bits(CarrierSets sets, std::uint32_t words) noexcept {
    std::uint64_t total = 0;
    for (const Carriers *s : sets) {
        if (s->is_bitset()) return true;
        total += s->size();
    }
    return total >= words;
}

inline bool all_bitsets(CarrierSets sets) noexcept {
    return std::all_of(sets.begin(), sets.end(), [](const Carriers *s) { return s->is_bitset(); });
}

// OR of all bitsets over words [begin, begin + n) into out; a bitset may be
// shorter than others (its missing words are zero).
inline void or_chunk(CarrierSets sets, std::uint32_t begin, std::uint32_t n, Word *out) noexcept {
    std::fill_n(out, n, Word(0));
    for (const Carriers *s : sets) {
        const std::uint32_t end = std::min(begin + n, s->word_count());
        for (std::uint32_t i = begin; i < end; ++i) out[i - begin] |= s->words()[i];
    }
}

inline std::uint32_t longest_words(CarrierSets sets) noexcept {
    std::uint32_t n = 0;
    for (const Carriers *s : sets) n = std::max(n, s->word_count());
    return n;
}

inline std::unique_ptr<Word[]> unite_bits(CarrierSets sets, std::uint32_t words) {
    auto seen = std::unique_ptr<Word[]>(new Word[words]());
    for (const Carriers *s : sets) {
        if (s->is_bitset()) {
            const std::uint32_t n = std::min(words, s->word_count());
            for (std::uint32_t i = 0; i < n; ++i) seen[i] |= s->words()[i];
        } else {
            s->for_each([&](Id id) { bits::set(seen.get(), id); });
        }
    }
    return seen;
}

}  // namespace kernels

// Calls emit(id) for every entry in all of `sets`: distinct sets, ordered by
// size, the smallest first.
template <class Emit>
void intersect(CarrierSets sets, Emit &&emit) {
    if (const Carriers *driver = kernels::smallest_small_set(sets)) {
        driver->for_each([&](Id id) {
            for (const Carriers *s : sets) {
                if (s != driver && !s->contains(id)) return;
            }
            emit(id);
        });
        return;
    }
    kernels::emit_bits(sets, kernels::common_words(sets), kernels::and_chunk, emit);
}

inline std::uint64_t intersect_count(CarrierSets sets) {
    if (sets.size() == 1) return sets[0]->size();
    if (kernels::smallest_small_set(sets) != nullptr) {
        std::uint64_t n = 0;
        intersect(sets, [&](Id) { ++n; });
        return n;
    }
    const std::uint32_t words = kernels::common_words(sets);
    if (sets.size() == 2) return bits::count_and(sets[0]->words(), sets[1]->words(), words);
    return kernels::count_bits(sets, words, kernels::and_chunk);
}

// Calls emit(id) once for every entry in at least one of `sets` (distinct
// sets over ids below `universe`), in time linear in their total size: in a
// bitset (kernels::unite_in_bits), or else through a hash set of the ids seen.
template <class Emit>
void unite(CarrierSets sets, std::uint32_t universe, Emit &&emit) {
    if (sets.size() == 1) {
        sets[0]->for_each(emit);
        return;
    }
    if (kernels::all_bitsets(sets)) {
        kernels::emit_bits(sets, kernels::longest_words(sets), kernels::or_chunk, emit);
        return;
    }
    const std::uint32_t words = words_for(universe);
    if (kernels::unite_in_bits(sets, words)) {
        const auto seen = kernels::unite_bits(sets, words);
        for (std::uint32_t i = 0; i < words; ++i) bits::for_each_bit(seen[i], i * bits::word_bits, emit);
        return;
    }
    std::uint64_t total = 0;
    for (const Carriers *s : sets) total += s->size();
    IdSet seen;
    seen.reserve(static_cast<std::uint32_t>(total));
    for (const Carriers *s : sets) {
        s->for_each([&](Id id) {
            if (seen.insert(id)) emit(id);
        });
    }
}

inline std::uint64_t unite_count(CarrierSets sets, std::uint32_t universe) {
    if (sets.size() == 1) return sets[0]->size();
    if (kernels::all_bitsets(sets)) {
        if (sets.size() == 2) {  // |a| + |b| - |a and b|
            return std::uint64_t(sets[0]->size()) + sets[1]->size() -
                   bits::count_and(sets[0]->words(), sets[1]->words(), kernels::common_words(sets));
        }
        return kernels::count_bits(sets, kernels::longest_words(sets), kernels::or_chunk);
    }
    const std::uint32_t words = words_for(universe);
    if (kernels::unite_in_bits(sets, words)) return bits::count(kernels::unite_bits(sets, words).get(), words);
    std::uint64_t n = 0;
    unite(sets, universe, [&](Id) { ++n; });
    return n;
}

}  // namespace corvane
