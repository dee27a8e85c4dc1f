// group_forwards: the forward of many expiries at once, each exactly as find_forward_baw's
// search finds it on the strikes given, with the thread detached for the whole batch. Which
// strikes an expiry's search takes is kelvo.chain's rule; the command line, kelvo.chain and
// kelvo.dask all take their forwards from here.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "array_entries.hpp"
#include "baw_core/arrays.hpp"
#include "baw_core/parallel.hpp"
#include "baw_core/pool.hpp"
#include "buffers.hpp"
#include "kernel/american_implied_vol.hpp"
#include "kernel/forward.hpp"

namespace kelvo {
namespace {

namespace kernel = kelvo::kernel;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
// A searched strike's cost on one core, roughly: two implied vols at each of some 25 trial
// forwards.
constexpr double SEARCHED_STRIKE_NS = 65e3;

struct GroupForward {
    double forward = NaN;
    double parity = NaN;
    std::int64_t used = 0;
};

// The implied volatility the search of a group takes: search[g] 1 (BAW, the kernel's own),
// 2 (the accurate American engine) or 3 (its fast setting).
using ImpliedVol = double (*)(double, double, double, double, double, int);
constexpr ImpliedVol SEARCHES[] = {nullptr, nullptr,
                                   kernel::alo_implied_vol<kernel::alo::AccurateScheme>,
                                   kernel::alo_implied_vol<kernel::alo::FastScheme>};
constexpr std::int64_t N_SEARCHES = sizeof SEARCHES / sizeof SEARCHES[0];

// One expiry, rows lo to hi: the parity estimate over them and, unless the options are
// European (for which parity is the forward), the search around it.
GroupForward solve_group(const double *calls, const double *puts, const double *strikes,
                         std::int64_t lo, std::int64_t hi, double S, double D,
                         std::int64_t search, KeepGoing &keep_going) {
    GroupForward result;
    if (!(std::isfinite(S) && std::isfinite(D)) || hi == lo) return result;
    const std::int64_t n = hi - lo;
    result.used = n;
    result.parity = kernel::parity_forward(calls + lo, puts + lo, strikes + lo, n, S, D);
    if (search == 0) {
        result.forward = result.parity;
        return result;
    }
    kernel::ForwardParams params{S, D, calls + lo, puts + lo, strikes + lo, n,
                                 KeepGoing::callback, &keep_going};
    params.implied_vol = SEARCHES[search];
    const kernel::BoundedMinimum best_point =
        kernel::search_forward(kernel::_fwd_iv_abs_diff, &params, result.parity, &params);
    // no strike inverted on both sides at the forward found: there is no forward to report
    if (best_point.fx != kernel::FORWARD_NO_CONTRIBUTION) result.forward = best_point.x;
    return result;
}

PyObject *group_forwards(PyObject *const *args, int threads) {
    // calls, puts, strikes, bounds, S, D, search as contiguous arrays (a contiguous one is not
    // copied)
    const char *const names[] = {"calls", "puts", "strikes", "bounds", "S", "D", "search"};
    Ref converted[7];
    ContiguousBuffer views[7];
    for (int k = 0; k < 7; ++k) {
        const bool is_bounds = k == 3 || k == 6;
        converted[k] = np_call_with_dtype("ascontiguousarray", args[k],
                                          is_bounds ? "int64" : "float64");
        if (!converted[k] ||
            !views[k].acquire(converted[k].get(), names[k], is_bounds ? 'q' : 'd')) {
            return nullptr;
        }
    }
    const Py_ssize_t rows = views[0].size();
    const Py_ssize_t groups = views[4].size();
    if (views[1].size() != rows || views[2].size() != rows || views[5].size() != groups ||
        views[6].size() != groups || views[3].size() != groups + 1) {
        PyErr_SetString(PyExc_ValueError, "group_forwards(): calls, puts and strikes must have "
                        "one length, S, D and search one per group and bounds one more");
        return nullptr;
    }
    // bounds and search are copied as they are checked: the searches use the values checked,
    // whatever another thread writes to the caller's arrays meanwhile (the prices it may change
    // are only read, within the rows)
    const std::vector<std::int64_t> bounds(views[3].data<const std::int64_t>(),
                                           views[3].data<const std::int64_t>() + groups + 1);
    const std::vector<std::int64_t> search(views[6].data<const std::int64_t>(),
                                           views[6].data<const std::int64_t>() + groups);
    for (Py_ssize_t g = 0; g < groups; ++g) {
        if (bounds[g] < 0 || bounds[g + 1] < bounds[g] || bounds[g + 1] > rows) {
            PyErr_Format(PyExc_ValueError, "group_forwards(): bounds of group %zd are not "
                         "within the rows", g);
            return nullptr;
        }
    }
    StridedView<double> forward_view, parity_view;
    Ref forward = new_float64_array(groups, forward_view);
    Ref parity = new_float64_array(groups, parity_view);
    Ref used_length(PyLong_FromSsize_t(groups));
    if (!forward || !parity || !used_length) return nullptr;
    Ref used = np_call_with_dtype("zeros", used_length.get(), "int64");
    ContiguousBuffer used_view;
    if (!used || !used_view.acquire(used.get(), "used", 'q', true)) return nullptr;

    const auto *calls = views[0].data<const double>();
    const auto *puts = views[1].data<const double>();
    const auto *strikes = views[2].data<const double>();
    const auto *S = views[4].data<const double>();
    const auto *D = views[5].data<const double>();
    auto *forward_out = reinterpret_cast<double *>(forward_view.data());
    auto *parity_out = reinterpret_cast<double *>(parity_view.data());
    auto *used_out = used_view.data<std::int64_t>();
    // the groups with the most strikes first, so that no thread is left alone with a long
    // search at the end; the searched strikes set the threads
    std::vector<std::int64_t> order(static_cast<std::size_t>(groups));
    std::iota(order.begin(), order.end(), std::int64_t{0});
    const auto rows_of = [&](std::int64_t g) { return bounds[g + 1] - bounds[g]; };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::int64_t a, std::int64_t b) { return rows_of(a) > rows_of(b); });
    double searched = 0.0;
    for (Py_ssize_t g = 0; g < groups; ++g) {
        if (search[g] < 0 || search[g] >= N_SEARCHES) {
            PyErr_Format(PyExc_ValueError, "group_forwards(): search of group %zd is not 0 to "
                         "%lld", g, static_cast<long long>(N_SEARCHES - 1));
            return nullptr;
        }
        // the accurate engine's searches cost some hundred times the BAW's
        if (search[g] != 0) searched += static_cast<double>(rows_of(g)) * (search[g] > 1 ? 100 : 1);
    }
    threads = threads_for(threads, searched * SEARCHED_STRIKE_NS, WORK_PER_THREAD_NS, groups);
    const auto solve = [&](std::int64_t begin, std::int64_t end, KeepGoing &keep_going) {
        for (std::int64_t at = begin; at < end && keep_going(); ++at) {
            const std::int64_t g = order[static_cast<std::size_t>(at)];
            const GroupForward found = solve_group(calls, puts, strikes, bounds[g],
                                                   bounds[g + 1], S[g], D[g], search[g],
                                                   keep_going);
            forward_out[g] = found.forward;
            parity_out[g] = found.parity;
            used_out[g] = found.used;
        }
    };
    if (!run_chunks(groups, threads, 1, solve)) return nullptr;
    return PyTuple_Pack(3, forward.get(), parity.get(), used.get());
}

