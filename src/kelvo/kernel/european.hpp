// European options in forward form (Black 1976): the price, its sensitivities and the implied
// total standard deviation, for index options and other contracts exercised only at expiry.
// The price is pricing.hpp's _bsm_price; only the forward and the discount factor matter, the
// spot enters the sensitivities through the carry F / S, held as the spot moves.
#pragma once

#include <cmath>
#include <limits>

#include "constants.hpp"
#include "pricing.hpp"
#include "root_search.hpp"

namespace kelvo::kernel {

// The zero-volatility value D max(F - K, 0), or D max(K - F, 0) for a put: the least a European
// option is worth.
inline double forward_intrinsic(double K, double D, double F, int q) {
    const double value = (q == 1 ? F - K : K - F) * D;
    return value > 0 ? value : 0.0;  // NaN gives 0 as well
}

// sigma beyond the range of pricing.hpp's American price is priced at its end, as there.
inline double _european_price(double K, double D, double F, double sigma, int q) {
    if (sigma > SIGMA_CEILING) sigma = SIGMA_CEILING;
    return _bsm_price(K, D, F, sigma, q);
}

inline Greeks _european_greeks(double S, double K, double D, double F, double sigma, int q) {
    const bool positive = sigma > 0;
    const double sig = sigma > SIGMA_CEILING ? SIGMA_CEILING : sigma;
    // Black's terms once for the price and the sensitivities (its price is _european_price's)
    const Black black = positive ? black_terms(libm::log(F / K), K, D, F, sig, q) : Black{};
    const double price = positive ? black.price : _european_price(K, D, F, sigma, q);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (price != price) return {price, nan, nan, nan};
    const double carry = F / S;
    const bool call = q == 1;
    Greeks g{price, 0.0, 0.0, 0.0};
    g.dD = price / D;  // D (F N(d1) - K N(d2)) is linear in D
    if (!positive) {  // the payoff at the forward: its slope, no curvature
        const bool in = call ? F > K : F < K;
        g.delta = in ? (call ? D * carry : -D * carry) : 0.0;
        g.dF = in ? (call ? D : -D) : 0.0;
        return g;
    }
    black_sensitivities(g, S, D, F, carry, sig, black.d1, black.N_d1, call);
    return g;
}

struct EuropeanVolParams {
    double price, log_FK, K, D, F;
    int q;
};

inline double european_vol_objective(double sigma, void *args) {
    const EuropeanVolParams &p = *static_cast<const EuropeanVolParams *>(args);
    return black_price_at(p.log_FK, p.K, p.D, p.F, sigma, p.q) - p.price;
}

// The total standard deviation at which the European price is price: 0.0 for a price at or below
// the zero-volatility value plus _IV_TOL (no volatility), NaN where none up to the bracket's
// limit reproduces it (at or above the discounted forward for a call, the discounted strike for
// a put) or an input is NaN. brentq solves it to _IV_TOL in sigma, as the American search does.
inline double _european_implied_vol(double price, double K, double D, double F, int q) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (!(price == price && K == K && D == D && F == F)) return nan;
    if (price <= forward_intrinsic(K, D, F, q) + _IV_TOL) return 0.0;
    const double ceiling = (q == 1 ? F : K) * D;  // the limit as sigma grows
    if (!(price < ceiling) || !(K > 0 && F > 0 && D > 0)) return nan;
    EuropeanVolParams params{price, libm::log(F / K), K, D, F, q};
    constexpr double SIGMA_HI_LIMIT = 16.0;  // the upper end doubles from 1 up to this
    double hi = 1.0;
    double f_hi = european_vol_objective(hi, &params);
    while (f_hi < 0 && hi < SIGMA_HI_LIMIT) {
        hi *= 2;
        f_hi = european_vol_objective(hi, &params);
    }
    const double f_lo = european_vol_objective(IV_SIGMA_LO, &params);
    if (!(f_lo < 0 && f_hi >= 0)) return f_lo == 0 ? IV_SIGMA_LO : nan;
    if (f_hi == 0) return hi;
    return brentq_known_ends(european_vol_objective, &params, IV_SIGMA_LO, f_lo, hi, f_hi,
                             _IV_TOL, _IV_TOL, IV_MAXITER);
}

}  // namespace kelvo::kernel
