// The parallel-array inputs of the vectorised functions: five numeric arrays and a flags
// sequence, converted and viewed with the interpreter held.
#pragma once

#include <cstdint>
#include <vector>

#include "arrays.hpp"

namespace kelvo {

constexpr int N_NUMERIC = 5;

// The flags as the loops read them: element i at data + i * stride, a native int selector
// (+1 call, -1 put), or, where text_chars is not 0, an element of a NumPy str array of that
// many code points, a call when it equals "c" (a c, then only the zeros NumPy pads with).
struct FlagColumn {
    const char *data = nullptr;
    Py_ssize_t stride = 0;
    Py_ssize_t text_chars = 0;

    int selector(const char *p) const noexcept {
        if (text_chars == 0) return load<int>(p);
        bool call = load<std::uint32_t>(p) == 'c';
        for (Py_ssize_t c = 1; call && c < text_chars; ++c) {
            call = load<std::uint32_t>(p + 4 * c) == 0;
        }
        return call ? 1 : -1;
    }
};

struct ParallelInputs {
    Ref converted[N_NUMERIC];
    StridedView<double> numeric[N_NUMERIC];
    std::vector<int> selectors;  // the flags classified one object at a time
    HeldBuffer text_flags;  // a NumPy str array of flags, read in the loops
    FlagColumn flags;
    Py_ssize_t n = 0;  // the length of the first input; shorter ones are refused, longer cut

    // inputs[0..4] as float64 views (read-only inputs are not copied), inputs[5] as flags. False
    // with an exception set; names name the numeric inputs. Flags are classified into selectors
    // one object at a time, or with read_arrays, where they are a NumPy bool or str array, from
    // its buffer as the equality test classifies its elements (a str array in the loops).
    bool acquire(PyObject *const *inputs, const char *const names[N_NUMERIC],
                 bool read_arrays = false);

private:
    // 1 when flags were read as an array, 0 when they are no such array, -1 on error.
    int read_flag_array(PyObject *given);
};

// A new float64 array of n elements and its writable view.
Ref new_float64_array(Py_ssize_t n, StridedView<double> &view);

}  // namespace kelvo
