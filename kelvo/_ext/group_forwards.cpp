// group_forwards: the forward of many expiries at once, each exactly as find_forward_baw finds
// it on that expiry's usable strikes in strike order, with the thread detached for the whole
// batch. The command line, kelvo.chain and kelvo.dask all take their forwards from here.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "array_entries.hpp"
#include "baw_core/arrays.hpp"
#include "baw_core/detached.hpp"
#include "baw_core/parallel.hpp"
#include "buffers.hpp"
#include "kernel/forward.hpp"

namespace kelvo {
namespace {

namespace kernel = kelvo::kernel;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

struct GroupForward {
    double forward = NaN;
    double parity = NaN;
    std::int64_t used = 0;
};

// Both prices finite and positive, the strike finite: the strikes the search may use.
inline bool usable(double call, double put, double strike) {
    return std::isfinite(call) && std::isfinite(put) && call > 0 && put > 0 &&
           std::isfinite(strike);
}

// The ladder position of the first window [S (1 - w), S (1 + w)] that holds the strike, the
// caller's width first; N_FALLBACK_WIDTHS + 1 where none does.
inline int window_of(double strike, double S, double strike_pct) {
    for (int w = -1; w < kernel::N_FALLBACK_WIDTHS; ++w) {
        const double pct = w < 0 ? strike_pct : kernel::FALLBACK_WIDTHS[w];
        if (strike >= S * (1.0 - pct) && strike <= S * (1.0 + pct)) return w + 1;
    }
    return kernel::N_FALLBACK_WIDTHS + 1;
}

// A row's prices and strike, read once: another thread may write the caller's arrays while the
// search runs, and the sort must compare values that stay put.
struct Quote {
    double call, put, strike;
};

struct Scratch {
    std::vector<Quote> quotes;
    std::vector<double> calls, puts, strikes;
};

// One expiry: its usable strikes in strike order (a stable sort), those of the first window
// that holds one (all of them where none does), the parity estimate over those and the search
// around it.
GroupForward solve_group(const double *calls, const double *puts, const double *strikes,
                         std::int64_t lo, std::int64_t hi, double S, double D, double strike_pct,
                         Detached &detached, Scratch &scratch) {
    GroupForward result;
    if (!(std::isfinite(S) && std::isfinite(D))) return result;
    std::vector<Quote> &quotes = scratch.quotes;
    quotes.clear();
    for (std::int64_t j = lo; j < hi; ++j) {
        const Quote quote{calls[j], puts[j], strikes[j]};
        if (usable(quote.call, quote.put, quote.strike)) quotes.push_back(quote);
    }
    if (quotes.empty()) return result;
    std::stable_sort(quotes.begin(), quotes.end(),
                     [](const Quote &a, const Quote &b) { return a.strike < b.strike; });
    int best = kernel::N_FALLBACK_WIDTHS + 1;
    for (const Quote &q : quotes) best = std::min(best, window_of(q.strike, S, strike_pct));
    scratch.calls.clear();
    scratch.puts.clear();
    scratch.strikes.clear();
    for (const Quote &q : quotes) {
        if (window_of(q.strike, S, strike_pct) != best) continue;
        scratch.calls.push_back(q.call);
        scratch.puts.push_back(q.put);
        scratch.strikes.push_back(q.strike);
    }
    const auto n = static_cast<std::int64_t>(scratch.strikes.size());
    result.used = n;
    result.parity = kernel::parity_forward(scratch.calls.data(), scratch.puts.data(),
                                           scratch.strikes.data(), n, S, D);
    kernel::ForwardParams params{S, D, scratch.calls.data(), scratch.puts.data(),
                                 scratch.strikes.data(), n, Detached::keep_going_callback,
                                 &detached};
    const kernel::BoundedMinimum best_point =
        kernel::search_forward(kernel::_fwd_iv_abs_diff, &params, result.parity);
    // no strike inverted on both sides at the forward found: there is no forward to report
    if (best_point.fx != kernel::FORWARD_NO_CONTRIBUTION) result.forward = best_point.x;
    return result;
}

PyObject *group_forwards(PyObject *const *args) {
    // calls, puts, strikes, bounds, S, D as contiguous arrays (a contiguous one is not copied)
    const char *const names[] = {"calls", "puts", "strikes", "bounds", "S", "D"};
    Ref converted[6];
    ContiguousBuffer views[6];
    for (int k = 0; k < 6; ++k) {
        const bool is_bounds = k == 3;
        converted[k] = np_call_with_dtype("ascontiguousarray", args[k],
                                          is_bounds ? "int64" : "float64");
        if (!converted[k] ||
            !views[k].acquire(converted[k].get(), names[k], is_bounds ? 'q' : 'd')) {
            return nullptr;
        }
    }
    const double strike_pct = PyFloat_AsDouble(args[6]);
    if (strike_pct == -1.0 && PyErr_Occurred()) return nullptr;

    const Py_ssize_t rows = views[0].size();
    const Py_ssize_t groups = views[4].size();
    if (views[1].size() != rows || views[2].size() != rows || views[5].size() != groups ||
        views[3].size() != groups + 1) {
        PyErr_SetString(PyExc_ValueError, "group_forwards(): calls, puts and strikes must have "
                        "one length, S and D one per group and bounds one more");
        return nullptr;
    }
    // copied as they are checked: the searches use the bounds checked, whatever another thread
    // writes to the caller's array meanwhile
    const std::vector<std::int64_t> bounds(views[3].data<const std::int64_t>(),
                                           views[3].data<const std::int64_t>() + groups + 1);
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
    bool out_of_memory = false;
    {
        Detached detached;
        try {
            Scratch scratch;
            for (Py_ssize_t g = 0; g < groups && !detached.interrupted(); ++g) {
                const GroupForward found = solve_group(calls, puts, strikes, bounds[g],
                                                       bounds[g + 1], S[g], D[g], strike_pct,
                                                       detached, scratch);
                forward_out[g] = found.forward;
                parity_out[g] = found.parity;
                used_out[g] = found.used;
            }
        } catch (const std::bad_alloc &) {
            out_of_memory = true;
        }
        detached.reattach();
        if (detached.interrupted()) return nullptr;
    }
    if (out_of_memory) return PyErr_NoMemory();
    return PyTuple_Pack(3, forward.get(), parity.get(), used.get());
}

PyObject *group_forwards_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes("group_forwards", nargs, 7)) return nullptr;
    return allocation_failure_as_memory_error([args] { return group_forwards(args); });
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
    "group_forwards", fast_call(group_forwards_entry), METH_FASTCALL,
    "group_forwards($module, calls, puts, strikes, bounds, S, D, strike_pct, /)\n--\n\n"
    "(forward, parity, used) of each group g of paired call and put prices, rows\n"
    "bounds[g]:bounds[g + 1], at spot S[g] and discount factor D[g]: the forward as\n"
    "find_forward_baw finds it on the group's usable strikes (both prices finite and positive,\n"
    "the strike finite) in strike order, the parity estimate it searches around and the count\n"
    "of strikes in the window it uses. NaN and 0 where S or D is not finite or no strike is\n"
    "usable. The searches run with the thread detached; Ctrl-C on the main thread stops them."};

}  // namespace kelvo
