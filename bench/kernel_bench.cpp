// The numerical kernel alone, with a plain timer; brentq comes from SciPy through an embedded
// interpreter, as in the module.
//   kernel_bench iv FILE REPEATS        records of (price, S, K, D, F, q) as doubles
//   kernel_bench iv2|iv4 FILE REPEATS   the same, two or four quotes in flight
//   kernel_bench price FILE REPEATS     records of (S, K, D, F, sigma, q) as doubles
//   kernel_bench greeks FILE REPEATS    the same records, price and sensitivities
//   kernel_bench alo-accurate|alo-fast FILE REPEATS   the same records, the accurate engine
//   kernel_bench alo-iv FILE REPEATS    records as for iv, the accurate engine's implied vol
//   kernel_bench forward FILE REPEATS   S, D, then records of (call, put, strike) as doubles
//   kernel_bench erfc|exp|log FILE      writes, for the doubles in FILE, kelvo's function and
//                                       the system's to FILE.out
//   kernel_bench pow FILE               the same for the pairs (x, y) in FILE
//   kernel_bench args FILE              (built with -DKELVO_COUNT_CALLS) the iv records once,
//                                       the arguments erfc, exp and log were called with to
//                                       FILE.erfc, FILE.exp, FILE.log, pow's (x, y) to FILE.pow
//   kernel_bench cost FILE REPEATS      (built with -DKELVO_COUNT_CALLS) the iv records once,
//                                       counted, then each libm function timed on its arguments
// iv, price and greeks print microseconds per record and a checksum; forward prints milliseconds per
// search, objective evaluations, the forward found, and microseconds per inversion at it.
#include <Python.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef KELVO_CODY_ERFC
#include "cody_erfc.hpp"
#endif
#include "embedded_brentq.hpp"
#include "kernel/american_implied_vol.hpp"
#include "kernel/forward.hpp"

namespace {

using kelvo::kernel::_baw_implied_vol_c;


std::vector<double> read_doubles(const char *path) {
    std::vector<double> data;
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return data;
    double value;
    while (std::fread(&value, sizeof value, 1, file) == 1) data.push_back(value);
    std::fclose(file);
    return data;
}

template <typename Work>
double best_seconds(int repeats, Work work) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed.count() < best) best = elapsed.count();
    }
    return best;
}

// Not inlined, so that callgrind can count this loop alone (--toggle-collect=*invert_grid*).
__attribute__((noinline)) void invert_grid(const std::vector<double> &data, std::vector<double> &out) {
    for (size_t i = 0; i < out.size(); ++i) {
        const double *x = &data[6 * i];
        out[i] = _baw_implied_vol_c(x[0], x[1], x[2], x[3], x[4], static_cast<int>(x[5]));
    }
}

// The same with LANES quotes in flight (the loop of vectorized_baw_implied_vol).
template <int LANES>
__attribute__((noinline)) void invert_grid_lanes(const std::vector<double> &data,
                                                 std::vector<double> &out) {
    kelvo::kernel::implied_vols<LANES>(
        0, static_cast<std::int64_t>(out.size()),
        [&](std::int64_t i, double &p, double &s, double &k, double &d, double &f, int &q) {
            const double *x = &data[6 * i];
            p = x[0], s = x[1], k = x[2], d = x[3], f = x[4], q = static_cast<int>(x[5]);
        },
        [&](std::int64_t i, double value) { out[i] = value; });
}

__attribute__((noinline)) void price_grid(const std::vector<double> &data, std::vector<double> &out) {
    for (size_t i = 0; i < out.size(); ++i) {
        const double *x = &data[6 * i];
        out[i] = kelvo::kernel::_baw_price(x[0], x[1], x[2], x[3], x[4], static_cast<int>(x[5]));
    }
}

__attribute__((noinline)) void greeks_grid(const std::vector<double> &data, std::vector<double> &out) {
    for (size_t i = 0; i < out.size(); ++i) {
        const double *x = &data[6 * i];
        const kelvo::kernel::Greeks g =
            kelvo::kernel::_baw_greeks(x[0], x[1], x[2], x[3], x[4], static_cast<int>(x[5]));
        out[i] = g.price + g.delta + g.gamma + g.vega;
    }
}

// The accurate American engine: prices from records of (S, K, D, F, sigma, q), implied vols
// from records of (price, S, K, D, F, q).
template <class Scheme>
__attribute__((noinline)) void alo_price_grid(const std::vector<double> &data,
                                              std::vector<double> &out) {
    for (size_t i = 0; i < out.size(); ++i) {
        const double *x = &data[6 * i];
        out[i] = kelvo::kernel::alo_value<Scheme, false>(x[0], x[1], x[2], x[3], x[4],
                                                         static_cast<int>(x[5])).price;
    }
}

