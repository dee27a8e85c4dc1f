// Argument binding, conversion and the small owners the entry wrappers rely on.
#pragma once

#include "ref.hpp"

namespace kelvo {

constexpr int MAX_PARAMS = 6;

struct Signature {
    const char *name;      // plain name, as the binding messages show it
    const char *qualname;  // name of the traceback entry
    const char *param_names[MAX_PARAMS];
    int n_params;
    int n_required;
    PyObject *name_objects[MAX_PARAMS];  // interned at start-up, compared by identity first
};

// Strong references to the bound arguments, one slot per parameter.
class BoundArgs {
public:
    BoundArgs() noexcept = default;
    BoundArgs(const BoundArgs &) = delete;
    BoundArgs &operator=(const BoundArgs &) = delete;
    ~BoundArgs() {
        for (PyObject *value : values_) Py_XDECREF(value);
    }
    PyObject *operator[](int i) const noexcept { return values_[i]; }
    PyObject *&slot(int i) noexcept { return values_[i]; }

private:
    PyObject *values_[MAX_PARAMS] = {};
};

// Interns the parameter names; called once while the module starts.
bool intern_parameter_names(Signature &sig);

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

// Adds a traceback entry called funcname to the pending exception.
void add_traceback(const char *funcname, const char *filename, int lineno);

// Looks name up in the module globals, then in the builtins; NameError when absent.
Ref lookup_global(PyObject *name);

}  // namespace kelvo
