// Buffer views of NumPy arrays and calls into NumPy through the module global `np`.
#pragma once

#include <cstddef>
#include <cstring>

#include "binding.hpp"

namespace kelvo {

// A buffer export of an object, released when the holder goes out of scope.
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;
    ~HeldBuffer() { release(); }
    // False with the exporter's exception; an export held before is released first.
    bool acquire(PyObject *obj, int flags) {
        release();
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    const Py_buffer &view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A one-dimensional strided buffer view of T, released when the holder goes out of scope.
template <typename T>
class StridedView {
public:
    // flags: PyBUF_RECORDS_RO, PyBUF_RECORDS, or a contiguous request. False with an exception
    // (ValueError for another shape or item type), and then nothing is held.
    bool acquire(PyObject *obj, int flags);

    Py_ssize_t size() const noexcept { return buffer_.view().shape[0]; }
    Py_ssize_t stride() const noexcept { return buffer_.view().strides[0]; }
    char *data() const noexcept { return static_cast<char *>(buffer_.view().buf); }

private:
    HeldBuffer buffer_;
};

// An element that need not be aligned: NumPy arrays may be (an array unpickled from a byte
// stream, a field of a packed record), and memcpy reads them with one plain load where a cast
// pointer's dereference would be undefined.
template <typename T>
inline T load(const char *p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Raises ValueError when a view holds fewer than n elements, so loops never read past it.
bool require_length(const char *name, Py_ssize_t size, Py_ssize_t n);

// np.<attr>, looking `np` up afresh in the module globals and builtins.
Ref np_attribute(const char *attr);

// np.<function>(arg, dtype=np.<dtype_attr>), or with dtype given as an object.
Ref np_call_with_dtype(const char *function, PyObject *arg, const char *dtype_attr);
Ref np_call_with_dtype(const char *function, PyObject *arg, PyObject *dtype);

extern template class StridedView<double>;
extern template class StridedView<int>;

}  // namespace kelvo
