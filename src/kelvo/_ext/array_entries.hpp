// The functions of kelvo._arrays.
#pragma once

#include "baw_core/entries.hpp"

namespace kelvo {

extern Entry vectorized_baw_price_entry;
extern Entry vectorized_baw_greeks_entry;
extern Entry arrays_baw_implied_vol_entry;  // kelvo._arrays.vectorized_baw_implied_vol
extern Entry vectorized_european_price_entry;
extern Entry vectorized_european_greeks_entry;
extern Entry vectorized_european_implied_vol_entry;
extern PyMethodDef csv_lines_def;
extern PyMethodDef scan_csv_def;
extern PyMethodDef group_forwards_def;
extern PyMethodDef parity_forward_def;
extern PyMethodDef exp_into_def;
extern PyMethodDef log_into_def;

// The forward search's strike windows and search band as module attributes.
bool add_forward_rules(PyObject *module);

}  // namespace kelvo
