// The American (BAW) and European prices and sensitivities over arrays, and the European implied
// volatility: the inputs converted and viewed as for vectorized_baw_implied_vol, then one serial
// loop of the kernel with the thread detached.
#include "array_entries.hpp"
#include "detached_loop.hpp"
#include "kernel/european.hpp"
#include "kernel/pricing.hpp"

namespace kelvo {
namespace {

constexpr const char SOURCE_FILE[] = "kelvo/_ext/array_entries.cpp";
constexpr const char *const NAMES[N_NUMERIC] = {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas"};
constexpr const char *const VOL_NAMES[N_NUMERIC] = {"prices", "S_arr", "K_arr", "D_arr",
                                                    "F_arr"};
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

inline double baw_price_of(double S, double K, double D, double F, double sigma, int q) {
    return kernel::_baw_price(S, K, D, F, sigma, q);
}

inline double european_price_of(double, double K, double D, double F, double sigma, int q) {
    return kernel::_european_price(K, D, F, sigma, q);
}

inline double european_vol_of(double price, double, double K, double D, double F, int q) {
    return kernel::_european_implied_vol(price, K, D, F, q);
}

PyObject *vectorized_baw_price(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    return bound_call(vectorized_baw_price_entry, args, nargs, kwnames, __LINE__,
                      [](PyObject *const *in) { return values_over(in, NAMES, baw_price_of); });
}

PyObject *vectorized_baw_greeks(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    return bound_call(vectorized_baw_greeks_entry, args, nargs, kwnames, __LINE__,
                      [](PyObject *const *in) {
                          return greeks_over(in, NAMES, kernel::_baw_greeks);
                      });
}

PyObject *vectorized_european_price(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames) {
    return bound_call(vectorized_european_price_entry, args, nargs, kwnames, __LINE__,
                      [](PyObject *const *in) {
                          return values_over(in, NAMES, european_price_of);
                      });
}

PyObject *vectorized_european_greeks(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames) {
    return bound_call(vectorized_european_greeks_entry, args, nargs, kwnames, __LINE__,
                      [](PyObject *const *in) {
                          return greeks_over(in, NAMES, kernel::_european_greeks);
                      });
}

PyObject *vectorized_european_implied_vol(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                          PyObject *kwnames) {
    return bound_call(vectorized_european_implied_vol_entry, args, nargs, kwnames, __LINE__,
                      [](PyObject *const *in) {
                          return values_over(in, VOL_NAMES, european_vol_of);
                      });
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

Entry vectorized_european_price_entry = {
    {"vectorized_european_price", {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas", "flags"}, 6,
     0.0, 0, nullptr, {}},
    vectorized_european_price,
    "European (Black) prices over parallel arrays, with the interpreter lock released.\n"
    "\n"
    "Element i is the discounted Black price D (F N(d1) - K N(d2)) of a call (or of a put) at\n"
    "total standard deviation sigmas[i]; S_arr[i] plays no part in it. The inputs follow the\n"
    "rules of vectorized_baw_price. Returns a float64 array.",
    {}};

Entry vectorized_european_greeks_entry = {
    {"vectorized_european_greeks", {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas", "flags"}, 6,
     0.0, 0, nullptr, {}},
    vectorized_european_greeks,
    "European (Black) prices and sensitivities over parallel arrays, interpreter lock released.\n"
    "\n"
    "Returns a dict of float64 arrays 'price', 'delta', 'gamma' and 'vega', defined as for\n"
    "vectorized_baw_greeks (delta and gamma with D and the carry F/S held).",
    {}};

Entry vectorized_european_implied_vol_entry = {
    {"vectorized_european_implied_vol", {"prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"},
     6, 0.0, 0, nullptr, {}},
    vectorized_european_implied_vol,
    "European (Black) implied total standard deviations over parallel arrays, interpreter lock\n"
    "released.\n"
    "\n"
    "Element i solves the Black price of element i for sigma to 1e-10: 0.0 for a price at or\n"
    "below the zero-volatility value D max(F - K, 0) (or D max(K - F, 0)) plus 1e-10, NaN where\n"
    "no volatility up to 16 reproduces it or an input is NaN. The inputs follow the rules of\n"
    "vectorized_baw_implied_vol. Returns a float64 array.",
    {}};

}  // namespace kelvo
