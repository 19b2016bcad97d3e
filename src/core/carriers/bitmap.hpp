#pragma once

// The bitmap form of a block: one bit per id of the block, 1024 words.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/carriers/memory.hpp"
#include "core/carriers/simd.hpp"

namespace corvane::carriers::bitmap {

inline constexpr std::uint32_t words = 1024;
inline constexpr std::size_t bytes = words * sizeof(Word);

// A zeroed bitmap, aligned to a cache line, or null.
inline Word *allocate() noexcept {
    auto *p = static_cast<Word *>(CORVANE_CARRIERS_ALIGNED_ALLOC(64, bytes));
    if (p != nullptr) std::memset(p, 0, bytes);
    return p;
}

inline bool test(const Word *w, Offset x) noexcept { return (w[x >> 6] >> (x & 63) & 1) != 0; }
inline void set(Word *w, Offset x) noexcept { w[x >> 6] |= Word(1) << (x & 63); }
inline void clear(Word *w, Offset x) noexcept { w[x >> 6] &= ~(Word(1) << (x & 63)); }

// Calls visit(offset) for each bit set in w, lowest first. Runs of zero
// words are passed over 8 at a time, so a sparse bitmap costs little more
// than its set bits.
template <class Visit>
void for_each(const Word *w, Visit &&visit) {
    for (std::uint32_t g = 0; g < words; g += 8) {
        if ((w[g] | w[g + 1] | w[g + 2] | w[g + 3] | w[g + 4] | w[g + 5] | w[g + 6] | w[g + 7]) == 0) continue;
        for (std::uint32_t i = g; i < g + 8; ++i) {
            for (Word bits = w[i]; bits != 0; bits &= bits - 1) {
                visit(static_cast<Offset>(i * 64 + static_cast<std::uint32_t>(__builtin_ctzll(bits))));
            }
        }
    }
}

// Writes the offsets set in w to out, in order; returns how many.
inline std::uint32_t to_array(const Word *w, Offset *out) noexcept {
    std::uint32_t n = 0;
    for_each(w, [&](Offset x) { out[n++] = x; });
    return n;
}

// The offsets of a (n of them) set in w: counted, or written in order to out.
inline std::uint32_t count_in(const Offset *a, std::uint32_t n, const Word *w) noexcept {
    std::uint32_t c = 0;
    for (std::uint32_t i = 0; i < n; ++i) c += static_cast<std::uint32_t>(w[a[i] >> 6] >> (a[i] & 63) & 1);
    return c;
}

inline std::uint32_t select_in(const Offset *a, std::uint32_t n, const Word *w, Offset *out) noexcept {
    std::uint32_t c = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        out[c] = a[i];
        c += static_cast<std::uint32_t>(w[a[i] >> 6] >> (a[i] & 63) & 1);
    }
    return c;
}

}  // namespace corvane::carriers::bitmap
