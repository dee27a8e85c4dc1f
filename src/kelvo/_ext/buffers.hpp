// Contiguous buffers of the helper modules' arguments, and their fast-call method entries.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "baw_core/arrays.hpp"
#include "baw_core/ref.hpp"

namespace kelvo {

// A contiguous one-dimensional buffer of float64 ('d'), int64 ('q') or bytes ('B'), released
// when the holder goes out of scope.
class ContiguousBuffer {
public:
    // False with TypeError naming the argument when obj is not such a buffer of kind.
    bool acquire(PyObject *obj, const char *name, char kind, bool writable = false) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (!buffer_.acquire(obj, flags)) return false;
        const Py_buffer &view = buffer_.view();
        const char *format = view.format != nullptr ? view.format : "B";
        if (*format == '@' || *format == '=' || *format == '<') ++format;
        const bool fits =
            view.ndim == 1 &&
            (kind == 'B' ? view.itemsize == 1
                         : view.itemsize == 8 &&
                               (kind == 'd' ? std::strcmp(format, "d") == 0
                                            : std::strcmp(format, "q") == 0 ||
                                                  std::strcmp(format, "l") == 0));
        if (!fits) {
            PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional contiguous %s", name,
                         kind == 'd' ? "float64 array" : kind == 'q' ? "int64 array" : "bytes");
        }
        return fits;
    }

    template <typename T>
    T *data() const { return static_cast<T *>(buffer_.view().buf); }
    Py_ssize_t size() const { return buffer_.view().len / buffer_.view().itemsize; }

private:
    HeldBuffer buffer_;
};

// False with TypeError unless a function called name was given n arguments.
inline bool takes(const char *name, Py_ssize_t nargs, Py_ssize_t n) {
    if (nargs == n) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, n, nargs);
    return false;
}

// An integer argument of function within [lo, hi]: false with TypeError for a non-integer,
// OverflowError for one beyond 64 bits and ValueError naming the range otherwise.
inline bool integer_argument(const char *function, const char *name, PyObject *obj,
                             std::int64_t lo, std::int64_t hi, std::int64_t &value) {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    const long long read = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (read == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) {
        PyErr_Format(PyExc_OverflowError, "%s(): %s=%R does not fit in 64 bits", function, name,
                     index.get());
        return false;
    }
    if (read < lo || read > hi) {
        PyErr_Format(PyExc_ValueError, "%s(): %s must be from %lld to %lld, not %lld", function,
                     name, static_cast<long long>(lo), static_cast<long long>(hi), read);
        return false;
    }
    value = read;
    return true;
}

// The largest `threads` a call takes.
constexpr std::int64_t MAX_THREADS = 1024;

// The threads argument of function: 0 (as many as pay) for None or when not given (obj null),
// else an integer from 1 to MAX_THREADS; false with the exception of integer_argument.
inline bool threads_argument(const char *function, PyObject *obj, int &threads) {
    threads = 0;
    if (obj == nullptr || obj == Py_None) return true;
    if (!PyIndex_Check(obj) || PyBool_Check(obj)) {  // threads=True is no count
        PyErr_Format(PyExc_TypeError, "%s(): threads must be an integer or None, not %.200s",
                     function, Py_TYPE(obj)->tp_name);
        return false;
    }
    std::int64_t value = 0;
    if (!integer_argument(function, "threads", obj, 1, MAX_THREADS, value)) return false;
    threads = static_cast<int>(value);
    return true;
}

// threads_argument for a function whose other arguments are positional (args[0..nargs)) and
// whose only keyword is threads: TypeError for any other keyword or threads given twice.
inline bool threads_keyword(const char *function, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames, int &threads) {
    PyObject *given = nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (given != nullptr || !PyUnicode_Check(key) ||
            PyUnicode_CompareWithASCIIString(key, "threads") != 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes the keyword threads only, once, not %R",
                         function, key);
            return false;
        }
        given = args[nargs + k];
    }
    return threads_argument(function, given, threads);
}

// body() (a new reference, or null with an exception set) with the C++ runtime's allocation
// failures as MemoryError: no C++ exception may leave a module function. body must not let one
// escape while the thread is detached (Detached reattaches as it unwinds).
template <typename Body>
PyObject *allocation_failure_as_memory_error(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::length_error &) {
        return PyErr_NoMemory();
    }
}

// A METH_FASTCALL function, with METH_KEYWORDS or not, as the PyCFunction a method table
// holds.
template <typename FastFunction>
inline PyCFunction fast_call(FastFunction function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

}  // namespace kelvo
