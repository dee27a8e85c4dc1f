// vectorized_baw_price and vectorized_baw_greeks: the inputs converted and viewed as for
// vectorized_baw_implied_vol, then one serial loop of the kernel with the thread detached.
#include "array_entries.hpp"
#include "detached_loop.hpp"
#include "kernel/pricing.hpp"

namespace kelvo {
namespace {

constexpr const char SOURCE_FILE[] = "kelvo/_ext/array_entries.cpp";
constexpr const char *const NAMES[N_NUMERIC] = {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas"};

template <typename Body>
PyObject *bound_call(const Entry &entry, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, int line, Body body) {
    PyObject *result = nullptr;
    BoundArgs bound;
    if (bind_arguments(entry.signature, args, nargs, kwnames, bound)) {
        PyObject *inputs[MAX_PARAMS];
        for (int i = 0; i < MAX_PARAMS; ++i) inputs[i] = bound[i];
        result = body(inputs);
    }
    if (result == nullptr) add_traceback(entry.signature.qualname, SOURCE_FILE, line);
    return result;
}

PyObject *price_body(PyObject *const *inputs) {
    return values_over(inputs, NAMES, kernel::_baw_price);
}

PyObject *greeks_body(PyObject *const *inputs) {
    return greeks_over(inputs, NAMES, kernel::_baw_greeks);
}

PyObject *vectorized_baw_price(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    return bound_call(vectorized_baw_price_entry, args, nargs, kwnames, __LINE__, price_body);
}

PyObject *vectorized_baw_greeks(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    return bound_call(vectorized_baw_greeks_entry, args, nargs, kwnames, __LINE__, greeks_body);
}

}  // namespace

Entry vectorized_baw_price_entry = {
    {"vectorized_baw_price", {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas", "flags"}, 6, 0.0, 0,
     nullptr, {}},
    vectorized_baw_price,
    "American (BAW) prices over parallel arrays, with the interpreter lock released.\n"
    "\n"
    "Element i is baw_price(S_arr[i], K_arr[i], D_arr[i], F_arr[i], sigmas[i], flags[i]), bit\n"
    "for bit; the inputs follow the rules of vectorized_baw_implied_vol (the length of S_arr,\n"
    "shorter inputs refused, a flag equal to 'c' a call). Returns a float64 array.",
    {}};

Entry vectorized_baw_greeks_entry = {
    {"vectorized_baw_greeks", {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas", "flags"}, 6, 0.0, 0,
     nullptr, {}},
    vectorized_baw_greeks,
    "American (BAW) prices and sensitivities over parallel arrays, interpreter lock released.\n"
    "\n"
    "Returns a dict of float64 arrays: 'price' (bit for bit vectorized_baw_price), 'delta' =\n"
    "dV/dS and 'gamma' = d2V/dS2 with D and the carry F/S held (the forward moves with the\n"
    "spot), and 'vega' = dV/dsigma per unit of total standard deviation; multiply it by\n"
    "sqrt(T)/100 for the change per volatility point. In the exercise region delta is +1 or -1\n"
    "and gamma and vega are 0.",
    {}};

}  // namespace kelvo
