#pragma once

// Where Python code can run inside a call, and why that is harmless.
//
// Python code of the caller's runs while arguments convert (len(), iter(),
// the items of an iterable). It also runs at any allocation of a
// GC-tracked object (a list, set, dict or tuple): that can start a cyclic
// collection, which runs the finalizers (__del__, weakref.finalize, weakref
// callbacks) of unrelated objects, and those may change any store. A
// result built from a store read before such an allocation would then
// write past its end or hand out what is gone.
//
// So every bound callable pauses automatic collection from the moment its
// arguments are converted until its result is complete (callables.hpp):
// nothing it reads from a store can change under it. An argument converted
// lazily, inside the call (setdefault's default, update's values), runs the
// caller's code under the pause; that code may switch the collector back on
// (or run it explicitly), so the conversion renews the pause afterwards and
// the call reads the store afresh.

#include <Python.h>

namespace corvane {

// Pauses nest, and a thread may run Python code (and so let another thread
// in) only where a lazy conversion runs the caller's code; the state is kept
// for all pauses together (under the GIL, so no thread-local storage, whose
// first use in a thread can abort when memory runs out): the collector is
// switched on again when the last pause ends, if it was on when the first
// began or was switched on meanwhile.
class GcPause {
public:
    GcPause() noexcept {
        if (depth_++ == 0) resume_ = false;
        hold();
    }
    ~GcPause() {
        if (--depth_ == 0 && resume_) PyGC_Enable();
    }
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;

    // After Python code ran inside a pause: it may have switched the
    // collector on, so pause it again.
    static void renew() noexcept {
        if (depth_ > 0) hold();
    }

private:
    static void hold() noexcept {
        if (PyGC_Disable() == 1) resume_ = true;
    }

    static inline unsigned depth_ = 0;
    static inline bool resume_ = false;
};

}  // namespace corvane
