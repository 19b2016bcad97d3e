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
// caller's code with the pause lifted (GcPause::Lift), as that code would
// run outside the call; it may collect, or switch the collector on or off.
// The pause then resumes, to end in the state the caller's code left, and
// the call reads the store afresh.

#include <Python.h>

#include <utility>

namespace corvane {

// Pauses nest (a call's code may call another), and a thread may run
// Python code (and so let another thread in) only inside a Lift; the state
// is kept for all pauses together (under the GIL, so no thread-local
// storage, whose first use in a thread can abort when memory runs out): the
// collector is switched on again when the last pause ends, if it was on
// when the first began, or when the last Lift ended.
class GcPause {
public:
    GcPause() noexcept {
        if (depth_++ == 0) resume_ = PyGC_Disable() == 1;
    }
    ~GcPause() {
        if (--depth_ == 0 && resume_) PyGC_Enable();
    }
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;

    // Runs the caller's code as if no pause were on: the collector is as the
    // caller left it, and pauses begun inside start afresh. Then the pause
    // resumes, to end in the state that code left. Outside any pause, does
    // nothing.
    class Lift {
    public:
        Lift() noexcept : paused_depth_(std::exchange(depth_, 0u)) {
            if (paused_depth_ > 0 && resume_) PyGC_Enable();
        }
        ~Lift() {
            depth_ = paused_depth_;
            if (depth_ > 0) resume_ = PyGC_Disable() == 1;
        }
        Lift(const Lift &) = delete;
        Lift &operator=(const Lift &) = delete;

    private:
        unsigned paused_depth_;
    };

private:
    static inline unsigned depth_ = 0;
    static inline bool resume_ = false;
};

}  // namespace corvane
