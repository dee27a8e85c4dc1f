// The calling thread detached from the interpreter for a numeric loop, with a way for the main
// thread to take pending signals (Ctrl-C) as the loop goes.
#pragma once

#include <chrono>

#include "binding.hpp"

namespace kelvo {

// Looks up the thread that runs Python's signal handlers; false with an exception.
bool find_main_thread();

// True on the thread that runs Python's signal handlers. Other threads never poll: reattaching
// there could wait for an interpreter lock another thread holds, and would gain nothing.
bool thread_takes_signals();

class Detached {
public:
    // Attached on entry (the main-thread test reads the interpreter), detached on return.
    Detached() : polls_(thread_takes_signals()), state_(PyEval_SaveThread()) {}
    Detached(const Detached &) = delete;
    Detached &operator=(const Detached &) = delete;
    ~Detached() { reattach(); }

    // Called often from the loop; every POLL_INTERVAL of work the main thread reattaches, runs
    // the signal handlers and detaches again. False once a handler raised: the loop stops, and
    // the exception is set when the thread is attached again.
    bool keep_going() {
        if (!polls_ || Clock::now() < next_poll_) return true;
        PyEval_RestoreThread(state_);
        const bool ok = PyErr_CheckSignals() == 0;
        state_ = PyEval_SaveThread();
        next_poll_ = Clock::now() + POLL_INTERVAL;
        if (!ok) polls_ = false;
        interrupted_ = interrupted_ || !ok;
        return ok;
    }

    // A C callback form of keep_going, for kernel loops that take one.
    static int keep_going_callback(void *self) { return static_cast<Detached *>(self)->keep_going(); }

    void reattach() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
        state_ = nullptr;
    }
    bool interrupted() const { return interrupted_; }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds POLL_INTERVAL{5};

    bool polls_;
    bool interrupted_ = false;
    Clock::time_point next_poll_ = Clock::now() + POLL_INTERVAL;
    PyThreadState *state_;
};

}  // namespace kelvo
