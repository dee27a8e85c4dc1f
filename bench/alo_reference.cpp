// The accurate American engine at high resolution, as the reference of bench/alo_accuracy.py:
// reads records of six doubles (S, K, D, F, sigma, q) from argv[1] and writes one price each to
// argv[2]. The grid's cardinal tables are worked out at compile time, which for this size needs
// -fconstexpr-ops-limit raised (the script does that).
#include <cstdio>
#include <vector>

#include "kernel/american.hpp"

namespace {

// Forty Chebyshev intervals, 48 points per node, started from a 16-interval grid and taken by
// Newton's method to the bits, 128 + 64 premium points; no limit on the drift-to-volatility
// ratio (the reference is asked everywhere).
struct ReferenceScheme {
    static constexpr int COARSE_N = 16, COARSE_L = 16, COARSE_STEPS = 4;
    static constexpr int N = 40, L = 48, JACOBIAN_STEPS = 8, CHORD_STEPS = 0;
    static constexpr int LAG_POINTS = 128, EARLY_POINTS = 64;
    static constexpr double NU_MAX = 1e300;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: alo_reference RECORDS OUT\n");
        return 2;
    }
    std::FILE *in = std::fopen(argv[1], "rb");
    if (in == nullptr) return 1;
    std::vector<double> records;
    double record[6];
    while (std::fread(record, sizeof(double), 6, in) == 6) records.insert(records.end(), record, record + 6);
    std::fclose(in);
    std::vector<double> prices;
    for (std::size_t i = 0; i + 6 <= records.size(); i += 6) {
        const double *r = &records[i];
        prices.push_back(kelvo::kernel::alo_value<ReferenceScheme, false>(
                             r[0], r[1], r[2], r[3], r[4], static_cast<int>(r[5]))
                             .price);
    }
    std::FILE *out = std::fopen(argv[2], "wb");
    if (out == nullptr) return 1;
    std::fwrite(prices.data(), sizeof(double), prices.size(), out);
    std::fclose(out);
    return 0;
}