PyObject *group_forwards_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    int threads = 0;
    if (!takes("group_forwards", nargs, 7) ||
        !threads_keyword("group_forwards", args, nargs, kwnames, threads)) {
        return nullptr;
    }
    return allocation_failure_as_memory_error(
        [args, threads] { return group_forwards(args, threads); });
}

PyObject *parity_forward(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes("parity_forward", nargs, 5)) return nullptr;
    ContiguousBuffer calls, puts, strikes;
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

}  // namespace

PyMethodDef parity_forward_def = {
    "parity_forward", fast_call(parity_forward), METH_FASTCALL,
    "parity_forward($module, calls, puts, strikes, S, D, /)\n--\n\n"
    "The put-call parity estimate of the forward that find_forward_baw searches around: the\n"
    "mean of K + (C - P) / D over the strikes given (float64 arrays), S when there are none."};

bool add_forward_rules(PyObject *module) {
    Ref widths(PyTuple_New(kernel::N_FALLBACK_WIDTHS));
    if (!widths) return false;
    for (int i = 0; i < kernel::N_FALLBACK_WIDTHS; ++i) {
        PyObject *width = PyFloat_FromDouble(kernel::FALLBACK_WIDTHS[i]);
        if (width == nullptr) return false;
        PyTuple_SET_ITEM(widths.get(), i, width);  // the tuple takes the reference
    }
    const struct {
        const char *name;
        Ref value;
    } constants[] = {
        {"FALLBACK_WIDTHS", std::move(widths)},
        {"DEFAULT_STRIKE_PCT", Ref(PyFloat_FromDouble(kernel::DEFAULT_STRIKE_PCT))},
        {"SEARCH_BAND", Ref(PyFloat_FromDouble(kernel::SEARCH_BAND))},
        {"FORWARD_XATOL", Ref(PyFloat_FromDouble(kernel::FORWARD_XATOL))},
    };
    for (const auto &constant : constants) {
        if (!constant.value ||
            PyModule_AddObjectRef(module, constant.name, constant.value.get()) < 0) {
            return false;
        }
    }
    return true;
}

PyMethodDef group_forwards_def = {
    "group_forwards", fast_call(group_forwards_entry), METH_FASTCALL | METH_KEYWORDS,
    "group_forwards($module, calls, puts, strikes, bounds, S, D, search, /, *, threads=None)\n"
    "--\n\n"
    "(forward, parity, used) of each group g of paired call and put prices, rows\n"
    "bounds[g]:bounds[g + 1], at spot S[g] and discount factor D[g]: the forward as\n"
    "find_forward_baw's search finds it on those strikes (the parity estimate over them, then\n"
    "the bounded search around it), of the BAW implied volatilities where search[g] is 1, of\n"
    "the accurate American engine's where 2 (3: its fast setting), or the parity estimate\n"
    "itself where 0 (European options); the parity estimate; and the count of strikes. NaN and 0\n"
    "where S or D is not finite or the group has no rows. The groups are shared among\n"
    "threads native threads (by default as many as the searches pay for, up to the cores),\n"
    "with the interpreter released; any count gives the same bits. Ctrl-C on the main thread\n"
    "stops them all."};

}  // namespace kelvo
