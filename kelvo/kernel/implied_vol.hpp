// Implied total standard deviation of an American (BAW) price.
#pragma once

#include <cstdint>

#include "constants.hpp"
#include "pricing.hpp"
#include "root_search.hpp"

namespace kelvo::kernel {

struct IVParams {
    double S;
    double K;
    double D;
    double F;
    double target_price;
    std::int32_t q;
};

inline double _iv_objective(double sigma, void *args) {
    const IVParams &p = *static_cast<const IVParams *>(args);
    return _baw_price(p.S, p.K, p.D, p.F, sigma, p.q) - p.target_price;
}

constexpr double IV_SIGMA_LO = 1e-8;
constexpr double IV_FIRST_SIGMA_HI = 1.0;
constexpr int IV_MAXITER = 200;

// Returns 0.0 for a price at or below spot intrinsic value plus _IV_TOL, -1.0 when no
// volatility can be bracketed, otherwise the root found by brentq.
inline double _baw_implied_vol_c(double price, double S, double K, double D, double F, int q) {
    const double intrinsic = spot_intrinsic(S, K, q);
    if (price <= intrinsic + _IV_TOL) return 0.0;

    // sigma_hi runs 1, 2, 4, 8: reaching 16 means even sigma 8 prices below the quote, and 16
    // is not priced. Ordered comparisons, so a NaN price or model value ends the growth. The
    // last price of the growth is the objective's value at sigma_hi.
    double sigma_hi = IV_FIRST_SIGMA_HI;
    double price_hi = _baw_price(S, K, D, F, sigma_hi, q);
    while (price > price_hi) {
        sigma_hi = 2 * sigma_hi;
        if (sigma_hi >= _IV_MAX_SIGMA) return -1.0;
        price_hi = _baw_price(S, K, D, F, sigma_hi, q);
    }

    IVParams params{S, K, D, F, price, static_cast<std::int32_t>(q)};
    const double f_lo = _iv_objective(IV_SIGMA_LO, &params);
    const double f_hi = price_hi - price;
    // A sign change (an exact zero at either end counts) is required; NaN at an end fails.
    const bool bracketed = (f_lo <= 0 && f_hi >= 0) || (f_lo >= 0 && f_hi <= 0);
    if (!bracketed) return -1.0;

    zeros_full_output fo;
    return brentq(_iv_objective, IV_SIGMA_LO, sigma_hi, &params, _IV_TOL, _IV_TOL, IV_MAXITER, &fo);
}

}  // namespace kelvo::kernel
