// The American (BAW) and European prices and sensitivities over arrays, and the European implied
// volatility: the inputs converted and viewed as for vectorized_baw_implied_vol, then one serial
// loop of the kernel with the thread detached.
#include <cstring>

#include "array_entries.hpp"
#include "baw_core/detached.hpp"
#include "baw_core/parallel.hpp"
#include "kernel/european.hpp"
#include "kernel/pricing.hpp"

namespace kelvo {
namespace {

constexpr const char SOURCE_FILE[] = "kelvo/_ext/array_entries.cpp";
constexpr const char *const NAMES[N_NUMERIC] = {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas"};
constexpr const char *const VOL_NAMES[N_NUMERIC] = {"prices", "S_arr", "K_arr", "D_arr",
                                                    "F_arr"};
constexpr int N_GREEKS = 4;
constexpr const char *const GREEK_NAMES[N_GREEKS] = {"price", "delta", "gamma", "vega"};

// Runs element(i, S, K, D, F, sigma, q) over the inputs with the thread detached; false (with
// KeyboardInterrupt or whatever a signal handler raised) when interrupted.
template <typename Element>
bool run_detached(const ParallelInputs &in, Element element) {
    const char *p[N_NUMERIC];
    for (int k = 0; k < N_NUMERIC; ++k) p[k] = in.numeric[k].data();
    const char *q = in.q_view.data();
    Detached detached;
    for (Py_ssize_t i = 0; i < in.n; ++i) {
        element(i, load<double>(p[0]), load<double>(p[1]), load<double>(p[2]), load<double>(p[3]),
                load<double>(p[4]), load<int>(q));
        for (int k = 0; k < N_NUMERIC; ++k) p[k] += in.numeric[k].stride();
        q += in.q_view.stride();
        if ((i & 15) == 15 && !detached.keep_going()) break;
    }
    detached.reattach();
    return !detached.interrupted();
}

inline void store(const StridedView<double> &view, Py_ssize_t i, double value) {
    std::memcpy(view.data() + i * view.stride(), &value, sizeof value);
}

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

// One float64 result an element: value(first, S, K, D, F, q) where first is sigma for a price
// and the price for an implied volatility.
template <double (*value)(double, double, double, double, double, int)>
PyObject *values_body(PyObject *const *inputs, const char *const names[N_NUMERIC]) {
    ParallelInputs in;
    StridedView<double> out_view;
    Ref out;
    if (!in.acquire(inputs, names) || !(out = new_float64_array(in.n, out_view))) return nullptr;
    const bool done = run_detached(in, [&](Py_ssize_t i, double a, double b, double c, double d,
                                           double e, int q) {
        store(out_view, i, value(a, b, c, d, e, q));
    });
    return done ? out.release() : nullptr;
}

template <kernel::Greeks (*sensitivities)(double, double, double, double, double, int)>
PyObject *greeks_body(PyObject *const *inputs) {
    ParallelInputs in;
    if (!in.acquire(inputs, NAMES)) return nullptr;
    StridedView<double> views[N_GREEKS];
    Ref arrays[N_GREEKS];
    for (int g = 0; g < N_GREEKS; ++g) {
        if (!(arrays[g] = new_float64_array(in.n, views[g]))) return nullptr;
    }
    const bool done = run_detached(in, [&](Py_ssize_t i, double S, double K, double D, double F,
                                           double sigma, int q) {
        const kernel::Greeks r = sensitivities(S, K, D, F, sigma, q);
        store(views[0], i, r.price);
        store(views[1], i, r.delta);
        store(views[2], i, r.gamma);
        store(views[3], i, r.vega);
    });
    if (!done) return nullptr;
    Ref result(PyDict_New());
    if (!result) return nullptr;
    for (int g = 0; g < N_GREEKS; ++g) {
        if (PyDict_SetItemString(result.get(), GREEK_NAMES[g], arrays[g].get()) < 0) return nullptr;
    }
    return result.release();
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
                      [](PyObject *const *in) { return values_body<baw_price_of>(in, NAMES); });
}

PyObject *vectorized_baw_greeks(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    return bound_call(vectorized_baw_greeks_entry, args, nargs, kwnames, __LINE__,
                      greeks_body<kernel::_baw_greeks>);
}

PyObject *vectorized_european_price(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames) {
    return bound_call(vectorized_european_price_entry, args, nargs, kwnames, __LINE__,
                      [](PyObject *const *in) {
                          return values_body<european_price_of>(in, NAMES);
                      });
}

PyObject *vectorized_european_greeks(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames) {
    return bound_call(vectorized_european_greeks_entry, args, nargs, kwnames, __LINE__,
                      greeks_body<kernel::_european_greeks>);
}

PyObject *vectorized_european_implied_vol(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                          PyObject *kwnames) {
    return bound_call(vectorized_european_implied_vol_entry, args, nargs, kwnames, __LINE__,
                      [](PyObject *const *in) {
                          return values_body<european_vol_of>(in, VOL_NAMES);
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
