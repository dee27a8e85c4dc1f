// Argument binding, conversion and the small owners the entry wrappers rely on.
#pragma once

#include "ref.hpp"

namespace kelvo {

constexpr int MAX_PARAMS = 6;

// How a Python-facing function binds its arguments. Written once per function, beside its
// body (as part of its Entry); the rest is filled in while the module starts.
struct Signature {
    const char *name;                     // plain name, as the binding messages show it
    const char *param_names[MAX_PARAMS];  // in order; fewer than MAX_PARAMS end in nullptr
    int n_required;                       // the parameters past these are optional
    double optional_default;              // the default of every optional parameter
    // Filled in at start-up:
    int n_params;
    const char *qualname;                // "kelvo.baw_core.<name>", the traceback entry's name
    PyObject *name_objects[MAX_PARAMS];  // interned, compared by identity first
    // A keyword-only parameter after the others (none when null), absent unless given.
    const char *keyword_only = nullptr;
    PyObject *keyword_only_object = nullptr;  // interned at start-up
};

// The slot of BoundArgs that holds the keyword-only parameter.
constexpr int KEYWORD_ONLY = MAX_PARAMS;

// Strong references to the bound arguments, one slot per parameter.
class BoundArgs {
public:
    BoundArgs() noexcept = default;
    BoundArgs(const BoundArgs &) = delete;
    BoundArgs &operator=(const BoundArgs &) = delete;
    // The bound value of parameter i (borrowed from the holder), or nullptr when not given;
    // i = KEYWORD_ONLY for the keyword-only parameter.
    PyObject *operator[](int i) const noexcept { return values_[i].get(); }
    void bind(int i, PyObject *value) { values_[i] = Ref::borrowed(value); }

private:
    Ref values_[MAX_PARAMS + 1];
};

// Counts and interns the parameter names and sets the qualified name; once, at start-up.
bool complete_signature(Signature &sig, const char *qualname);

// Binds a vectorcall (args, nargs, kwnames) to sig's parameters. False with TypeError set.
bool bind_arguments(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, BoundArgs &bound);

// Reads a double: exact floats directly, anything else through PyFloat_AsDouble.
inline bool to_double(PyObject *obj, double *out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

// 1 when flag == "c" under Python equality, 0 otherwise, -1 with an exception set.
int flag_is_call(PyObject *flag);

// +1 call, -1 put, 0 with an exception set.
inline int flag_selector(PyObject *flag) {
    const int is_call = flag_is_call(flag);
    if (is_call < 0) return 0;
    return is_call ? 1 : -1;
}

// Module-wide objects the wrappers need, set while the module starts.
struct EntryContext {
    PyObject *module;     // the module object (owned)
    PyObject *call_flag;  // the string "c" (owned)
    PyObject *np_name;    // the interned name "np" (owned)
    PyObject *dtype_kwnames;  // ("dtype",), keyword names of the NumPy calls (owned)
};
extern EntryContext entry_context;

// Adds a traceback entry called funcname to the pending exception (traceback.cpp).
void add_traceback(const char *funcname, const char *filename, int lineno);

}  // namespace kelvo
