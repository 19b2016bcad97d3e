#pragma once

// The hot loops over blocks, each in a portable form and, on x86-64, in the
// widest form the processor offers, chosen once at run time: the module is
// built for any x86-64 (and builds elsewhere with the portable forms).
//
// - Bitmap words: AND with population count, and OR; AVX-512 VPOPCNTDQ, AVX2
//   (population count by nibble lookup with a byte shuffle: Mula, Kurz,
//   Lemire 2018), or the popcnt instruction.
// - Sorted 16-bit arrays: the common values of two, by SSE4.2 string
//   comparison of 8 values against 8 (pcmpistrm; Schlegel, Willhalm, Lehner
//   2011); each step advances the side whose block of 8 ends lower.

#include <cstddef>
#include <cstdint>
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace corvane::carriers {

using Word = std::uint64_t;
using Offset = std::uint16_t;

// Arrays are read 8 offsets at a time, never past their buffers: every
// array has room for at least this many offsets (a short one is read from
// its start), and a longer one's last few are read as its last 8.
inline constexpr std::uint32_t array_room_min = 12;

namespace simd {

// ---- portable forms -----------------------------------------------------

inline std::uint64_t count_and_portable(const Word *a, const Word *b, std::size_t n) noexcept {
    std::uint64_t c = 0;
    for (std::size_t i = 0; i < n; ++i) c += static_cast<std::uint64_t>(__builtin_popcountll(a[i] & b[i]));
    return c;
}

inline std::uint64_t and_into_portable(Word *out, const Word *a, const Word *b, std::size_t n) noexcept {
    std::uint64_t c = 0;
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = a[i] & b[i];
        c += static_cast<std::uint64_t>(__builtin_popcountll(out[i]));
    }
    return c;
}

inline void or_into_portable(Word *out, const Word *a, const Word *b, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = a[i] | b[i];
}

// Branch-free merge: each step advances past the lower value, or both.
inline std::uint32_t merge_count_portable(const Offset *a, std::uint32_t na, const Offset *b,
                                          std::uint32_t nb) noexcept {
    std::uint32_t i = 0, j = 0, c = 0;
    while (i < na && j < nb) {
        const Offset x = a[i], y = b[j];
        c += x == y;
        i += x <= y;
        j += y <= x;
    }
    return c;
}

inline std::uint32_t merge_into_portable(const Offset *a, std::uint32_t na, const Offset *b, std::uint32_t nb,
                                         Offset *out) noexcept {
    std::uint32_t i = 0, j = 0, c = 0;
    while (i < na && j < nb) {
        const Offset x = a[i], y = b[j];
        out[c] = x;
        c += x == y;
        i += x <= y;
        j += y <= x;
    }
    return c;
}

#if defined(__x86_64__)

// ---- x86-64 forms -------------------------------------------------------

#define CORVANE_TARGET(t) __attribute__((target(t)))

// Four accumulators keep popcnt's latency off the critical path.
CORVANE_TARGET("popcnt") inline std::uint64_t count_and_popcnt(const Word *a, const Word *b, std::size_t n) noexcept {
    std::uint64_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        c0 += static_cast<std::uint64_t>(_mm_popcnt_u64(a[i] & b[i]));
        c1 += static_cast<std::uint64_t>(_mm_popcnt_u64(a[i + 1] & b[i + 1]));
        c2 += static_cast<std::uint64_t>(_mm_popcnt_u64(a[i + 2] & b[i + 2]));
        c3 += static_cast<std::uint64_t>(_mm_popcnt_u64(a[i + 3] & b[i + 3]));
    }
    for (; i < n; ++i) c0 += static_cast<std::uint64_t>(_mm_popcnt_u64(a[i] & b[i]));
    return c0 + c1 + c2 + c3;
}

CORVANE_TARGET("popcnt")
inline std::uint64_t and_into_popcnt(Word *out, const Word *a, const Word *b, std::size_t n) noexcept {
    std::uint64_t c = 0;
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = a[i] & b[i];
        c += static_cast<std::uint64_t>(_mm_popcnt_u64(out[i]));
    }
    return c;
}

