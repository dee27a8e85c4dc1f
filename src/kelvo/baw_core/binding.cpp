#include "binding.hpp"

#include <cstring>

namespace kelvo {

EntryContext entry_context = {nullptr, nullptr, nullptr, nullptr};

bool complete_signature(Signature &sig, const char *qualname) {
    sig.qualname = qualname;
    sig.n_params = 0;
    while (sig.n_params < MAX_PARAMS && sig.param_names[sig.n_params] != nullptr) ++sig.n_params;
    for (int i = 0; i < sig.n_params; ++i) {
        if (sig.name_objects[i] == nullptr) {
            sig.name_objects[i] = PyUnicode_InternFromString(sig.param_names[i]);
            if (sig.name_objects[i] == nullptr) return false;
        }
    }
    if (sig.keyword_only != nullptr && sig.keyword_only_object == nullptr) {
        sig.keyword_only_object = PyUnicode_InternFromString(sig.keyword_only);
        if (sig.keyword_only_object == nullptr) return false;
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
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.bind(static_cast<int>(i), args[i]);
    if (nkw == 0) return true;

    const int first_keyword = static_cast<int>(nargs);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        if (sig.keyword_only_object != nullptr && bound[KEYWORD_ONLY] == nullptr &&
            (key == sig.keyword_only_object || same_text(sig.keyword_only_object, key))) {
            bound.bind(KEYWORD_ONLY, value);
            continue;
        }
        const int index = find_parameter(sig, key, first_keyword);
        if (index >= 0 && bound[index] == nullptr) {
            bound.bind(index, value);
            continue;
        }
        // A positional parameter named again, or (only through the native call protocol)
        // the same keyword twice.
        bool given_twice = index >= 0 || (sig.keyword_only_object != nullptr &&
                                          same_text(sig.keyword_only_object, key));
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
    // NumPy's str scalar equals "c" as its text does (its own comparison drops a pending
    // KeyboardInterrupt)
    if (PyUnicode_CheckExact(flag) ||
        (PyUnicode_Check(flag) && std::strcmp(Py_TYPE(flag)->tp_name, "numpy.str_") == 0)) {
        return PyUnicode_GET_LENGTH(flag) == 1 && PyUnicode_READ_CHAR(flag, 0) == 'c';
    }
    if (flag == Py_None) return 0;
    Ref equal(PyObject_RichCompare(flag, entry_context.call_flag, Py_EQ));
    if (!equal) return -1;
    return PyObject_IsTrue(equal.get());
}

}  // namespace kelvo
