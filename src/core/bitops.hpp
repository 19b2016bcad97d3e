#pragma once

// Kernels over arrays of 64-bit words, using the widest popcount the CPU offers.

#include <cstddef>
#include <cstdint>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace corvane::bits {

using Word = std::uint64_t;
inline constexpr std::uint32_t word_bits = 64;

constexpr std::uint32_t words_for(std::uint64_t ids) noexcept {
    return static_cast<std::uint32_t>((ids + word_bits - 1) / word_bits);
}

namespace detail {

inline std::uint64_t count_and_portable(const Word *a, const Word *b, std::size_t n) noexcept {
    std::uint64_t c = 0;
    for (std::size_t i = 0; i < n; ++i) {
        Word w = a[i] & b[i];
        while (w != 0) {
            w &= w - 1;
            ++c;
        }
    }
    return c;
}

#if defined(__x86_64__)
// Four accumulators keep popcnt's latency off the critical path.
__attribute__((target("popcnt"))) inline std::uint64_t count_and_popcnt(const Word *a, const Word *b,
                                                                        std::size_t n) noexcept {
    std::uint64_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        c0 += static_cast<std::uint64_t>(__builtin_popcountll(a[i] & b[i]));
        c1 += static_cast<std::uint64_t>(__builtin_popcountll(a[i + 1] & b[i + 1]));
        c2 += static_cast<std::uint64_t>(__builtin_popcountll(a[i + 2] & b[i + 2]));
        c3 += static_cast<std::uint64_t>(__builtin_popcountll(a[i + 3] & b[i + 3]));
    }
    for (; i < n; ++i) c0 += static_cast<std::uint64_t>(__builtin_popcountll(a[i] & b[i]));
    return c0 + c1 + c2 + c3;
}

// Nibble lookup with a byte shuffle, summed per 64-bit lane.
__attribute__((target("avx2,popcnt"))) inline std::uint64_t count_and_avx2(const Word *a, const Word *b,
                                                                           std::size_t n) noexcept {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1, 2,
                                           2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_set1_epi8(0x0f);
    __m256i acc = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256i v = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i)),
                                           _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i)));
        const __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(v, low));
        const __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(v, 4), low));
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(_mm256_add_epi8(lo, hi), _mm256_setzero_si256()));
    }
    std::uint64_t c = static_cast<std::uint64_t>(_mm256_extract_epi64(acc, 0) + _mm256_extract_epi64(acc, 1) +
                                                 _mm256_extract_epi64(acc, 2) + _mm256_extract_epi64(acc, 3));
    for (; i < n; ++i) c += static_cast<std::uint64_t>(__builtin_popcountll(a[i] & b[i]));
    return c;
}

// The compiler turns this loop into vpopcntq over 512-bit vectors.
__attribute__((target("avx512f,avx512vpopcntdq,popcnt"))) inline std::uint64_t count_and_avx512(
    const Word *a, const Word *b, std::size_t n) noexcept {
    std::uint64_t c = 0;
    for (std::size_t i = 0; i < n; ++i) c += static_cast<std::uint64_t>(__builtin_popcountll(a[i] & b[i]));
    return c;
}
#endif

using CountAnd = std::uint64_t (*)(const Word *, const Word *, std::size_t) noexcept;

inline CountAnd pick_count_and() noexcept {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512vpopcntdq")) return count_and_avx512;
    if (__builtin_cpu_supports("avx2")) return count_and_avx2;
    if (__builtin_cpu_supports("popcnt")) return count_and_popcnt;
#endif
    return count_and_portable;
}

}  // namespace detail

// The number of bits set in both a[0..n) and b[0..n).
inline std::uint64_t count_and(const Word *a, const Word *b, std::size_t n) noexcept {
    static const detail::CountAnd impl = detail::pick_count_and();
    return impl(a, b, n);
}

inline std::uint64_t count(const Word *a, std::size_t n) noexcept { return count_and(a, a, n); }

inline void set(Word *w, std::uint32_t i) noexcept { w[i / word_bits] |= Word(1) << (i % word_bits); }
inline void clear(Word *w, std::uint32_t i) noexcept { w[i / word_bits] &= ~(Word(1) << (i % word_bits)); }
inline bool test(const Word *w, std::uint32_t i) noexcept { return (w[i / word_bits] >> (i % word_bits) & 1) != 0; }

// Calls visit(index) for every set bit of w, lowest first; `base` is w's first index.
template <class Visit>
void for_each_bit(Word w, std::uint32_t base, Visit &&visit) {
    while (w != 0) {
        visit(base + static_cast<std::uint32_t>(__builtin_ctzll(w)));
        w &= w - 1;
    }
}

}  // namespace corvane::bits