// Population count of the 64-bit lanes of v by nibble lookup.
CORVANE_TARGET("avx2") inline __m256i popcount_lanes_avx2(__m256i v) noexcept {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1, 2,
                                           2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_set1_epi8(0x0f);
    const __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(v, low));
    const __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(v, 4), low));
    return _mm256_sad_epu8(_mm256_add_epi8(lo, hi), _mm256_setzero_si256());
}

CORVANE_TARGET("avx2") inline std::uint64_t sum_lanes_avx2(__m256i v) noexcept {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(s)) + static_cast<std::uint64_t>(_mm_extract_epi64(s, 1));
}

// n is a multiple of 4 (whole bitmaps are).
CORVANE_TARGET("avx2,popcnt")
inline std::uint64_t count_and_avx2(const Word *a, const Word *b, std::size_t n) noexcept {
    __m256i acc = _mm256_setzero_si256();
    for (std::size_t i = 0; i < n; i += 4) {
        const __m256i v = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i)),
                                           _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i)));
        acc = _mm256_add_epi64(acc, popcount_lanes_avx2(v));
    }
    return sum_lanes_avx2(acc);
}

CORVANE_TARGET("avx2,popcnt")
inline std::uint64_t and_into_avx2(Word *out, const Word *a, const Word *b, std::size_t n) noexcept {
    __m256i acc = _mm256_setzero_si256();
    for (std::size_t i = 0; i < n; i += 4) {
        const __m256i v = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i)),
                                           _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), v);
        acc = _mm256_add_epi64(acc, popcount_lanes_avx2(v));
    }
    return sum_lanes_avx2(acc);
}

CORVANE_TARGET("avx2") inline void or_into_avx2(Word *out, const Word *a, const Word *b, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; i += 4) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i),
                            _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i)),
                                            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i))));
    }
}

// (GCC 12's _mm512_reduce_add_epi64 warns of an uninitialised value.)
CORVANE_TARGET("avx512f") inline std::uint64_t sum_lanes_avx512(__m512i v) noexcept {
    alignas(64) std::uint64_t lanes[8];
    _mm512_store_si512(lanes, v);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3] + lanes[4] + lanes[5] + lanes[6] + lanes[7];
}

// n is a multiple of 8 (whole bitmaps are).
CORVANE_TARGET("avx512f,avx512vpopcntdq")
inline std::uint64_t count_and_avx512(const Word *a, const Word *b, std::size_t n) noexcept {
    __m512i acc = _mm512_setzero_si512();
    for (std::size_t i = 0; i < n; i += 8) {
        acc = _mm512_add_epi64(
            acc, _mm512_popcnt_epi64(_mm512_and_si512(_mm512_loadu_si512(a + i), _mm512_loadu_si512(b + i))));
    }
    return sum_lanes_avx512(acc);
}

CORVANE_TARGET("avx512f,avx512vpopcntdq")
inline std::uint64_t and_into_avx512(Word *out, const Word *a, const Word *b, std::size_t n) noexcept {
    __m512i acc = _mm512_setzero_si512();
    for (std::size_t i = 0; i < n; i += 8) {
        const __m512i v = _mm512_and_si512(_mm512_loadu_si512(a + i), _mm512_loadu_si512(b + i));
        _mm512_storeu_si512(out + i, v);
        acc = _mm512_add_epi64(acc, _mm512_popcnt_epi64(v));
    }
    return sum_lanes_avx512(acc);
}

CORVANE_TARGET("avx512f")
inline void or_into_avx512(Word *out, const Word *a, const Word *b, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; i += 8) {
        _mm512_storeu_si512(out + i, _mm512_or_si512(_mm512_loadu_si512(a + i), _mm512_loadu_si512(b + i)));
    }
}

// Byte shuffles that move lanes k.. of a vector of 8 offsets down to 0..
struct LaneShifts {
    alignas(16) std::uint8_t masks[8][16];
    constexpr LaneShifts() : masks() {
        for (int k = 0; k < 8; ++k) {
            for (int b = 0; b < 16; ++b) masks[k][b] = b + 2 * k < 16 ? static_cast<std::uint8_t>(b + 2 * k) : 0x80;
        }
    }
};
inline constexpr LaneShifts lane_shifts;

