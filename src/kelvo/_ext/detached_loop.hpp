// The element loops of the array functions: the kernel over parallel inputs, in chunks on
// native threads with the interpreter released (baw_core/pool.hpp), Ctrl-C taken on the main
// thread as they go, into new float64 arrays. Every element is the kernel's call on its own
// inputs, so the result has the same bits on any number of threads.
#pragma once

#include <cstdint>
#include <cstring>

#include "baw_core/parallel.hpp"
#include "baw_core/pool.hpp"

namespace kelvo {

// The threads of a call over in's elements at element_ns each (an element's rough cost on one
// core) when the caller asked for `requested` (0: as many as pay).
inline int threads_of(const ParallelInputs &in, int requested, double element_ns) {
    const std::int64_t n = in.n, smallest = smallest_chunk(element_ns);
    return threads_for(requested, static_cast<double>(n) * element_ns, WORK_PER_THREAD_NS,
                       (n + smallest - 1) / smallest);  // more threads than chunks would idle
}

// Runs element(i, a, b, c, d, e, q) over the five numeric inputs and the flags on `threads`
// threads, the calling one detached, in chunks for elements of element_ns each; false (with
// KeyboardInterrupt or whatever a signal handler raised) when interrupted.
template <typename Element>
bool run_elements(const ParallelInputs &in, int threads, double element_ns, Element element) {
    const auto chunk = [&](std::int64_t begin, std::int64_t end, KeepGoing &keep_going) {
        const char *p[N_NUMERIC];
        for (int k = 0; k < N_NUMERIC; ++k) {
            p[k] = in.numeric[k].data() + begin * in.numeric[k].stride();
        }
        const char *q = in.flags.data + begin * in.flags.stride;
        for (std::int64_t i = begin; i < end; ++i) {
            element(i, load<double>(p[0]), load<double>(p[1]), load<double>(p[2]),
                    load<double>(p[3]), load<double>(p[4]), in.flags.selector(q));
            for (int k = 0; k < N_NUMERIC; ++k) p[k] += in.numeric[k].stride();
            q += in.flags.stride;
            if ((i - begin) % ELEMENTS_PER_CHECK == ELEMENTS_PER_CHECK - 1 && !keep_going()) {
                return;
            }
        }
    };
    return run_chunks(in.n, threads, chunk_size(in.n, threads, element_ns), chunk);
}

inline void store(const StridedView<double> &view, Py_ssize_t i, double value) {
    std::memcpy(view.data() + i * view.stride(), &value, sizeof value);
}

// Runs ranges(begin, end) over runs of at most `run` elements of each chunk, on `threads`
// threads as run_elements does, asking whether to go on between runs; ranges reads element i's
// inputs with read_element(in, i, ...). For loops that keep several elements in flight.
template <typename Ranges>
bool run_ranges(const ParallelInputs &in, int threads, double element_ns, std::int64_t run,
                Ranges ranges) {
    const auto chunk = [&](std::int64_t begin, std::int64_t end, KeepGoing &keep_going) {
        for (std::int64_t start = begin; start < end; start += run) {
            const std::int64_t stop = end - start > run ? start + run : end;
            ranges(start, stop);
            if (stop < end && !keep_going()) return;
        }
    };
    return run_chunks(in.n, threads, chunk_size(in.n, threads, element_ns), chunk);
}

// Element i of the five numeric inputs and its flag's selector.
inline void read_element(const ParallelInputs &in, std::int64_t i, double &a, double &b,
                         double &c, double &d, double &e, int &q) {
    double *const values[N_NUMERIC] = {&a, &b, &c, &d, &e};
    for (int k = 0; k < N_NUMERIC; ++k) {
        *values[k] = load<double>(in.numeric[k].data() + i * in.numeric[k].stride());
    }
    q = in.flags.selector(in.flags.data + i * in.flags.stride);
}

// A new float64 array of value(a, b, c, d, e, q) over the inputs on `threads` threads (0: as
// many as pay at element_ns an element); nullptr with an exception set. May throw
// std::bad_alloc.
template <typename Value>
PyObject *values_over(PyObject *const *inputs, const char *const names[N_NUMERIC], Value value,
                      int threads, double element_ns) {
    ParallelInputs in;
    StridedView<double> out_view;
    Ref out;
    if (!in.acquire(inputs, names, true) || !(out = new_float64_array(in.n, out_view))) {
        return nullptr;
    }
    const bool done = run_elements(in, threads_of(in, threads, element_ns), element_ns,
                                   [&](Py_ssize_t i, double a, double b, double c, double d,
                                       double e, int q) {
                                       store(out_view, i, value(a, b, c, d, e, q));
                                   });
    return done ? out.release() : nullptr;
}

constexpr int N_GREEKS = 6;
constexpr const char *const GREEK_NAMES[N_GREEKS] = {"price", "delta", "gamma", "vega", "dF",
                                                     "dD"};

// A dict of float64 arrays by GREEK_NAMES of greeks(S, K, D, F, sigma, q),
// which returns a kernel::Greeks, on threads as for values_over; nullptr with an exception set.
template <typename GreeksOf>
PyObject *greeks_over(PyObject *const *inputs, const char *const names[N_NUMERIC],
                      GreeksOf greeks, int threads, double element_ns) {
    ParallelInputs in;
    if (!in.acquire(inputs, names, true)) return nullptr;
    StridedView<double> views[N_GREEKS];
    Ref arrays[N_GREEKS];
    for (int g = 0; g < N_GREEKS; ++g) {
        if (!(arrays[g] = new_float64_array(in.n, views[g]))) return nullptr;
    }
    const bool done = run_elements(in, threads_of(in, threads, element_ns), element_ns,
                                   [&](Py_ssize_t i, double S, double K, double D, double F,
                                       double sigma, int q) {
                                       const auto r = greeks(S, K, D, F, sigma, q);
                                       store(views[0], i, r.price);
                                       store(views[1], i, r.delta);
                                       store(views[2], i, r.gamma);
                                       store(views[3], i, r.vega);
                                       store(views[4], i, r.dF);
                                       store(views[5], i, r.dD);
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
