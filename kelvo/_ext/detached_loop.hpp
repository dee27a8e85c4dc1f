// The element loops of the array functions: the kernel over parallel inputs with the thread
// detached, Ctrl-C taken on the main thread as it goes, into new float64 arrays.
#pragma once

#include <cstring>

#include "baw_core/detached.hpp"
#include "baw_core/parallel.hpp"

namespace kelvo {

// Runs element(i, a, b, c, d, e, q) over the five numeric inputs and the selectors with the
// thread detached; false (with KeyboardInterrupt or whatever a signal handler raised) when
// interrupted.
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

// A new float64 array of value(a, b, c, d, e, q) over the inputs; nullptr with an exception set.
template <typename Value>
PyObject *values_over(PyObject *const *inputs, const char *const names[N_NUMERIC], Value value) {
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

constexpr int N_GREEKS = 4;
constexpr const char *const GREEK_NAMES[N_GREEKS] = {"price", "delta", "gamma", "vega"};

// A dict of float64 arrays 'price', 'delta', 'gamma', 'vega' of greeks(S, K, D, F, sigma, q),
// which returns a kernel::Greeks; nullptr with an exception set.
template <typename GreeksOf>
PyObject *greeks_over(PyObject *const *inputs, const char *const names[N_NUMERIC],
                      GreeksOf greeks) {
    ParallelInputs in;
    if (!in.acquire(inputs, names)) return nullptr;
    StridedView<double> views[N_GREEKS];
    Ref arrays[N_GREEKS];
    for (int g = 0; g < N_GREEKS; ++g) {
        if (!(arrays[g] = new_float64_array(in.n, views[g]))) return nullptr;
    }
    const bool done = run_detached(in, [&](Py_ssize_t i, double S, double K, double D, double F,
                                           double sigma, int q) {
        const auto r = greeks(S, K, D, F, sigma, q);
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

}  // namespace kelvo