// The offsets of a (n in all) from position i on, as many as 8, in lanes
// 0..: loaded in place, within the array's buffer (array_room_min).
CORVANE_TARGET("sse4.2,popcnt") inline __m128i load_from(const Offset *a, std::uint32_t n, std::uint32_t i) noexcept {
    if (i + 8 <= n || n < 8) return _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + n - 8));
    return _mm_shuffle_epi8(last, _mm_load_si128(reinterpret_cast<const __m128i *>(lane_shifts.masks[i + 8 - n])));
}

// The values of a from i on (la of them, at most 8) that b holds from j on
// (lb of them), as a bit mask over a's lanes.
CORVANE_TARGET("sse4.2,popcnt")
inline unsigned common_lanes(const Offset *a, std::uint32_t na, std::uint32_t i, int la, const Offset *b,
                             std::uint32_t nb, std::uint32_t j, int lb) noexcept {
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_cmpestrm(load_from(b, nb, j), lb, load_from(a, na, i), la,
                                                                _SIDD_UWORD_OPS | _SIDD_CMP_EQUAL_ANY | _SIDD_BIT_MASK)));
}

// The mask of the values of a[0..8) that b[0..8) holds too: 8 against 8 as
// strings that end at a zero value (0 can only lead an array, and callers
// skip it).
CORVANE_TARGET("sse4.2,popcnt") inline unsigned common_lanes8(__m128i va, __m128i vb) noexcept {
    return static_cast<unsigned>(
        _mm_cvtsi128_si32(_mm_cmpistrm(vb, va, _SIDD_UWORD_OPS | _SIDD_CMP_EQUAL_ANY | _SIDD_BIT_MASK)));
}

// Calls found(i, mask) for each block of up to 8 values of a starting at i,
// with the mask of those that b holds too. Each step loads only the side it
// advanced past.
// (Clang's sse4.2 does not imply popcnt, as GCC's does: without it here,
// merge_count_sse's popcount could not be inlined into this loop.)
template <class Found>
CORVANE_TARGET("sse4.2,popcnt")
inline void merge_blocks_sse(const Offset *a, std::uint32_t na, const Offset *b, std::uint32_t nb,
                             Found &&found) noexcept {
    std::uint32_t i = 0, j = 0;
    if (na != 0 && nb != 0) {  // a leading 0 is matched here and skipped
        if (a[0] == 0 && b[0] == 0) found(0, 1u);
        i = a[0] == 0;
        j = b[0] == 0;
    }
    if (i + 8 <= na && j + 8 <= nb) {
        __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
        __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + j));
        for (;;) {
            found(i, common_lanes8(va, vb));
            const Offset amax = a[i + 7], bmax = b[j + 7];
            if (amax <= bmax) {
                i += 8;
                if (i + 8 > na) break;
                va = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
            }
            if (bmax <= amax) {
                j += 8;
                if (j + 8 > nb) break;
                vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + j));
            }
        }
    }
    // The rest, as blocks of fewer than 8 where one side runs out.
    while (i < na && j < nb) {
        const int la = static_cast<int>(na - i < 8 ? na - i : 8), lb = static_cast<int>(nb - j < 8 ? nb - j : 8);
        found(i, common_lanes(a, na, i, la, b, nb, j, lb));
        const Offset amax = a[i + static_cast<std::uint32_t>(la) - 1], bmax = b[j + static_cast<std::uint32_t>(lb) - 1];
        if (amax <= bmax) i += static_cast<std::uint32_t>(la);
        if (bmax <= amax) j += static_cast<std::uint32_t>(lb);
    }
}

