// SciPy's brentq for a program that embeds the interpreter, and the kernel's table of critical
// spots, as each module takes them at start-up; call after Py_Initialize.
#pragma once

#include <Python.h>

#include "kernel/pricing.hpp"
#include "kernel/root_search.hpp"

inline bool load_brentq() {
    PyObject *zeros = PyImport_ImportModule("scipy.optimize.cython_optimize._zeros");
    PyObject *capi = zeros ? PyObject_GetAttrString(zeros, "__pyx_capi__") : nullptr;
    PyObject *capsule = capi ? PyDict_GetItemString(capi, "brentq") : nullptr;
    if (capsule == nullptr) return false;
    kelvo::kernel::brentq = reinterpret_cast<kelvo::kernel::brentq_t>(
        PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
    if (kelvo::kernel::brentq == nullptr) return false;
#ifdef KELVO_CRITICAL_TABLE  // kernels from before it have none
    kelvo::kernel::build_critical_table();
#ifdef KELVO_COUNT_CALLS
    kelvo::kernel::call_counts = {};  // a counting build counts the quotes, not the table
#endif
#endif
    return true;
}
