#include "detached.hpp"

#include <pthread.h>

#include <atomic>

#include "pythread.h"

namespace kelvo {

namespace {

// Python's main thread, looked up when the module starts: only it runs signal handlers.
std::atomic<unsigned long> main_thread_ident{0};

// In a child forked from another thread, the forking thread is Python's main thread there.
void forked_child() {
    main_thread_ident.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
}

}  // namespace

// At start-up, where an exception can propagate: threading.main_thread() runs Python code, and
// with it any pending signal handler, whose KeyboardInterrupt a numeric call could only drop.
bool find_main_thread() {
    if (main_thread_ident.load(std::memory_order_relaxed) != 0) return true;
    Ref threading(PyImport_ImportModule("threading"));
    if (!threading) return false;
    Ref main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return false;
    Ref ident(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return false;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    main_thread_ident.store(value, std::memory_order_relaxed);
    pthread_atfork(nullptr, nullptr, forked_child);
    return true;
}

bool thread_takes_signals() {
    const unsigned long ident = main_thread_ident.load(std::memory_order_relaxed);
    return ident == 0 || PyThread_get_thread_ident() == ident;  // unknown: every thread polls
}

}  // namespace kelvo
