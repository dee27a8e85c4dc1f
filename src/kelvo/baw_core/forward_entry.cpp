// find_forward_baw: strike window and parity estimate with the interpreter held, then the
// bounded minimisation of the call/put implied-volatility gap with the thread detached.
#include <limits>

#include "arrays.hpp"
#include "detached.hpp"
#include "entries.hpp"
#include "kernel/forward.hpp"

namespace kelvo {

namespace {

constexpr const char SOURCE_FILE[] = "kelvo/baw_core/forward_entry.cpp";
using kernel::FALLBACK_WIDTHS;

// (strikes >= S (1 - pct)) & (strikes <= S (1 + pct)), both ends inclusive.
Ref window_mask(PyObject *strikes, double S, double pct) {
    Ref lo(PyFloat_FromDouble(S * (1.0 - pct)));
    Ref hi(PyFloat_FromDouble(S * (1.0 + pct)));
    if (!lo || !hi) return Ref();
    Ref above(PyObject_RichCompare(strikes, lo.get(), Py_GE));
    if (!above) return Ref();
    Ref below(PyObject_RichCompare(strikes, hi.get(), Py_LE));
    if (!below) return Ref();
    return Ref(PyNumber_And(above.get(), below.get()));
}

// The first window, widening from the caller's width, that holds a strike; all strikes if none.
Ref select_strikes(PyObject *strikes, double S, double strike_pct) {
    for (int w = -1; w < kernel::N_FALLBACK_WIDTHS; ++w) {
        const double pct = w < 0 ? strike_pct : FALLBACK_WIDTHS[w];
        Ref mask = window_mask(strikes, S, pct);
        if (!mask) return Ref();
        Ref any(PyObject_CallMethod(mask.get(), "any", nullptr));
        if (!any) return Ref();
        const int holds = PyObject_IsTrue(any.get());
        if (holds < 0) return Ref();
        if (holds) return mask;
    }
    const Py_ssize_t count = PyObject_Length(strikes);
    if (count < 0) return Ref();
    Ref count_object(PyLong_FromSsize_t(count));
    if (!count_object) return Ref();
    return np_call_with_dtype("ones", count_object.get(),
                              reinterpret_cast<PyObject *>(&PyBool_Type));
}

// np.ascontiguousarray(values[mask], dtype=np.float64) and its contiguous view.
bool take_selected(PyObject *values, PyObject *mask, Ref &selected, StridedView<double> &view) {
    Ref subset(PyObject_GetItem(values, mask));
    if (!subset) return false;
    selected = np_call_with_dtype("ascontiguousarray", subset.get(), "float64");
    return selected && view.acquire(selected.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
}

PyObject *forward_body(PyObject *const *arrays, double S, double D, double strike_pct) {
    Ref converted[3];
    for (int k = 0; k < 3; ++k) {
        converted[k] = np_call_with_dtype("asarray", arrays[k], "float64");
        if (!converted[k]) return nullptr;
    }
    PyObject *call_prices = converted[0].get();
    PyObject *put_prices = converted[1].get();
    PyObject *strikes = converted[2].get();

    Ref mask = select_strikes(strikes, S, strike_pct);
    if (!mask) return nullptr;

    Ref c_calls, c_puts, c_strikes;
    StridedView<double> calls_view, puts_view, strikes_view;
    if (!take_selected(call_prices, mask.get(), c_calls, calls_view) ||
        !take_selected(put_prices, mask.get(), c_puts, puts_view) ||
        !take_selected(strikes, mask.get(), c_strikes, strikes_view)) {
        return nullptr;
    }
    const Py_ssize_t n_sel = calls_view.size();
    if (!require_length("selected put_prices", puts_view.size(), n_sel) ||
        !require_length("selected strikes", strikes_view.size(), n_sel)) {
        return nullptr;
    }
    const double *calls = reinterpret_cast<const double *>(calls_view.data());
    const double *puts = reinterpret_cast<const double *>(puts_view.data());
    const double *ks = reinterpret_cast<const double *>(strikes_view.data());

    const double F_init = kernel::parity_forward(calls, puts, ks, n_sel, S, D);
    kernel::BoundedMinimum best;
    {
        Detached detached;
        kernel::ForwardParams params{S, D, calls, puts, ks, static_cast<std::int64_t>(n_sel),
                                     Detached::keep_going_callback, &detached};
        best = kernel::search_forward(kernel::_fwd_iv_abs_diff, &params, F_init, &params);
        detached.reattach();
        if (detached.interrupted()) return nullptr;
    }

    // No strike inverted on both sides at the forward found: there is no forward to report.
    if (best.fx == kernel::FORWARD_NO_CONTRIBUTION) {
        return PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN());
    }
    return PyFloat_FromDouble(best.x);
}

PyObject *find_forward_baw(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) {
    const Signature &sig = find_forward_baw_entry.signature;
    PyObject *result = nullptr;
    BoundArgs bound;
    double S, D, strike_pct = sig.optional_default;
    if (bind_arguments(sig, args, nargs, kwnames, bound) &&
        to_double(bound[3], &S) && to_double(bound[4], &D) &&
        (bound[5] == nullptr || to_double(bound[5], &strike_pct))) {
        PyObject *arrays[3] = {bound[0], bound[1], bound[2]};
        result = forward_body(arrays, S, D, strike_pct);
    }
    if (result == nullptr) add_traceback(sig.qualname, SOURCE_FILE, __LINE__);
    return result;
}

}  // namespace

Entry find_forward_baw_entry = {
    {"find_forward_baw", {"call_prices", "put_prices", "strikes", "S", "D", "strike_pct"}, 5,
     kernel::DEFAULT_STRIKE_PCT, 0, nullptr, {}},
    find_forward_baw,
    "Find forward price F where BAW call IV \u2248 put IV across near-ATM strikes.",
    {}};

}  // namespace kelvo
