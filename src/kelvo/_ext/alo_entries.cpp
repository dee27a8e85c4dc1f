// vectorized_alo_price, vectorized_alo_implied_vol and vectorized_alo_greeks: the American price
// by the early-exercise boundary's integral equation (kernel/american.hpp) over parallel arrays,
// the inputs converted and viewed as for the BAW array functions, the loop on native threads
// with the interpreter released.
#include <limits>

#include "alo_entries.hpp"
#include "buffers.hpp"
#include "detached_loop.hpp"
#include "kernel/american_implied_vol.hpp"

namespace kelvo {
namespace {

constexpr const char SOURCE_FILE[] = "kelvo/_ext/alo_entries.cpp";
constexpr const char *const PRICE_NAMES[N_NUMERIC] = {"S_arr", "K_arr", "D_arr", "F_arr",
                                                      "sigmas"};
constexpr const char *const IV_NAMES[N_NUMERIC] = {"prices", "S_arr", "K_arr", "D_arr", "F_arr"};

template <class Scheme>
double price_of(double S, double K, double D, double F, double sigma, int q) {
    return kernel::alo_value<Scheme, false>(S, K, D, F, sigma, q).price;
}

template <class Scheme>
double implied_vol_of(double price, double S, double K, double D, double F, int q) {
    const double sigma = kernel::alo_implied_vol<Scheme>(price, S, K, D, F, q);
    return sigma < 0 ? std::numeric_limits<double>::quiet_NaN() : sigma;
}

// The precision argument: true for 'accurate' (also when left out), false for 'fast'; -1 with
// an exception set otherwise.
int accurate_precision(const char *name, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 6 && nargs != 7) {
        PyErr_Format(PyExc_TypeError, "%s() takes 6 or 7 positional arguments (%zd given)", name,
                     nargs);
        return -1;
    }
    if (nargs == 6) return 1;
    PyObject *precision = args[6];
    if (PyUnicode_Check(precision)) {
        if (PyUnicode_CompareWithASCIIString(precision, "accurate") == 0) return 1;
        if (PyUnicode_CompareWithASCIIString(precision, "fast") == 0) return 0;
    }
    PyErr_Format(PyExc_ValueError, "%s(): precision must be 'accurate' or 'fast', not %R", name,
                 precision);
    return -1;
}

// An element's rough cost on one core (ns), 'accurate' and 'fast', for the threads a call takes.
struct Costs {
    double accurate, fast;
};
constexpr Costs PRICE_NS{53e3, 16e3}, GREEKS_NS{270e3, 80e3}, VOL_NS{100e3, 41e3};

// over(inputs, names, kernel, threads, element_ns) with the kernel of the precision asked for,
// on the threads asked for by keyword; the traceback entry of qualname (a literal: the
// traceback's cache keeps the pointer) on failure.
template <typename Over, typename Accurate, typename Fast>
PyObject *by_precision(const char *qualname, const char *name, PyObject *const *args,
                       Py_ssize_t nargs, PyObject *kwnames, int line,
                       const char *const names[N_NUMERIC], Over over, Costs costs,
                       Accurate accurate, Fast fast) {
    int threads = 0;
    const int precision = threads_keyword(name, args, nargs, kwnames, threads)
                              ? accurate_precision(name, args, nargs)
                              : -1;
    PyObject *result =
        precision < 0 ? nullptr : allocation_failure_as_memory_error([&]() -> PyObject * {
            return precision == 1 ? over(args, names, accurate, threads, costs.accurate)
                                  : over(args, names, fast, threads, costs.fast);
        });
    if (result == nullptr) add_traceback(qualname, SOURCE_FILE, line);
    return result;
}

const auto values = [](PyObject *const *inputs, const char *const *names, auto kernel,
                       int threads, double element_ns) {
    return values_over(inputs, names, kernel, threads, element_ns);
};

PyObject *vectorized_alo_price(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    return by_precision("kelvo._arrays.vectorized_alo_price", "vectorized_alo_price", args, nargs,
                        kwnames, __LINE__, PRICE_NAMES, values, PRICE_NS,
                        price_of<kernel::alo::AccurateScheme>, price_of<kernel::alo::FastScheme>);
}

PyObject *vectorized_alo_greeks(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    const auto greeks = [](PyObject *const *inputs, const char *const *names, auto kernel,
                           int threads, double element_ns) {
        return greeks_over(inputs, names, kernel, threads, element_ns);
    };
    return by_precision("kelvo._arrays.vectorized_alo_greeks", "vectorized_alo_greeks", args,
                        nargs, kwnames, __LINE__, PRICE_NAMES, greeks, GREEKS_NS,
                        kernel::alo_greeks<kernel::alo::AccurateScheme>,
                        kernel::alo_greeks<kernel::alo::FastScheme>);
}

PyObject *vectorized_alo_implied_vol(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames) {
    return by_precision("kelvo._arrays.vectorized_alo_implied_vol", "vectorized_alo_implied_vol",
                        args, nargs, kwnames, __LINE__, IV_NAMES, values, VOL_NS,
                        implied_vol_of<kernel::alo::AccurateScheme>,
                        implied_vol_of<kernel::alo::FastScheme>);
}

}  // namespace

