// Traceback entries named after the module's functions, for exceptions raised in native code.
#include "binding.hpp"

#include <frameobject.h>

namespace kelvo {

namespace {

// The pending exception, taken out while the traceback entry is built.
class PendingException {
public:
    PendingException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    PendingException(const PendingException &) = delete;
    PendingException &operator=(const PendingException &) = delete;
    ~PendingException() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type_ = nullptr;
    PyObject *tb_ = nullptr;
#endif
    PyObject *exc_ = nullptr;
};

}  // namespace

// One code object per entry name, made on first use and kept: traceback entries of repeated
// failures then cost a frame only. Returns a new reference.
static Ref traceback_code(const char *funcname, const char *filename, int lineno) {
    struct CachedCode {
        const char *funcname;
        PyObject *code;
    };
    static CachedCode cache[8] = {};
#ifdef Py_GIL_DISABLED
    // Only reached with the GIL forced off (PYTHON_GIL=0); the module asks for it otherwise.
    static PyMutex cache_lock = {0};
    struct Locked {
        Locked() { PyMutex_Lock(&cache_lock); }
        ~Locked() { PyMutex_Unlock(&cache_lock); }
    } locked;
#endif
    for (CachedCode &entry : cache) {
        if (entry.funcname == funcname) return Ref::borrowed(entry.code);
        if (entry.funcname == nullptr) {
            PyObject *code = reinterpret_cast<PyObject *>(PyCode_NewEmpty(filename, funcname, lineno));
            if (code == nullptr) return Ref();
            entry = {funcname, code};
            return Ref::borrowed(code);
        }
    }
    return Ref(reinterpret_cast<PyObject *>(PyCode_NewEmpty(filename, funcname, lineno)));
}

void add_traceback(const char *funcname, const char *filename, int lineno) {
    if (entry_context.module == nullptr) return;
    Ref frame;
    {
        PendingException pending;
        Ref code = traceback_code(funcname, filename, lineno);
        if (!code) {
            PyErr_Clear();
            return;
        }
        PyObject *globals = PyModule_GetDict(entry_context.module);
        frame = Ref(reinterpret_cast<PyObject *>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), globals, nullptr)));
        if (!frame) {
            PyErr_Clear();
            return;
        }
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

}  // namespace kelvo
