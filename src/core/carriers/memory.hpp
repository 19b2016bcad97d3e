#pragma once

// Where carrier buffers come from and go back to. A test harness may define
// these before including the carriers, to make chosen allocations fail.
//
// A block's buffer is an array or a cache-aligned bitmap and is freed alike,
// whatever it is; the Windows C runtime frees aligned memory only with
// _aligned_free (and has no aligned_alloc), so there every buffer is aligned.

#include <cstddef>
#include <cstdlib>

#if defined(_WIN32) && !defined(CORVANE_CARRIERS_MALLOC)
#include <malloc.h>

namespace corvane::carriers::memory {
inline void *plain(std::size_t n) noexcept { return _aligned_malloc(n, alignof(std::max_align_t)); }
inline void *aligned(std::size_t alignment, std::size_t n) noexcept { return _aligned_malloc(n, alignment); }
inline void release(void *p) noexcept { _aligned_free(p); }
}  // namespace corvane::carriers::memory

#define CORVANE_CARRIERS_MALLOC corvane::carriers::memory::plain
#define CORVANE_CARRIERS_ALIGNED_ALLOC corvane::carriers::memory::aligned
#define CORVANE_CARRIERS_FREE corvane::carriers::memory::release
#endif

#ifndef CORVANE_CARRIERS_MALLOC
#define CORVANE_CARRIERS_MALLOC std::malloc
#endif
#ifndef CORVANE_CARRIERS_ALIGNED_ALLOC
#define CORVANE_CARRIERS_ALIGNED_ALLOC std::aligned_alloc
#endif
#ifndef CORVANE_CARRIERS_FREE
#define CORVANE_CARRIERS_FREE std::free
#endif