PyMethodDef vectorized_alo_price_def = {
    "vectorized_alo_price", fast_call(vectorized_alo_price),
    METH_FASTCALL | METH_KEYWORDS,
    "vectorized_alo_price($module, S_arr, K_arr, D_arr, F_arr, sigmas, flags, "
    "precision='accurate', /, *, threads=None)\n--\n\n"
    "American prices by the early-exercise boundary's integral equation (Andersen, Lake and\n"
    "Offengeim) over parallel arrays, with the interpreter lock released. Inputs as for\n"
    "vectorized_baw_price; precision 'accurate' (about 1e-9 relative) or 'fast' (about 1e-6).\n"
    "NaN where the method does not apply. Returns a float64 array. threads: as for\n"
    "vectorized_baw_price."};

PyMethodDef vectorized_alo_implied_vol_def = {
    "vectorized_alo_implied_vol", fast_call(vectorized_alo_implied_vol),
    METH_FASTCALL | METH_KEYWORDS,
    "vectorized_alo_implied_vol($module, prices, S_arr, K_arr, D_arr, F_arr, flags, "
    "precision='accurate', /, *, threads=None)\n--\n\n"
    "Implied total standard deviations of vectorized_alo_price over parallel arrays, with the\n"
    "interpreter lock released: 0.0 for a price at or below spot intrinsic value plus 1e-10,\n"
    "NaN where no sigma up to 8 reproduces the price. Inputs as for vectorized_baw_implied_vol.\n"
    "Returns a float64 array. threads: as for vectorized_baw_price."};

PyMethodDef vectorized_alo_greeks_def = {
    "vectorized_alo_greeks", fast_call(vectorized_alo_greeks),
    METH_FASTCALL | METH_KEYWORDS,
    "vectorized_alo_greeks($module, S_arr, K_arr, D_arr, F_arr, sigmas, flags, "
    "precision='accurate', /, *, threads=None)\n--\n\n"
    "Prices and sensitivities of vectorized_alo_price over parallel arrays, interpreter lock\n"
    "released: a dict of float64 arrays 'price' (bit for bit vectorized_alo_price), 'delta' and\n"
    "'gamma' in the spot with D and F/S held, 'vega' per unit of total standard deviation, by\n"
    "the method's own derivatives (the boundary's sensitivity to sigma from its Newton system),\n"
    "and 'dF' = dV/dF and 'dD' = dV/dD by central differences of its price (steps of 1e-4\n"
    "sigma of F and D, smaller and one-sided near the exercise region; 0 inside it). threads:\n"
    "as for vectorized_baw_price."};

}  // namespace kelvo
