// baw_price and baw_implied_vol: bind, convert, and call the kernel with the interpreter held.
#include <limits>

#include "entries.hpp"
#include "kernel/implied_vol.hpp"
#include "kernel/pricing.hpp"

namespace kelvo {
namespace {

constexpr const char SOURCE_FILE[] = "kelvo/baw_core/scalar_entries.cpp";

// Binds the six arguments, converts the first five to doubles and the flag to a selector.
bool bind_scalar_call(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames, double values[5], int *q) {
    BoundArgs bound;
    if (!bind_arguments(sig, args, nargs, kwnames, bound)) return false;
    for (int i = 0; i < 5; ++i) {
        if (!to_double(bound[i], &values[i])) return false;
    }
    *q = flag_selector(bound[5]);
    return *q != 0;
}

PyObject *baw_price(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature &sig = baw_price_entry.signature;
    double v[5];
    int q;
    PyObject *result = nullptr;
    if (bind_scalar_call(sig, args, nargs, kwnames, v, &q)) {
        result = PyFloat_FromDouble(kernel::_baw_price(v[0], v[1], v[2], v[3], v[4], q));
    }
    if (result == nullptr) add_traceback(sig.qualname, SOURCE_FILE, __LINE__);
    return result;
}

PyObject *baw_implied_vol(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
    const Signature &sig = baw_implied_vol_entry.signature;
    double v[5];
    int q;
    PyObject *result = nullptr;
    if (bind_scalar_call(sig, args, nargs, kwnames, v, &q)) {
        const double sigma = kernel::_baw_implied_vol_c(v[0], v[1], v[2], v[3], v[4], q);
        // Every failure value (-1.0) becomes NaN; 0.0 (at or below intrinsic) stays.
        result = PyFloat_FromDouble(sigma < 0 ? std::numeric_limits<double>::quiet_NaN() : sigma);
    }
    if (result == nullptr) add_traceback(sig.qualname, SOURCE_FILE, __LINE__);
    return result;
}

}  // namespace

Entry baw_price_entry = {
    {"baw_price", {"S", "K", "D", "F", "sigma", "flag"}, 6, 0.0, 0, nullptr, {}},
    baw_price,
    "BAW American option price (Barone-Adesi-Whaley quadratic approximation).\n"
    "\n"
    "    S spot, K strike, D discount factor, F forward, sigma total std dev.\n"
    "    flag: 'c' or 'p'.\n"
    "    ",
    {}};

Entry baw_implied_vol_entry = {
    {"baw_implied_vol", {"price", "S", "K", "D", "F", "flag"}, 6, 0.0, 0, nullptr, {}},
    baw_implied_vol,
    "BAW implied total std dev that reproduces an American option price.\n"
    "\n"
    "    Returns sigma or NaN on failure.\n"
    "    ",
    {}};

}  // namespace kelvo
