// The Python-facing functions, in the fast calling convention with keywords.
#pragma once

#include "binding.hpp"

namespace kelvo {

extern Signature baw_price_signature;
extern Signature baw_implied_vol_signature;
extern Signature vectorized_baw_implied_vol_signature;
extern Signature find_forward_baw_signature;

PyObject *baw_price(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *baw_implied_vol(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames);
PyObject *vectorized_baw_implied_vol(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames);
PyObject *find_forward_baw(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames);

}  // namespace kelvo
