// The Python-facing functions, in the fast calling convention with keywords. Each is written
// once, beside its body, as an Entry; start-up derives its method table entry, its text
// signature (the parameter names and default that inspect shows) and its qualified name.
#pragma once

#include "binding.hpp"

namespace kelvo {

using FastKeywordsFunction = PyObject *(*)(PyObject *self, PyObject *const *args,
                                           Py_ssize_t nargs, PyObject *kwnames);

struct Entry {
    Signature signature;
    FastKeywordsFunction body;
    const char *doc;  // the docstring after its text signature
    PyMethodDef def;  // filled in at start-up
};

extern Entry baw_price_entry;
extern Entry baw_implied_vol_entry;
extern Entry vectorized_baw_implied_vol_entry;
extern Entry find_forward_baw_entry;

}  // namespace kelvo