__attribute__((noinline)) void alo_invert_grid(const std::vector<double> &data,
                                               std::vector<double> &out) {
    for (size_t i = 0; i < out.size(); ++i) {
        const double *x = &data[6 * i];
        out[i] = kelvo::kernel::alo_implied_vol<kelvo::kernel::alo::AccurateScheme>(
            x[0], x[1], x[2], x[3], x[4], static_cast<int>(x[5]));
    }
}

#ifdef KELVO_COUNT_CALLS
// Latency of f: each call waits for the one before (its result is OR-ed into the next argument
// under a mask that is zero at run time), as the kernel's calls wait on each other. The same
// chain with f the identity is subtracted.
template <typename Function>
double chain_seconds(const std::vector<double> &args, int repeats, Function f) {
    static volatile std::uint64_t zero_mask = 0;
    const std::uint64_t mask = zero_mask;
    volatile double sink = 0;
    return best_seconds(repeats, [&] {
        double previous = 0;
        for (double x : args) {
            std::uint64_t bits, dependency;
            std::memcpy(&bits, &x, sizeof bits);
            std::memcpy(&dependency, &previous, sizeof dependency);
            bits |= dependency & mask;
            double chained;
            std::memcpy(&chained, &bits, sizeof chained);
            previous = f(chained);
        }
        sink = previous;
    });
}

// Throughput of f: independent calls, free to overlap.
template <typename Function>
double stream_seconds(const std::vector<double> &args, int repeats, Function f) {
    volatile double sink = 0;
    return best_seconds(repeats, [&] {
        double sum = 0;
        for (double x : args) sum += f(x);
        sink = sum;
    });
}

struct Cost {
    double overlapped_ns;  // throughput
    double chained_ns;     // latency
};

template <typename Function>
Cost ns_per_call(const std::vector<double> &args, int repeats, Function f) {
    if (args.empty()) return {0.0, 0.0};
    const double bare = chain_seconds(args, repeats, [](double x) { return x; });
    const double n = static_cast<double>(args.size());
    return {stream_seconds(args, repeats, f) / n * 1e9,
            (chain_seconds(args, repeats, f) - bare) / n * 1e9};
}

// Prints: implied vols, then per implied vol the American prices, critical-price evaluations and
// erfc, exp, log, pow calls, then for each of erfc, exp, log, pow the ns per call on the
// recorded arguments, overlapped and chained.
int cost(const std::vector<double> &data, int repeats) {
    namespace k = kelvo::kernel;
    const size_t n = data.size() / 6;
    std::vector<double> out(n);
    invert_grid(data, out);
    const k::CallCounts &c = k::call_counts;
    const double per = 1.0 / n;
    const std::vector<double> &base = c.pow_base.args, &exponent = c.pow_exponent.args;
    size_t j = 0;
    const Cost costs[] = {
        ns_per_call(c.erfc.args, repeats, [](double x) { return k::uncounted::erfc(x); }),
        ns_per_call(c.exp.args, repeats, [](double x) { return k::uncounted::exp(x); }),
        ns_per_call(c.log.args, repeats, [](double x) { return k::uncounted::log(x); }),
        ns_per_call(base, repeats, [&](double x) {
            const double y = exponent[j];
            j = j + 1 == base.size() ? 0 : j + 1;
            return k::uncounted::pow(x, y);
        })};
    std::printf("%zu %.4f %.4f %.4f %.4f %.4f %.4f", n, c.american * per, c.critical * per,
                c.erfc.calls * per, c.exp.calls * per, c.log.calls * per, c.pow_base.calls * per);
    for (const Cost &cost : costs) std::printf(" %.4f %.4f", cost.overlapped_ns, cost.chained_ns);
    std::printf("\n");
    return 0;
}
#endif

struct Counting {
    kelvo::kernel::ForwardParams params;
    long evaluations;
};

