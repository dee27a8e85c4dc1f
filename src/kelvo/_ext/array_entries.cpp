// The American (BAW) and European prices, sensitivities and implied volatilities over arrays:
// the inputs converted and viewed as for vectorized_baw_implied_vol, then the kernel over
// chunks of the elements on native threads with the interpreter released.
#include <limits>

#include "array_entries.hpp"
#include "buffers.hpp"
#include "detached_loop.hpp"
#include "kernel/european.hpp"
#include "kernel/implied_vol.hpp"
#include "kernel/pricing.hpp"

namespace kelvo {
namespace {

constexpr const char SOURCE_FILE[] = "kelvo/_ext/array_entries.cpp";
constexpr const char *const NAMES[N_NUMERIC] = {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas"};
constexpr const char *const VOL_NAMES[N_NUMERIC] = {"prices", "S_arr", "K_arr", "D_arr",
                                                    "F_arr"};
// What a call chooses its threads by: an element's cost on one core, roughly (ns, typical
// quotes).
constexpr int BAW_PRICE_NS = 350, BAW_GREEKS_NS = 450, BAW_VOL_NS = 1300;
constexpr int EUROPEAN_PRICE_NS = 60, EUROPEAN_GREEKS_NS = 90, EUROPEAN_VOL_NS = 400;

inline double baw_price_of(double S, double K, double D, double F, double sigma, int q) {
    return kernel::_baw_price(S, K, D, F, sigma, q);
}

inline double european_price_of(double, double K, double D, double F, double sigma, int q) {
    return kernel::_european_price(K, D, F, sigma, q);
}

inline double european_vol_of(double price, double, double K, double D, double F, int q) {
    return kernel::_european_implied_vol(price, K, D, F, q);
}

// vectorized_baw_implied_vol's loop: two quotes in flight (kernel::implied_vols), whose chains
// of dependent operations the CPU overlaps, each answered with the bits it gets alone; runs of
// IV_RUN quotes between questions for Ctrl-C (some 60 us).
constexpr std::int64_t IV_RUN = 64;

PyObject *baw_vols_over(PyObject *const *inputs, int threads) {
    ParallelInputs in;
    StridedView<double> out_view;
    Ref out;
    if (!in.acquire(inputs, VOL_NAMES, true) || !(out = new_float64_array(in.n, out_view))) {
        return nullptr;
    }
    const bool done = run_ranges(
        in, threads_of(in, threads, BAW_VOL_NS), BAW_VOL_NS, IV_RUN,
        [&](std::int64_t begin, std::int64_t end) {
            kernel::implied_vols<2>(
                begin, end,
                [&](std::int64_t i, double &price, double &S, double &K, double &D, double &F,
                    int &q) { read_element(in, i, price, S, K, D, F, q); },
                [&](std::int64_t i, double sigma) {  // the solver's failure (-1.0) is NaN
                    store(out_view, i, sigma < 0 ? std::numeric_limits<double>::quiet_NaN()
                                                 : sigma);
                });
        });
    return done ? out.release() : nullptr;
}

// The loops over bound inputs: one result an element (values_over) or the sensitivities
// (greeks_over), kernel over them at about element_ns an element.
template <auto kernel, const char *const *names, int element_ns>
PyObject *values_loop(PyObject *const *inputs, int threads) {
    return values_over(inputs, names, kernel, threads, element_ns);
}

template <auto kernel, const char *const *names, int element_ns>
PyObject *greeks_loop(PyObject *const *inputs, int threads) {
    return greeks_over(inputs, names, kernel, threads, element_ns);
}

// An array function: entry's arguments bound, then its loop over them; C++ allocation failures
// as MemoryError.
template <const Entry &entry, PyObject *(*loop)(PyObject *const *, int)>
PyObject *array_function(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *result = nullptr;
    BoundArgs bound;
    int threads = 0;
    if (bind_arguments(entry.signature, args, nargs, kwnames, bound) &&
        threads_argument(entry.signature.name, bound[KEYWORD_ONLY], threads)) {
        PyObject *inputs[MAX_PARAMS];
        for (int i = 0; i < MAX_PARAMS; ++i) inputs[i] = bound[i];
        result = allocation_failure_as_memory_error([&] { return loop(inputs, threads); });
    }
    if (result == nullptr) add_traceback(entry.signature.qualname, SOURCE_FILE, __LINE__);
    return result;
}

}  // namespace

// The threads keyword, the same on every function here.
#define THREADS_DOC                                                                             \
    "\n\nthreads (keyword): the native threads that share the elements; by default one per\n"    \
    "tenth of a millisecond of work, up to the cores this process may use (one for small\n"   \
    "arrays). Any count gives the same bits. Ctrl-C stops every thread within milliseconds."

Entry vectorized_baw_price_entry = {
    {"vectorized_baw_price", {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas", "flags"}, 6, 0.0, 0,
     nullptr, {}, "threads"},
    array_function<vectorized_baw_price_entry, values_loop<baw_price_of, NAMES, BAW_PRICE_NS>>,
    "American (BAW) prices over parallel arrays, with the interpreter lock released.\n"
    "\n"
    "Element i is baw_price(S_arr[i], K_arr[i], D_arr[i], F_arr[i], sigmas[i], flags[i]), bit\n"
    "for bit; the inputs follow the rules of vectorized_baw_implied_vol (the length of S_arr,\n"
    "shorter inputs refused, a flag equal to 'c' a call). Flags in a NumPy str array are read\n"
    "from its buffer by the same rule, as are those of a bool or bytes array, all puts (they\n"
    "never equal the text 'c'). Returns a float64 array." THREADS_DOC,
    {}};

Entry vectorized_baw_greeks_entry = {
    {"vectorized_baw_greeks", {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas", "flags"}, 6, 0.0, 0,
     nullptr, {}, "threads"},
    array_function<vectorized_baw_greeks_entry,
                   greeks_loop<kernel::_baw_greeks, NAMES, BAW_GREEKS_NS>>,
    "American (BAW) prices and sensitivities over parallel arrays, interpreter lock released.\n"
    "\n"
    "Returns a dict of float64 arrays: 'price' (bit for bit vectorized_baw_price), 'delta' =\n"
    "dV/dS and 'gamma' = d2V/dS2 with D and the carry F/S held (the forward moves with the\n"
    "spot), and 'vega' = dV/dsigma per unit of total standard deviation; multiply it by\n"
    "sqrt(T)/100 for the change per volatility point; and 'dF' = dV/dF and 'dD' = dV/dD, the\n"
    "other inputs held. In the exercise region delta is +1 or -1 and the others 0." THREADS_DOC,
    {}};

Entry arrays_baw_implied_vol_entry = {
    {"vectorized_baw_implied_vol", {"prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"}, 6,
     0.0, 0, nullptr, {}, "threads"},
    array_function<arrays_baw_implied_vol_entry, baw_vols_over>,
    "American (BAW) implied total standard deviations over parallel arrays, interpreter lock\n"
    "released.\n"
    "\n"
    "Element i is baw_implied_vol of element i, bit for bit kelvo.baw_core's\n"
    "vectorized_baw_implied_vol (0.0 at or below intrinsic value, NaN where no volatility\n"
    "reproduces the price), whose rules the inputs follow. Returns a float64 array."
    THREADS_DOC,
    {}};

Entry vectorized_european_price_entry = {
    {"vectorized_european_price", {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas", "flags"}, 6,
     0.0, 0, nullptr, {}, "threads"},
    array_function<vectorized_european_price_entry,
                   values_loop<european_price_of, NAMES, EUROPEAN_PRICE_NS>>,
    "European (Black) prices over parallel arrays, with the interpreter lock released.\n"
    "\n"
    "Element i is the discounted Black price D (F N(d1) - K N(d2)) of a call (or of a put) at\n"
    "total standard deviation sigmas[i]; S_arr[i] plays no part in it. The inputs follow the\n"
    "rules of vectorized_baw_price. Returns a float64 array." THREADS_DOC,
    {}};

Entry vectorized_european_greeks_entry = {
    {"vectorized_european_greeks", {"S_arr", "K_arr", "D_arr", "F_arr", "sigmas", "flags"}, 6,
     0.0, 0, nullptr, {}, "threads"},
    array_function<vectorized_european_greeks_entry,
                   greeks_loop<kernel::_european_greeks, NAMES, EUROPEAN_GREEKS_NS>>,
    "European (Black) prices and sensitivities over parallel arrays, interpreter lock released.\n"
    "\n"
    "Returns a dict of float64 arrays 'price', 'delta', 'gamma', 'vega', 'dF' and 'dD', defined\n"
    "as for vectorized_baw_greeks (delta and gamma with D and the carry F/S held)." THREADS_DOC,
    {}};

Entry vectorized_european_implied_vol_entry = {
    {"vectorized_european_implied_vol", {"prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"},
     6, 0.0, 0, nullptr, {}, "threads"},
    array_function<vectorized_european_implied_vol_entry,
                   values_loop<european_vol_of, VOL_NAMES, EUROPEAN_VOL_NS>>,
    "European (Black) implied total standard deviations over parallel arrays, interpreter lock\n"
    "released.\n"
    "\n"
    "Element i solves the Black price of element i for sigma to 1e-10: 0.0 for a price at or\n"
    "below the zero-volatility value D max(F - K, 0) (or D max(K - F, 0)) plus 1e-10, NaN where\n"
    "no volatility up to 16 reproduces it or an input is NaN. The inputs follow the rules of\n"
    "vectorized_baw_implied_vol. Returns a float64 array." THREADS_DOC,
    {}};

}  // namespace kelvo
