// The accurate American engine at high resolution, as the reference of bench/alo_accuracy.py:
// reads records of six doubles (S, K, D, F, sigma, q) from argv[1] and writes one price each to
// argv[2]. The grid's cardinal tables are worked out at compile time, which for this size needs
// -fconstexpr-ops-limit raised (the script does that).
#include <cstdio>
#include <vector>

#include "kernel/american.hpp"

namespace {

// Thirty-two Chebyshev intervals with 48 points at every node, started from sixteen and
// twenty-four, Newton's method to the last bits (up to twenty steps: the carry layer's nodes
// near expiry settle slowly); 128 + 64 premium points; the carry clock wherever the boundary's
// switch falls within the option's life. (Forty intervals leave out more nodes near expiry and do
// no better.)
struct ReferenceScheme {
    using Narrow = kelvo::kernel::alo::Levels<16, 16, 4, 24, 32, 4, 32, 48, 20, 128, 64, true>;
    using Wide = Narrow;
    static constexpr double STEP_TOL = 1e-14, FIRST_STEP_TOL = 0, WIDE_STEP_TOL = 1e-14;
    static constexpr double CARRY_CLOCK_FROM = 0;
    using Carry = Narrow;
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
