// Binding to SciPy's native Brent root finder (scipy.optimize.cython_optimize._zeros.brentq).
// The pointer is set once while the module starts and only read afterwards, from any thread.
#pragma once

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

}  // namespace kelvo::kernel
