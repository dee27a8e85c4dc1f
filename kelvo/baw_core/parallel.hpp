// The parallel-array inputs of the vectorised functions: five numeric arrays and a flags
// sequence, converted and viewed with the interpreter held.
#pragma once

#include "arrays.hpp"

namespace kelvo {

constexpr int N_NUMERIC = 5;

struct ParallelInputs {
    Ref converted[N_NUMERIC];
    StridedView<double> numeric[N_NUMERIC];
    Ref selector_array;
    StridedView<int> q_view;
    Py_ssize_t n = 0;  // the length of the first input; shorter ones are refused, longer cut

    // inputs[0..4] as float64 views (read-only inputs are not copied), inputs[5] classified into
    // call/put selectors. False with an exception set; names name the numeric inputs.
    bool acquire(PyObject *const *inputs, const char *const names[N_NUMERIC]);
};

// A new float64 array of n elements and its writable view.
Ref new_float64_array(Py_ssize_t n, StridedView<double> &view);

}  // namespace kelvo
