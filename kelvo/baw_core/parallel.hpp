// The parallel-array inputs of the vectorised functions: five numeric arrays and a flags
// sequence, converted and viewed with the interpreter held.
#pragma once

#include <vector>

#include "arrays.hpp"

namespace kelvo {

constexpr int N_NUMERIC = 5;

struct ParallelInputs {
    Ref converted[N_NUMERIC];
    StridedView<double> numeric[N_NUMERIC];
    Ref selector_array;
    StridedView<int> q_view;
    std::vector<int> read_selectors;  // the selectors of a NumPy string array read directly
    const char *q_data = nullptr;     // selector i (+1 call, -1 put) at q_data + i * q_stride
    Py_ssize_t q_stride = 0;
    Py_ssize_t n = 0;  // the length of the first input; shorter ones are refused, longer cut

    // inputs[0..4] as float64 views (read-only inputs are not copied), inputs[5] classified into
    // call/put selectors. False with an exception set; names name the numeric inputs. With
    // read_arrays, flags that are a NumPy bool or string array are classified from its buffer,
    // without an object per element, as the equality test classifies its elements (may throw
    // std::bad_alloc).
    bool acquire(PyObject *const *inputs, const char *const names[N_NUMERIC],
                 bool read_arrays = false);

private:
    // 1 when flags were read as an array, 0 when they are no such array, -1 on error.
    int read_flag_array(PyObject *flags);
};

// A new float64 array of n elements and its writable view.
Ref new_float64_array(Py_ssize_t n, StridedView<double> &view);

}  // namespace kelvo
