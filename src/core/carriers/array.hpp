#pragma once

// The array form of a block: the offsets it holds, sorted, in a buffer with
// room for `capacity` of them, at least array_room_min, which vector loads
// may read beyond the offsets held (simd.hpp).

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/carriers/memory.hpp"
#include "core/carriers/simd.hpp"

namespace corvane::carriers::array {

// A zeroed buffer for `capacity` offsets (at least array_room_min), or
// null: what vector loads read beyond the offsets held is never
// uninitialised memory.
inline Offset *allocate(std::uint32_t capacity) noexcept {
    auto *p = static_cast<Offset *>(CORVANE_CARRIERS_MALLOC(std::size_t(capacity) * sizeof(Offset)));
    if (p != nullptr) std::memset(p, 0, std::size_t(capacity) * sizeof(Offset));
    return p;
}

// The position of the first offset not below x.
inline std::uint32_t lower_bound(const Offset *a, std::uint32_t n, Offset x) noexcept {
    return static_cast<std::uint32_t>(std::lower_bound(a, a + n, x) - a);
}

inline bool contains(const Offset *a, std::uint32_t n, Offset x) noexcept {
    const std::uint32_t i = lower_bound(a, n, x);
    return i < n && a[i] == x;
}

// Inserts x, which a does not hold; there must be room.
inline void insert(Offset *a, std::uint32_t n, Offset x) noexcept {
    if (n == 0 || a[n - 1] < x) {  // appending is the common case: new entries take the highest id
        a[n] = x;
        return;
    }
    // The front is the next (popitem moves the last entry to id 0): found
    // without the search, whose branch-free form (Clang's) waits on every load.
    const std::uint32_t i = x < a[0] ? 0 : lower_bound(a, n, x);
    std::memmove(a + i + 1, a + i, std::size_t(n - i) * sizeof(Offset));
    a[i] = x;
}

// Erases x, which a holds.
inline void erase(Offset *a, std::uint32_t n, Offset x) noexcept {
    const std::uint32_t i = a[n - 1] == x ? n - 1 : a[0] == x ? 0 : lower_bound(a, n, x);
    std::memmove(a + i, a + i + 1, std::size_t(n - i - 1) * sizeof(Offset));
}

// The position of the first offset not below x at or after `from`, found by
// doubling steps, then bisection (galloping, or exponential search: Bentley,
// Yao 1976; cheap when it is near).
inline std::uint32_t gallop(const Offset *a, std::uint32_t n, std::uint32_t from, Offset x) noexcept {
    std::uint32_t lo = from, step = 1;
    while (lo + step < n && a[lo + step] < x) {
        lo += step;
        step *= 2;
    }
    const std::uint32_t hi = std::min(n, lo + step + 1);
    return lo + lower_bound(a + lo, hi - lo, x);
}

// The offsets of small (n_small) that large holds, each found by galloping
// forward through large: calls found(offset) in order.
template <class Found>
void gallop_common(const Offset *small, std::uint32_t n_small, const Offset *large, std::uint32_t n_large,
                   Found &&found) {
    std::uint32_t j = 0;
    for (std::uint32_t i = 0; i < n_small && j < n_large; ++i) {
        j = gallop(large, n_large, j, small[i]);
        if (j < n_large && large[j] == small[i]) found(small[i]);
    }
}

}  // namespace corvane::carriers::array
