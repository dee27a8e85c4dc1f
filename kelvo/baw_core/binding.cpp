#include "binding.hpp"

#include <frameobject.h>

namespace kelvo {

EntryContext entry_context = {nullptr, nullptr, nullptr, nullptr};

bool intern_parameter_names(Signature &sig) {
    for (int i = 0; i < sig.n_params; ++i) {
        if (sig.name_objects[i] == nullptr) {
            sig.name_objects[i] = PyUnicode_InternFromString(sig.param_names[i]);
            if (sig.name_objects[i] == nullptr) return false;
        }
    }
    return true;
}

static void raise_count_error(const Signature &sig, Py_ssize_t given, bool too_many) {
    const char *wording;
    Py_ssize_t expected;
    if (sig.n_required == sig.n_params) {
        wording = "exactly";
        expected = sig.n_params;
    } else if (too_many) {
        wording = "at most";
        expected = sig.n_params;
    } else {
        wording = "at least";
        expected = sig.n_required;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, wording, expected, expected == 1 ? "" : "s", given);
}

static bool same_text(PyObject *a, PyObject *b) {
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}

// Index of the parameter at or after `first` that `key` names, or -1.
static int find_parameter(const Signature &sig, PyObject *key, int first) {
    for (int i = first; i < sig.n_params; ++i) {
        if (sig.name_objects[i] == key) return i;
    }
    for (int i = first; i < sig.n_params; ++i) {
        if (same_text(sig.name_objects[i], key)) return i;
    }
    return -1;
}

bool bind_arguments(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, BoundArgs &bound) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs > sig.n_params) {
        raise_count_error(sig, nargs, true);
        return false;
    }
    if (nkw == 0 && nargs < sig.n_required) {
        raise_count_error(sig, nargs, false);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        bound.slot(static_cast<int>(i)) = args[i];
    }
    if (nkw == 0) return true;

    const int first_keyword = static_cast<int>(nargs);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        const int index = find_parameter(sig, key, first_keyword);
        if (index >= 0 && bound[index] == nullptr) {
            Py_INCREF(value);
            bound.slot(index) = value;
            continue;
        }
        // A positional parameter named again, or (only through the native call protocol)
        // the same keyword twice.
        bool given_twice = index >= 0;
        for (int i = 0; i < first_keyword && !given_twice; ++i) {
            given_twice = same_text(sig.name_objects[i], key);
        }
        if (given_twice) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.name, key);
        }
        return false;
    }
    for (int i = first_keyword; i < sig.n_required; ++i) {
        if (bound[i] == nullptr) {
            raise_count_error(sig, i, false);
            return false;
        }
    }
    return true;
}

int flag_is_call(PyObject *flag) {
    if (flag == entry_context.call_flag) return 1;
    if (PyUnicode_CheckExact(flag)) {
        return PyUnicode_GET_LENGTH(flag) == 1 && PyUnicode_READ_CHAR(flag, 0) == 'c';
    }
    if (flag == Py_None) return 0;
    Ref equal(PyObject_RichCompare(flag, entry_context.call_flag, Py_EQ));
    if (!equal) return -1;
    return PyObject_IsTrue(equal.get());
}

namespace {

// The pending exception, taken out while the traceback entry is built.
class PendingException {
public:
    PendingException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    PendingException(const PendingException &) = delete;
    PendingException &operator=(const PendingException &) = delete;
    ~PendingException() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type_ = nullptr;
    PyObject *tb_ = nullptr;
#endif
    PyObject *exc_ = nullptr;
};

}  // namespace

// One code object per entry name, made on first use and kept: traceback entries of repeated
// failures then cost a frame only. Returns a new reference.
static Ref traceback_code(const char *funcname, const char *filename, int lineno) {
    struct CachedCode {
        const char *funcname;
        PyObject *code;
    };
    static CachedCode cache[8] = {};
#ifdef Py_GIL_DISABLED
    // Only reached with the GIL forced off (PYTHON_GIL=0); the module asks for it otherwise.
    static PyMutex cache_lock = {0};
    struct Locked {
        Locked() { PyMutex_Lock(&cache_lock); }
        ~Locked() { PyMutex_Unlock(&cache_lock); }
    } locked;
#endif
    for (CachedCode &entry : cache) {
        if (entry.funcname == funcname) return Ref::borrowed(entry.code);
        if (entry.funcname == nullptr) {
            PyObject *code = reinterpret_cast<PyObject *>(PyCode_NewEmpty(filename, funcname, lineno));
            if (code == nullptr) return Ref();
            entry = {funcname, code};
            return Ref::borrowed(code);
        }
    }
    return Ref(reinterpret_cast<PyObject *>(PyCode_NewEmpty(filename, funcname, lineno)));
}

void add_traceback(const char *funcname, const char *filename, int lineno) {
    if (entry_context.module == nullptr) return;
    Ref frame;
    {
        PendingException pending;
        Ref code = traceback_code(funcname, filename, lineno);
        if (!code) {
            PyErr_Clear();
            return;
        }
        PyObject *globals = PyModule_GetDict(entry_context.module);
        frame = Ref(reinterpret_cast<PyObject *>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), globals, nullptr)));
        if (!frame) {
            PyErr_Clear();
            return;
        }
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
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

Ref lookup_global(PyObject *name) {
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

}  // namespace kelvo
