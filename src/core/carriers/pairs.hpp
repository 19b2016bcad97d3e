#pragma once

// The common ids of two blocks with the same key, by a kernel chosen for
// their pair of forms:
//  - array with array: merged, 8 against 8 (simd.hpp), while their sizes are
//    comparable; the smaller galloping through the larger when it is far
//    smaller (the literature puts the switch near 64:1);
//  - array with bitmap: the array's offsets probed in the bitmap;
//  - bitmap with bitmap: word AND with population count.
// Either counted, or written to scratch space as a new view.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/carriers/array.hpp"
#include "core/carriers/bitmap.hpp"
#include "core/carriers/carriers.hpp"
#include "core/carriers/simd.hpp"

namespace corvane::carriers {

// Sizes at which the smaller array gallops through the larger.
inline constexpr std::uint32_t gallop_ratio = 64;

// A block as an operation reads it: stored, or a result in scratch space.
struct View {
    Id base;
    bool bitmap;
    std::uint32_t count;
    const void *data;

    const Offset *offsets() const noexcept { return static_cast<const Offset *>(data); }
    const Word *words() const noexcept { return static_cast<const Word *>(data); }

    template <class Visit>
    void for_each(Visit &&visit) const {
        if (bitmap) {
            bitmap::for_each(words(), [&](Offset x) { visit(base + x); });
        } else {
            for (std::uint32_t i = 0; i < count; ++i) visit(base + offsets()[i]);
        }
    }
};

inline View view_of(const Block &b) noexcept { return {b.base(), b.bitmap, b.count, b.data}; }

// Room for one intermediate result: an array is never larger than the
// smaller of its inputs, which is an array (and a union merged in two
// halves of the offsets stays small too).
struct Slot {
    alignas(64) Word words[bitmap::words];
    Offset offsets[array_limit];
};

inline bool gallops(std::uint32_t small, std::uint32_t large) noexcept { return small * gallop_ratio < large; }

inline std::uint32_t count_common(const View &a, const View &b) noexcept {
    const auto &k = simd::kernels();
    if (a.bitmap && b.bitmap) return static_cast<std::uint32_t>(k.count_and(a.words(), b.words(), bitmap::words));
    if (a.bitmap) return bitmap::count_in(b.offsets(), b.count, a.words());
    if (b.bitmap) return bitmap::count_in(a.offsets(), a.count, b.words());
    const View &small = a.count <= b.count ? a : b, &large = a.count <= b.count ? b : a;
    if (gallops(small.count, large.count)) {
        std::uint32_t c = 0;
        array::gallop_common(small.offsets(), small.count, large.offsets(), large.count, [&](Offset) { ++c; });
        return c;
    }
    return k.merge_count(a.offsets(), a.count, b.offsets(), b.count);
}

// The common ids of an array longer than array_limit and another block, as
// a bitmap: the slot's offsets could not hold them. Blocks never hold such
// an array; this keeps a broken one from writing past the slot.
inline View common_as_bitmap(const View &arr, const View &other, Slot &out) noexcept {
    std::memset(out.words, 0, bitmap::bytes);
    std::uint32_t n = 0;
    for (std::uint32_t i = 0; i < arr.count; ++i) {
        const Offset x = arr.offsets()[i];
        const bool held =
            other.bitmap ? bitmap::test(other.words(), x) : array::contains(other.offsets(), other.count, x);
        if (held && !bitmap::test(out.words, x)) {
            bitmap::set(out.words, x);
            ++n;
        }
    }
    return {arr.base, true, n, out.words};
}

inline View common(const View &a, const View &b, Slot &out) noexcept {
    const auto &k = simd::kernels();
    if (a.bitmap && b.bitmap) {
        const auto n = static_cast<std::uint32_t>(k.and_into(out.words, a.words(), b.words(), bitmap::words));
        return {a.base, true, n, out.words};
    }
    // The smaller array drives: the result holds at most as many ids.
    const View &arr = a.bitmap ? b : b.bitmap ? a : a.count <= b.count ? a : b;
    const View &other = &arr == &a ? b : a;
    if (arr.count > array_limit) return common_as_bitmap(arr, other, out);
    std::uint32_t n = 0;
    if (other.bitmap) {
        n = bitmap::select_in(arr.offsets(), arr.count, other.words(), out.offsets);
    } else if (gallops(arr.count, other.count)) {
        array::gallop_common(arr.offsets(), arr.count, other.offsets(), other.count,
                             [&](Offset x) { out.offsets[n++] = x; });
    } else {
        n = k.merge_into(a.offsets(), a.count, b.offsets(), b.count, out.offsets);
    }
    return {a.base, false, n, out.offsets};
}

}  // namespace corvane::carriers
