// The owner of a reference, used for every reference the entry layer holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kelvo {

// An owned reference, released when the holder goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject *owned) noexcept : obj_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = other.obj_;
            other.obj_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    static Ref borrowed(PyObject *obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject *obj_ = nullptr;
};

}  // namespace kelvo
