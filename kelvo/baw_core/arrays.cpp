#include "arrays.hpp"

#include <cstring>

namespace kelvo {
namespace {

template <typename T> struct BufferFormat;
template <> struct BufferFormat<double> { static constexpr char code = 'd'; };
template <> struct BufferFormat<int> { static constexpr char code = 'i'; };

// Native-order single item of the given struct code: "d", "@d", "=d" (and "<d" on little endian).
bool is_native_format(const char *format, char code) {
    if (format == nullptr) return code == 'B';
    if (*format == '@' || *format == '=') ++format;
#if PY_LITTLE_ENDIAN
    else if (*format == '<') ++format;
#else
    else if (*format == '>') ++format;
#endif
    return format[0] == code && format[1] == '\0';
}

}  // namespace

template <typename T>
bool StridedView<T>::acquire(PyObject *obj, int flags) {
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    if (view_.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     1, view_.ndim);
        return false;
    }
    if (view_.itemsize != static_cast<Py_ssize_t>(sizeof(T)) ||
        !is_native_format(view_.format, BufferFormat<T>::code)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%c' but got '%s'",
                     BufferFormat<T>::code, view_.format ? view_.format : "B");
        return false;
    }
    return true;
}

template class StridedView<double>;
template class StridedView<int>;

bool require_length(const char *name, Py_ssize_t size, Py_ssize_t n) {
    if (size >= n) return true;
    PyErr_Format(PyExc_ValueError, "%s has %zd elements, expected at least %zd", name, size, n);
    return false;
}

Ref np_attribute(const char *attr) {
    Ref np = lookup_global(entry_context.np_name);
    if (!np) return Ref();
    return Ref(PyObject_GetAttrString(np.get(), attr));
}

static Ref call_with_dtype(PyObject *callable, PyObject *arg, PyObject *dtype) {
    PyObject *argv[] = {arg, dtype};
    return Ref(PyObject_Vectorcall(callable, argv, 1, entry_context.dtype_kwnames));
}

Ref np_call_with_dtype(const char *function, PyObject *arg, PyObject *dtype) {
    Ref callable = np_attribute(function);
    if (!callable) return Ref();
    return call_with_dtype(callable.get(), arg, dtype);
}

Ref np_call_with_dtype(const char *function, PyObject *arg, const char *dtype_attr) {
    Ref callable = np_attribute(function);
    if (!callable) return Ref();
    Ref dtype = np_attribute(dtype_attr);
    if (!dtype) return Ref();
    return call_with_dtype(callable.get(), arg, dtype.get());
}

}  // namespace kelvo
