#include "detached.hpp"

#include <atomic>

#include "pythread.h"

namespace kelvo {

namespace {

// Python's main thread, looked up once: only it runs signal handlers.
std::atomic<unsigned long> main_thread_ident{0};

unsigned long lookup_main_thread() {
    Ref threading(PyImport_ImportModule("threading"));
    Ref main = threading ? Ref(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    Ref ident = main ? Ref(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred()) {
        // Without the answer, polling from any thread is safe, only slower.
        PyErr_Clear();
        return 0;
    }
    return value;
}

}  // namespace

bool thread_takes_signals() {
    unsigned long ident = main_thread_ident.load(std::memory_order_relaxed);
    if (ident == 0) {
        ident = lookup_main_thread();
        if (ident == 0) return true;
        main_thread_ident.store(ident, std::memory_order_relaxed);
    }
    return PyThread_get_thread_ident() == ident;
}

}  // namespace kelvo
