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
    if (!buffer_.acquire(obj, flags)) return false;
    const Py_buffer &view = buffer_.view();
    if (view.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                     1, view.ndim);
        buffer_.release();
        return false;
    }
    if (view.itemsize != static_cast<Py_ssize_t>(sizeof(T)) ||
        !is_native_format(view.format, BufferFormat<T>::code)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%c' but got '%s'",
                     BufferFormat<T>::code, view.format ? view.format : "B");
        buffer_.release();
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

// A new reference to key's value in dict, or nothing (with an exception set on error).
static Ref dict_lookup(PyObject *dict, PyObject *key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) return Ref();
    return Ref(value);
#else
    return Ref::borrowed(PyDict_GetItemWithError(dict, key));
#endif
}

// name in the module globals, then in the builtins; NameError when absent.
static Ref lookup_global(PyObject *name) {
    Ref value = dict_lookup(PyModule_GetDict(entry_context.module), name);
    if (value || PyErr_Occurred()) return value;
#if PY_VERSION_HEX >= 0x030D0000
    Ref builtins(PyEval_GetFrameBuiltins());
#else
    Ref builtins = Ref::borrowed(PyEval_GetBuiltins());
#endif
    if (!builtins) return Ref();
    value = dict_lookup(builtins.get(), name);
    if (!value && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
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
