// The functions of kelvo._arrays.
#pragma once

#include "baw_core/entries.hpp"

namespace kelvo {

extern Entry vectorized_baw_price_entry;
extern Entry vectorized_baw_greeks_entry;
extern PyMethodDef csv_lines_def;
extern PyMethodDef scan_csv_def;
extern PyMethodDef group_forwards_def;

}  // namespace kelvo
