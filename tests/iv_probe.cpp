// The implied-volatility kernel for records of (price, S, K, D, F, q) read from FILE as doubles:
// writes, per record, the kernel's answer, the general search's (sigma_hi grown from 1, brentq
// from 1e-8, critical spots to the price's tolerance), a tight reference (the general search
// with critical spots to a few ulps and the volatility to 1e-14) and the kernel's answer with
// four quotes in flight to FILE.out. brentq comes from SciPy through an embedded interpreter, as
// in the module.
#include <Python.h>

#include <cstdio>
#include <string>
#include <vector>

#include "embedded_brentq.hpp"
#include "kernel/implied_vol.hpp"

int main(int argc, char **argv) {
    namespace k = kelvo::kernel;
    if (argc != 2) return 2;
    Py_Initialize();
    if (!load_brentq()) {
        PyErr_Print();
        return 1;
    }
    std::FILE *in = std::fopen(argv[1], "rb");
    std::FILE *out = std::fopen((std::string(argv[1]) + ".out").c_str(), "wb");
    if (in == nullptr || out == nullptr) return 1;
    std::vector<double> records;
    double r[6];
    while (std::fread(r, sizeof r, 1, in) == 1) records.insert(records.end(), r, r + 6);
    const std::int64_t n = static_cast<std::int64_t>(records.size() / 6);
    std::vector<double> in_flight(n);
    k::implied_vols<4>(
        0, n,
        [&](std::int64_t i, double &price, double &S, double &K, double &D, double &F, int &q) {
            const double *x = &records[6 * i];
            price = x[0], S = x[1], K = x[2], D = x[3], F = x[4], q = static_cast<int>(x[5]);
        },
        [&](std::int64_t i, double value) { in_flight[i] = value; });
    for (std::int64_t i = 0; i < n; ++i) {
        const double *x = &records[6 * i];
        const int q = static_cast<int>(x[5]);
        const double values[4] = {
            k::_baw_implied_vol_c(x[0], x[1], x[2], x[3], x[4], q),
            k::implied_vol_by_growth(x[0], x[1], x[2], x[3], x[4], q),
            k::implied_vol_by_growth(x[0], x[1], x[2], x[3], x[4], q, k::TIGHT_CRITICAL, 1e-14),
            in_flight[i]};
        std::fwrite(values, sizeof values, 1, out);
    }
    std::fclose(in);
    return std::fclose(out) == 0 ? 0 : 1;
}
