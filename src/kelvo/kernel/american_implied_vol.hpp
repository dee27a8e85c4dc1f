// Implied total standard deviation of the American price of american.hpp, with the conventions of
// the BAW search (implied_vol.hpp): 0.0 for a price at or below spot intrinsic value plus _IV_TOL,
// -1.0 (NaN to Python) where no sigma up to IV_LAST_SIGMA_HI reproduces the price or the method
// does not apply.
//
// Newton's method on the price with the engine's own vega, from the BAW implied volatility of the
// same quote (within a few per cent of this one; Black's where BAW's search finds none), not below
// the grid's least sigma (below_grid searches below it), improved by steps of the fast setting,
// keeping the bracket that the prices seen so far give. A step below ALO_IV_ACCEPT is the last
// (from the fast setting's start one price of the setting asked for usually ends it); a step inside
// the tolerance but outside the bracket takes one more price just past the root, so that brentq
// gets a bracket already as narrow as its tolerance; a step that leaves the bracket hands it to
// brentq as it is.
// Without a bracket yet, sigma grows up to fourfold a step to IV_LAST_SIGMA_HI or falls up to
// eightfold to the grid's least sigma or IV_SIGMA_LO.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

#include "american.hpp"
#include "european.hpp"
#include "implied_vol.hpp"
#include "root_search.hpp"

