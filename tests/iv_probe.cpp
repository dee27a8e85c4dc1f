// The implied-volatility kernel for records of (price, S, K, D, F, q) read from FILE as doubles:
// writes, per record, the kernel's answer, the general search's (sigma_hi grown from 1, brentq
// from 1e-8, critical spots to the price's tolerance) and a tight reference (the general search
// with critical spots to a few ulps and the volatility to 1e-14) to FILE.out. brentq comes from
// SciPy through an embedded interpreter, as in the module.
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
    double r[6];
    while (std::fread(r, sizeof r, 1, in) == 1) {
        const int q = static_cast<int>(r[5]);
        const double values[3] = {
            k::_baw_implied_vol_c(r[0], r[1], r[2], r[3], r[4], q),
            k::implied_vol_by_growth(r[0], r[1], r[2], r[3], r[4], q),
            k::implied_vol_by_growth(r[0], r[1], r[2], r[3], r[4], q, k::TIGHT_CRITICAL, 1e-14)};
        std::fwrite(values, sizeof values, 1, out);
    }
    std::fclose(in);
    return std::fclose(out) == 0 ? 0 : 1;
}
