#pragma once

// Where carrier buffers come from. A test harness may define these before
// including the carriers, to make chosen allocations fail.

#include <cstdlib>

#ifndef CORVANE_CARRIERS_MALLOC
#define CORVANE_CARRIERS_MALLOC std::malloc
#endif
#ifndef CORVANE_CARRIERS_ALIGNED_ALLOC
#define CORVANE_CARRIERS_ALIGNED_ALLOC std::aligned_alloc
#endif
