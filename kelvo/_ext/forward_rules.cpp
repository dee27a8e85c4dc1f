// kelvo._forward_rules: the forward search's rules, from the kernel's own definitions, for the
// Python layers that select strikes as the search does (the command line, kelvo.dask).
#include <utility>

#include "baw_core/ref.hpp"
#include "buffers.hpp"
#include "kernel/forward.hpp"

namespace {

namespace kernel = kelvo::kernel;
using kelvo::Ref;

bool add_constant(PyObject *module, const char *name, Ref value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

PyObject *parity_forward(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!kelvo::takes("parity_forward", nargs, 5)) return nullptr;
    kelvo::ContiguousBuffer calls, puts, strikes;
    if (!calls.acquire(args[0], "calls", 'd') || !puts.acquire(args[1], "puts", 'd') ||
        !strikes.acquire(args[2], "strikes", 'd')) {
        return nullptr;
    }
    const double S = PyFloat_AsDouble(args[3]);
    if (S == -1.0 && PyErr_Occurred()) return nullptr;
    const double D = PyFloat_AsDouble(args[4]);
    if (D == -1.0 && PyErr_Occurred()) return nullptr;
    if (puts.size() != calls.size() || strikes.size() != calls.size()) {
        PyErr_SetString(PyExc_ValueError, "calls, puts and strikes must have the same length");
        return nullptr;
    }
    return PyFloat_FromDouble(kernel::parity_forward(calls.data<double>(), puts.data<double>(),
                                                     strikes.data<double>(), calls.size(), S, D));
}

PyMethodDef methods[] = {
    {"parity_forward", kelvo::fast_call(parity_forward), METH_FASTCALL,
     "parity_forward(calls, puts, strikes, S, D)\n--\n\n"
     "The put-call parity estimate of the forward that find_forward_baw searches around: the\n"
     "mean of K + (C - P) / D over the strikes given (float64 arrays), S when there are none."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *module) {
    Ref widths(PyTuple_New(kernel::N_FALLBACK_WIDTHS));
    if (!widths) return -1;
    for (int i = 0; i < kernel::N_FALLBACK_WIDTHS; ++i) {
        Ref width(PyFloat_FromDouble(kernel::FALLBACK_WIDTHS[i]));
        if (!width) return -1;
        PyTuple_SET_ITEM(widths.get(), i, width.release());  // the tuple takes the reference
    }
    const bool added =
        add_constant(module, "FALLBACK_WIDTHS", std::move(widths)) &&
        add_constant(module, "DEFAULT_STRIKE_PCT", Ref(PyFloat_FromDouble(kernel::DEFAULT_STRIKE_PCT))) &&
        add_constant(module, "SEARCH_BAND", Ref(PyFloat_FromDouble(kernel::SEARCH_BAND))) &&
        add_constant(module, "FORWARD_XATOL", Ref(PyFloat_FromDouble(kernel::FORWARD_XATOL)));
    return added ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_forward_rules",
    "The forward search's strike windows, parity estimate and search band, as the native\n"
    "find_forward_baw uses them.",
    0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__forward_rules(void) { return PyModuleDef_Init(&module_def); }