double counted_objective(double F, void *args) {
    Counting &c = *static_cast<Counting *>(args);
    ++c.evaluations;
    return kelvo::kernel::_fwd_iv_abs_diff(F, &c.params);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    Py_Initialize();
    if (!load_brentq()) {
        PyErr_Print();
        return 1;
    }
    const std::vector<double> data = read_doubles(argv[2]);
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 1;

#ifdef KELVO_COUNT_CALLS
    if (std::strcmp(argv[1], "cost") == 0) return cost(data, repeats);
#endif
#ifdef KELVO_COUNT_CALLS
    if (std::strcmp(argv[1], "args") == 0) {
        std::vector<double> out(data.size() / 6);
        invert_grid(data, out);
        const kelvo::kernel::CallCounts &c = kelvo::kernel::call_counts;
        std::vector<double> pairs;
        for (size_t i = 0; i < c.pow_base.args.size(); ++i) {
            pairs.push_back(c.pow_base.args[i]);
            pairs.push_back(c.pow_exponent.args[i]);
        }
        const std::pair<const char *, const std::vector<double> *> files[] = {
            {".erfc", &c.erfc.args}, {".exp", &c.exp.args}, {".log", &c.log.args},
            {".pow", &pairs}};
        for (const auto &[suffix, args] : files) {
            std::FILE *f = std::fopen((std::string(argv[2]) + suffix).c_str(), "wb");
            std::fwrite(args->data(), sizeof(double), args->size(), f);
            if (std::fclose(f) != 0) return 1;
        }
        return 0;
    }
#endif
    const struct {
        const char *name;
        double (*own)(double);
        double (*system)(double);
    } elementary[] = {{"erfc", kelvo::kernel::erfc, [](double x) { return std::erfc(x); }},
                      {"exp", kelvo::kernel::exp, [](double x) { return std::exp(x); }},
                      {"log", kelvo::kernel::log, [](double x) { return std::log(x); }}};
    for (const auto &function : elementary) {
        if (std::strcmp(argv[1], function.name) != 0) continue;
        std::FILE *out = std::fopen((std::string(argv[2]) + ".out").c_str(), "wb");
        for (double x : data) {
            const double values[2] = {function.own(x), function.system(x)};
            std::fwrite(values, sizeof values, 1, out);
        }
        return std::fclose(out) == 0 ? 0 : 1;
    }
    if (std::strcmp(argv[1], "pow") == 0) {
        std::FILE *out = std::fopen((std::string(argv[2]) + ".out").c_str(), "wb");
        for (size_t i = 0; i + 1 < data.size(); i += 2) {
            const double values[2] = {kelvo::kernel::pow(data[i], data[i + 1]),
                                      std::pow(data[i], data[i + 1])};
            std::fwrite(values, sizeof values, 1, out);
        }
        return std::fclose(out) == 0 ? 0 : 1;
    }
    const struct {
        const char *name;
        void (*grid)(const std::vector<double> &, std::vector<double> &);
    } grids[] = {{"iv", invert_grid},        {"iv2", invert_grid_lanes<2>},
                 {"iv4", invert_grid_lanes<4>}, {"price", price_grid},
                 {"greeks", greeks_grid},
                 {"alo-accurate", alo_price_grid<kelvo::kernel::alo::AccurateScheme>},
                 {"alo-fast", alo_price_grid<kelvo::kernel::alo::FastScheme>},
                 {"alo-iv", alo_invert_grid}};
    for (const auto &mode : grids) {
        if (std::strcmp(argv[1], mode.name) != 0) continue;
        const size_t n = data.size() / 6;
        std::vector<double> out(n);
        const auto grid = mode.grid;
        const double seconds = best_seconds(repeats, [&] { grid(data, out); });
        double checksum = 0;
        for (double v : out) checksum += v == v ? v : 0;
        std::printf("%.6f %.17g\n", seconds / n * 1e6, checksum);
        return 0;
    }

    const double S = data[0], D = data[1];
    const size_t n = (data.size() - 2) / 3;
    std::vector<double> calls(n), puts(n), strikes(n);
    for (size_t j = 0; j < n; ++j) {
        calls[j] = data[2 + 3 * j];
        puts[j] = data[3 + 3 * j];
        strikes[j] = data[4 + 3 * j];
    }
    const std::int64_t count = static_cast<std::int64_t>(n);
    const double F_init =
        kelvo::kernel::parity_forward(calls.data(), puts.data(), strikes.data(), count, S, D);
    Counting counting{{S, D, calls.data(), puts.data(), strikes.data(), count}, 0};
    kelvo::kernel::BoundedMinimum best{};
    const double search = best_seconds(repeats, [&] {
        counting.evaluations = 0;
        best = kelvo::kernel::search_forward(counted_objective, &counting, F_init,
                                             &counting.params);
    });
    volatile double sink = 0;
    const int inner = 200;
    const double inversions = best_seconds(repeats, [&] {
        for (int r = 0; r < inner; ++r) {
            for (size_t j = 0; j < n; ++j) {
                sink = sink + _baw_implied_vol_c(calls[j], S, strikes[j], D, best.x, 1);
                sink = sink + _baw_implied_vol_c(puts[j], S, strikes[j], D, best.x, -1);
            }
        }
    });
    std::printf("%.6f %ld %.12f %.6f\n", search * 1e3, counting.evaluations, best.x,
                inversions / (inner * 2.0 * n) * 1e6);
    return 0;
}
