#pragma once

// Where Python code can run inside a call, and why that is harmless.
//
// Python code of the caller's runs while arguments convert (len(), iter(),
// the items of an iterable), and when the last reference to one of the
// caller's objects goes (its __del__). It also runs at any allocation of a
// GC-tracked object (a list, set, dict or tuple): that can start a cyclic
// collection, which runs the finalizers (__del__, weakref.finalize, weakref
// callbacks) of unrelated objects, and those may change any store. A
// result built from a store read before such an allocation would then
// write past its end or hand out what is gone.
//
// So every bound callable pauses automatic collection from the moment its
// arguments are converted until its result is complete (callables.hpp):
// nothing it reads from a store can change under it. Whatever runs the
// caller's code inside the call (setdefault's default and update's values
// converted lazily, update dropping its hold on an entry the caller's code
// took out of the dict) does so with the pause lifted (GcPause::Lift), as
// that code would run outside the call: it may collect, switch the
// collector on or off, or let the interpreter lock go to other threads. The
// pause then resumes, to end in the state that code left, and the call
// reads the store afresh.

#include <Python.h>

namespace corvane {

// The state of a pause is its own: whether the collector was on when it
// began, to be switched on again when it ends. Pauses of one thread nest
// (a call in a lifted section of another); pauses of different threads
// interleave only while one is lifted, when its thread may let the
// interpreter lock go. Each pause therefore ends by restoring exactly what
// it found, whatever other threads' pauses did meanwhile. A Lift belongs to
// the innermost pause of its thread, found in the list of live pauses (held
// on the threads' stacks and linked under the interpreter lock, so that
// nothing is allocated: thread-local storage can abort on its first use in
// a thread when memory runs out).
class GcPause {
public:
    GcPause() noexcept : thread_(PyThreadState_Get()), resume_(PyGC_Disable() == 1), next_(live_) {
        if (next_ != nullptr) next_->prev_ = this;
        live_ = this;
    }
    ~GcPause() {
        (prev_ != nullptr ? prev_->next_ : live_) = next_;
        if (next_ != nullptr) next_->prev_ = prev_;
        if (resume_) PyGC_Enable();
    }
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;

    // Runs the caller's code as if no pause were on: the collector is as the
    // caller left it. Then the pause resumes, to end in the state that code
    // left. Lifts of one pause nest; outside any pause, a Lift does nothing.
    class Lift {
    public:
        Lift() noexcept : pause_(innermost()) {
            if (pause_ != nullptr && pause_->lifted_++ == 0 && pause_->resume_) PyGC_Enable();
        }
        ~Lift() {
            if (pause_ != nullptr && --pause_->lifted_ == 0) pause_->resume_ = PyGC_Disable() == 1;
        }
        Lift(const Lift &) = delete;
        Lift &operator=(const Lift &) = delete;

    private:
        GcPause *pause_;
    };

private:
    // This thread's innermost live pause, or null.
    static GcPause *innermost() noexcept {
        PyThreadState *thread = PyThreadState_Get();
        GcPause *p = live_;
        while (p != nullptr && p->thread_ != thread) p = p->next_;
        return p;
    }

    PyThreadState *thread_;
    bool resume_;
    unsigned lifted_ = 0;
    GcPause *prev_ = nullptr;
    GcPause *next_;
    static inline GcPause *live_ = nullptr;  // the most recent first
};

}  // namespace corvane
