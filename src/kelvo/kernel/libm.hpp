// The transcendental functions the kernel calls, in one place: kelvo's own erfc (erfc.hpp) and
// exp, log and pow (exp_log.hpp), so that no result depends on the C library or the CPU.
// A counting build (-DKELVO_COUNT_CALLS, used by bench/cost_model.py only) tallies every call and
// keeps a sample of arguments, so that the cost of the arithmetic can be measured on the
// kernel's own inputs.
#pragma once

#include <cmath>

#include "erfc.hpp"
#include "exp_log.hpp"

#ifdef KELVO_COUNT_CALLS
#include <vector>
#endif

namespace kelvo::kernel {

#ifdef KELVO_COUNT_CALLS
struct CountedFunction {
    long long calls = 0;
    std::vector<double> args;  // the first arguments seen, for timing
    void note(double x) {
        ++calls;
        if (args.size() < 1000000) args.push_back(x);
    }
};
struct CallCounts {
    long long american = 0;
    long long critical = 0;
    CountedFunction erfc, exp, log, pow_base, pow_exponent;
};
inline CallCounts call_counts;
#define KELVO_NOTE(counter, x) ::kelvo::kernel::call_counts.counter.note(x)
#define KELVO_TALLY(counter) ++::kelvo::kernel::call_counts.counter
#else
#define KELVO_NOTE(counter, x) static_cast<void>(0)
#define KELVO_TALLY(counter) static_cast<void>(0)
#endif

// The functions themselves, which the cost model times on the recorded arguments.
namespace uncounted {
#if defined(KELVO_SYSTEM_LIBM)  // the C library's, for comparisons
inline double exp(double x) { return std::exp(x); }
inline double log(double x) { return std::log(x); }
inline double pow(double x, double y) { return std::pow(x, y); }
#else
inline double exp(double x) { return kernel::exp(x); }
inline double log(double x) { return kernel::log(x); }
inline double pow(double x, double y) { return kernel::pow(x, y); }
#endif
#if defined(KELVO_CODY_ERFC)  // bench/cody_erfc.hpp, included first by the cost model's comparison
inline double erfc(double x) { return cody::erfc(x); }
#elif defined(KELVO_SYSTEM_ERFC)  // the C library's, for comparisons
inline double erfc(double x) { return std::erfc(x); }
#else
inline double erfc(double x) { return kernel::erfc(x); }
#endif
}  // namespace uncounted

namespace libm {

inline double exp(double x) {
    KELVO_NOTE(exp, x);
    return uncounted::exp(x);
}

inline double log(double x) {
    KELVO_NOTE(log, x);
    return uncounted::log(x);
}

inline double pow(double x, double y) {
    KELVO_NOTE(pow_base, x);
    KELVO_NOTE(pow_exponent, y);
    return uncounted::pow(x, y);
}

inline double erfc(double x) {
    KELVO_NOTE(erfc, x);
    return uncounted::erfc(x);
}

}  // namespace libm
}  // namespace kelvo::kernel
