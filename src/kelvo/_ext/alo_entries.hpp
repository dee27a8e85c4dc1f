// The accurate American engine's array functions in kelvo._arrays.
#pragma once

#include "baw_core/ref.hpp"

namespace kelvo {

extern PyMethodDef vectorized_alo_price_def;
extern PyMethodDef vectorized_alo_implied_vol_def;
extern PyMethodDef vectorized_alo_greeks_def;

}  // namespace kelvo
