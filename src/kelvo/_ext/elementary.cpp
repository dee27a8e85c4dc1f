// exp and log over arrays with the kernel's own functions, so that what kelvo.chain and the
// array functions derive from rates (discount factors, the rates of theta and rho) has the
// same bits whatever NumPy's version and the CPU's vector units.
#include "array_entries.hpp"
#include "buffers.hpp"
#include "kernel/libm.hpp"

namespace kelvo {
namespace {

template <double (*Function)(double)>
PyObject *elementwise(const char *name, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes(name, nargs, 2)) return nullptr;
    ContiguousBuffer x, out;
    if (!x.acquire(args[0], "x", 'd') || !out.acquire(args[1], "out", 'd', true)) {
        return nullptr;
    }
    if (out.size() != x.size()) {
        PyErr_SetString(PyExc_ValueError, "x and out must have the same length");
        return nullptr;
    }
    const double *from = x.data<double>();
    double *to = out.data<double>();
    for (Py_ssize_t i = 0; i < x.size(); ++i) to[i] = Function(from[i]);
    Py_RETURN_NONE;
}

double exp_of(double x) { return kernel::libm::exp(x); }
double log_of(double x) { return kernel::libm::log(x); }

PyObject *exp_into(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return elementwise<exp_of>("exp_into", args, nargs);
}

PyObject *log_into(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return elementwise<log_of>("log_into", args, nargs);
}

}  // namespace

PyMethodDef exp_into_def = {
    "exp_into", fast_call(exp_into), METH_FASTCALL,
    "exp_into($module, x, out, /)\n--\n\n"
    "out[i] = exp(x[i]) by kelvo's own exp (within 1 ulp, the same bits on every CPU), for\n"
    "contiguous float64 arrays of one length."};

PyMethodDef log_into_def = {
    "log_into", fast_call(log_into), METH_FASTCALL,
    "log_into($module, x, out, /)\n--\n\n"
    "out[i] = log(x[i]) by kelvo's own log (within 1 ulp, the same bits on every CPU), for\n"
    "contiguous float64 arrays of one length."};

}  // namespace kelvo
