// Binding to SciPy's native Brent root finder (scipy.optimize.cython_optimize._zeros.brentq).
// The pointer is set once while the module starts and only read afterwards, from any thread.
#pragma once

#include <limits>

namespace kelvo::kernel {

using callback_type = double (*)(double x, void *args);

// SciPy's result record; every call site supplies one and none reads it.
struct zeros_full_output {
    int funcalls;
    int iterations;
    int error_num;
    double root;
};

using brentq_t = double (*)(callback_type f, double xa, double xb, void *args,
                            double xtol, double rtol, int maxiter,
                            zeros_full_output *full_output);

// The capsule name SciPy exports for brentq; anything else is a different ABI.
constexpr char BRENTQ_SIGNATURE[] =
    "double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, double, "
    "void *, double, double, int, "
    "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)";

inline brentq_t brentq = nullptr;

// f and its arguments, with its values at the two ends of the bracket, which brentq asks for
// first and the caller has already computed.
struct KnownEnds {
    callback_type f;
    void *args;
    double x0, f0, x1, f1;
};

// brentq compares the signs of its values by their sign bits, and a NaN's sign bit depends on
// the operation and even the compiler that made it: every NaN reaches it as the same quiet NaN,
// so that inputs without a meaning give the same answer in every build of the kernel.
inline double signless_nan(double v) {
    return v != v ? std::numeric_limits<double>::quiet_NaN() : v;
}

inline double known_ends_objective(double x, void *params) {
    const KnownEnds &k = *static_cast<const KnownEnds *>(params);
    if (x == k.x0) return k.f0;
    if (x == k.x1) return k.f1;
    return signless_nan(k.f(x, k.args));
}

inline double brentq_known_ends(callback_type f, void *args, double a, double fa, double b,
                                double fb, double xtol, double rtol, int maxiter) {
    KnownEnds known{f, args, a, signless_nan(fa), b, signless_nan(fb)};
    zeros_full_output fo;
    return brentq(known_ends_objective, a, b, &known, xtol, rtol, maxiter, &fo);
}

}  // namespace kelvo::kernel