namespace kelvo::kernel {

constexpr int ALO_IV_EVALUATIONS = 16;  // prices with vega before brentq takes over
constexpr double ALO_IV_ACCEPT = 1e-7;   // a Newton step below this (times 1 + sigma) is the last

template <class Scheme>
struct AloIVParams {
    double S, K, D, F, target_price;
    int q;
};

template <class Scheme>
inline double alo_iv_objective(double sigma, void *args) {
    const AloIVParams<Scheme> &p = *static_cast<const AloIVParams<Scheme> *>(args);
    return alo_value<Scheme, false>(p.S, p.K, p.D, p.F, sigma, p.q).price - p.target_price;
}

// Newton's step on log(price) at sigma with the engine's own vega (NaN where it cannot be taken):
// the same as on the price near the root, and straight where a far out-of-the-money price falls
// off exponentially in sigma.
inline double log_newton_step(const Greeks &g, double price) {
    if (!(g.vega > 0 && g.price > 0)) return std::numeric_limits<double>::quiet_NaN();
    return -libm::log(g.price / price) * g.price / g.vega;
}

// Newton steps of the fast setting from sigma, for a start within about its own error (a few
// 1e-7) of the accurate root: they cost a fraction of the accurate setting's. sigma unchanged
// where a step would leave (IV_SIGMA_LO, IV_LAST_SIGMA_HI) or is not a number.
constexpr int ALO_IV_FAST_STEPS = 2;

inline double fast_start(double price, double S, double K, double D, double F, int q,
                         double sigma) {
    for (int step = 0; step < ALO_IV_FAST_STEPS; ++step) {
        const Greeks g = alo_value<alo::FastScheme, true>(S, K, D, F, sigma, q);
        const double next = sigma + log_newton_step(g, price);
        // at most halving or doubling: far from the root the step tells little
        if (!(next > IV_SIGMA_LO && next < IV_LAST_SIGMA_HI && next > 0.5 * sigma &&
              next < 2 * sigma)) {
            break;
        }
        sigma = next;
    }
    return sigma;
}

// Whether brentq's root (where the price changes sign) is a price of the quote: within 1e-4 of
// it, or of the order of a step of the tolerance at the vega of a trial near it. Where the
// engine's price jumps (rates near NU_MAX times sigma, far below any realistic volatility) the
// sign may change across the jump, and no sigma there reproduces the quote.
template <class Scheme>
inline bool reproduces(const AloIVParams<Scheme> &p, double root, double vega) {
    const double off = std::fabs(alo_value<Scheme, false>(p.S, p.K, p.D, p.F, root, p.q).price -
                                 p.target_price);
    return off <= 1e-4 * p.target_price || off <= 4 * _IV_TOL * (1 + root) * std::fabs(vega);
}

// The search below the grid's least sigma top, where the price at top is above the quote (by
// f_top, its vega vega_top): prices there are exact or NaN, the NaN ones a band up to top, above
// every exact one. Down from top (Newton's steps from prices above the quote, at least halving
// sigma, as the price may flatten; eightfold from NaN) to a price below the quote, then brentq
// with NaN taken as above the quote; its answer stands where the price just above it is a
// number (else it is the band's lower edge, and the quote's volatility lies in the band: NaN).
constexpr int ALO_IV_DOWN_EVALUATIONS = 12;

template <class Scheme>
inline double alo_iv_objective_band_above(double sigma, void *args) {
    const double f = alo_iv_objective<Scheme>(sigma, args);
    return f == f ? f : 1.0;
}

template <class Scheme>
inline double below_grid(AloIVParams<Scheme> &params, double top, double f_top, double vega_top) {
    const AloIVParams<Scheme> &p = params;
    double hi = top, f_hi = f_top;  // the lowest price above the quote
    double sigma = top + log_newton_step(Greeks{f_top + p.target_price, 0, 0, vega_top},
                                         p.target_price);
    for (int evaluation = 0;; ++evaluation) {
        if (!(sigma > IV_SIGMA_LO && sigma < hi)) sigma = std::fmax(0.125 * hi, IV_SIGMA_LO);
        if (evaluation == ALO_IV_DOWN_EVALUATIONS) return -1.0;
        const Greeks g = alo_value<Scheme, true>(p.S, p.K, p.D, p.F, sigma, p.q);
        const double f = g.price - p.target_price;
        if (f == 0) return sigma;
        if (f < 0) {
            const double root = brentq_known_ends(alo_iv_objective_band_above<Scheme>, &params,
                                                  sigma, f, hi, f_hi, _IV_TOL, _IV_TOL,
                                                  IV_MAXITER);
            const double above = alo_iv_objective<Scheme>(root + 2 * _IV_TOL * (1 + root),
                                                          &params);
            return above == above && reproduces(params, root, g.vega) ? root : -1.0;
        }
        if (sigma <= IV_SIGMA_LO) return -1.0;  // above the quote down to the least sigma
        if (f == f) {
            hi = sigma;
            f_hi = f;
            sigma = std::fmin(sigma + log_newton_step(g, p.target_price), 0.5 * sigma);
        } else {
            sigma *= 0.125;
        }
    }
}

template <class Scheme>
inline double alo_implied_vol(double price, double S, double K, double D, double F, int q) {
    const double intrinsic = spot_intrinsic(S, K, q);
    if (price <= intrinsic + _IV_TOL) return 0.0;
    const bool ordinary = S > 0 && S < HUGE_VAL && K > 0 && K < HUGE_VAL && F > 0 &&
                          F < HUGE_VAL && D > 0 && D < HUGE_VAL && price < HUGE_VAL;
    if (!ordinary) return -1.0;
    // A quote at the zero-volatility value, which every sigma up to some sigma0 reproduces to the
    // last bit (deep in the money by the forward), carries none, as in BAW's search: where the
    // engine's own price at the least sigma is that value as well (early exercise may make it
    // more, and then no sigma reproduces the quote).
    // (The engine's value and the Black value the BAW rule takes may differ by a few ulps.)
    const double zero_volatility = forward_intrinsic(K, D, F, q);
    if (at_zero_volatility_value(price, zero_volatility + 4 * _DBL_EPS * zero_volatility)) {
        const double value = alo_value<Scheme, false>(S, K, D, F, IV_SIGMA_LO, q).price;
        if (at_zero_volatility_value(price, value + 4 * _DBL_EPS * value)) return 0.0;
    }
    AloIVParams<Scheme> params{S, K, D, F, price, q == 1 ? 1 : -1};
    // The engine prices every sigma from least_grid_sigma up; below it a price is exact or NaN,
    // the NaN ones a band up to it. The search runs from there up, and below only where the
    // price there is above the quote.
    const double floor = alo::least_grid_sigma(S, K, D, F, params.q);
    const double lowest = floor > IV_SIGMA_LO ? floor : IV_SIGMA_LO;
    if (!(lowest < IV_LAST_SIGMA_HI)) return -1.0;

    // from the BAW implied vol, or Black's (an upper bound) where BAW has none
    double sigma = _baw_implied_vol_c(price, S, K, D, F, q);
    if (!(sigma > IV_SIGMA_LO && sigma < IV_LAST_SIGMA_HI)) {
        sigma = _european_implied_vol(price, K, D, F, q);
        if (!(sigma > IV_SIGMA_LO && sigma < IV_LAST_SIGMA_HI)) sigma = IV_FIRST_SIGMA_HI;
    }
    if (!std::is_same<Scheme, alo::FastScheme>::value) {
        sigma = fast_start(price, S, K, D, F, params.q, sigma);
    }
    if (sigma < lowest) sigma = lowest;
    // the bracket: the price is below the quote at lo and above it at hi
    double lo = 0.0, f_lo = -1.0, hi = HUGE_VAL, f_hi = 1.0, vega_hi = 0.0, last_vega = 0.0;
    bool have_lo = false, have_hi = false;
    for (int evaluation = 0;; ++evaluation) {
        const Greeks g = alo_value<Scheme, true>(S, K, D, F, sigma, params.q);
        const double f = g.price - price;
        if (f != f) return -1.0;
        last_vega = g.vega;
        if (f == 0) return sigma;
        if (f < 0) {
            lo = sigma;
            f_lo = f;
            have_lo = true;
        } else {
            hi = sigma;
            f_hi = f;
            vega_hi = g.vega;
            have_hi = true;
        }
        if (have_lo && have_hi && hi - lo <= _IV_TOL * (1 + lo)) break;
        const double newton = log_newton_step(g, price);
        // A step this small leaves an error of the order of its square times the curvature of
        // log price in sigma, far inside _IV_TOL: taken without another price.
        if (std::fabs(newton) < ALO_IV_ACCEPT * (1 + sigma)) {
            const double root = sigma + newton;
            if (root > lo && root < hi && root >= lowest) return root;
        }
        const double tolerance = 0.5 * _IV_TOL * (1 + sigma);
        double next = sigma + newton;
        // within the tolerance: just past the root, for the other end
        if (std::fabs(newton) < tolerance) next += f < 0 ? tolerance : -tolerance;
        // without both ends yet at most a factor 4 up or 8 down, and never past 8
        if (!have_hi && next > 4 * sigma) next = 4 * sigma;
        if (!have_lo && next < 0.125 * sigma) next = 0.125 * sigma;
        if (next > IV_LAST_SIGMA_HI) next = IV_LAST_SIGMA_HI;
        const bool inside = next > lo && next < hi && next != sigma;
        // Newton's steps on a price that flattens towards a floor above the quote's near side
        // shrink geometrically: half the evaluations without a bracket, and the search
        // brackets instead.
        const bool stalled = !(have_lo && have_hi) && 2 * (evaluation + 1) >= ALO_IV_EVALUATIONS;
        if (!inside || stalled || evaluation + 1 == ALO_IV_EVALUATIONS) {
            if (have_lo && have_hi) break;  // brentq from the bracket found
            if (evaluation + 1 == ALO_IV_EVALUATIONS) return -1.0;
            if (have_hi) {
                // every price so far above the quote: down to the grid's least sigma
                next = 0.125 * sigma;
            } else {
                // every price so far below the quote: up to IV_LAST_SIGMA_HI
                if (sigma >= IV_LAST_SIGMA_HI) return -1.0;
                next = 2 * sigma < IV_LAST_SIGMA_HI ? 2 * sigma : IV_LAST_SIGMA_HI;
            }
        }
        if (next < lowest) {
            // above the quote at the grid's least sigma: the root is below it, if anywhere
            if (have_hi && hi <= lowest) {
                return floor > IV_SIGMA_LO ? below_grid(params, lowest, f_hi, vega_hi) : -1.0;
            }
            next = lowest;
        }
        sigma = next;
    }
    const double root = brentq_known_ends(alo_iv_objective<Scheme>, &params, lo, f_lo, hi, f_hi,
                                          _IV_TOL, _IV_TOL, IV_MAXITER);
    return reproduces(params, root, last_vega) ? root : -1.0;
}

}  // namespace kelvo::kernel
