// The functions of kelvo._arrays.
#pragma once

#include "baw_core/entries.hpp"

namespace kelvo {

extern Entry vectorized_baw_price_entry;
extern Entry vectorized_baw_greeks_entry;
extern PyMethodDef csv_fields_def;

}  // namespace kelvo