CORVANE_TARGET("sse4.2,popcnt")
inline std::uint32_t merge_count_sse(const Offset *a, std::uint32_t na, const Offset *b, std::uint32_t nb) noexcept {
    std::uint32_t c = 0;
    merge_blocks_sse(a, na, b, nb, [&](std::uint32_t, unsigned mask) CORVANE_TARGET("sse4.2,popcnt") {
        c += static_cast<std::uint32_t>(_mm_popcnt_u32(mask));
    });
    return c;
}

CORVANE_TARGET("sse4.2,popcnt")
inline std::uint32_t merge_into_sse(const Offset *a, std::uint32_t na, const Offset *b, std::uint32_t nb,
                                    Offset *out) noexcept {
    std::uint32_t c = 0;
    merge_blocks_sse(a, na, b, nb, [&](std::uint32_t i, unsigned mask) {
        for (; mask != 0; mask &= mask - 1) out[c++] = a[i + static_cast<std::uint32_t>(__builtin_ctz(mask))];
    });
    return c;
}

#undef CORVANE_TARGET

#endif  // __x86_64__

// ---- the choice, made once ----------------------------------------------

struct Kernels {
    // Bits set in a AND b over n words.
    std::uint64_t (*count_and)(const Word *, const Word *, std::size_t) noexcept;
    // out = a AND b over n words; returns the bits set in out.
    std::uint64_t (*and_into)(Word *, const Word *, const Word *, std::size_t) noexcept;
    // out = a OR b over n words; out may be a or b.
    void (*or_into)(Word *, const Word *, const Word *, std::size_t) noexcept;
    // The values two sorted arrays share: counted, or written in order to out.
    std::uint32_t (*merge_count)(const Offset *, std::uint32_t, const Offset *, std::uint32_t) noexcept;
    std::uint32_t (*merge_into)(const Offset *, std::uint32_t, const Offset *, std::uint32_t, Offset *) noexcept;
};

#if defined(__x86_64__)
// What this processor and its operating system support, read from cpuid and
// xgetbv here rather than through the compiler's __builtin_cpu_supports,
// which some toolchains' run-time libraries leave unset (reporting nothing).
struct Cpu {
    bool popcnt = false, sse42 = false, avx2 = false, avx512_popcnt = false;
};

inline Cpu detect_cpu() noexcept {
    Cpu cpu;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return cpu;
    cpu.popcnt = (c >> 23 & 1) != 0;
    cpu.sse42 = (c >> 20 & 1) != 0;
    const bool avx = (c >> 28 & 1) != 0, osxsave = (c >> 27 & 1) != 0;
    std::uint64_t xcr0 = 0;  // the register state the system saves: vector units it does not are off
    if (osxsave) {
        unsigned lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        xcr0 = (std::uint64_t(hi) << 32) | lo;
    }
    const bool ymm = (xcr0 & 0x6) == 0x6, zmm = (xcr0 & 0xe6) == 0xe6;
    if (__get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        cpu.avx2 = avx && ymm && (b >> 5 & 1) != 0;
        cpu.avx512_popcnt = zmm && (b >> 16 & 1) != 0 && (c >> 14 & 1) != 0;  // AVX-512F and VPOPCNTDQ
    }
    return cpu;
}
#endif

inline Kernels pick() noexcept {
    Kernels k{count_and_portable, and_into_portable, or_into_portable, merge_count_portable, merge_into_portable};
#if defined(__x86_64__)
    const Cpu cpu = detect_cpu();
    if (cpu.popcnt) {
        k.count_and = count_and_popcnt;
        k.and_into = and_into_popcnt;
    }
    if (cpu.sse42 && cpu.popcnt) {
        k.merge_count = merge_count_sse;
        k.merge_into = merge_into_sse;
    }
    if (cpu.avx2) {
        k.count_and = count_and_avx2;
        k.and_into = and_into_avx2;
        k.or_into = or_into_avx2;
    }
    if (cpu.avx512_popcnt) {
        k.count_and = count_and_avx512;
        k.and_into = and_into_avx512;
        k.or_into = or_into_avx512;
    }
#endif
    return k;
}

inline const Kernels &kernels() noexcept {
    static const Kernels chosen = pick();
    return chosen;
}

}  // namespace simd

}  // namespace corvane::carriers
