// Start-up pieces that every native module of kelvo shares: SciPy's brentq, NumPy's C-API,
// the entry layer's module-wide objects and the binding of the module's functions.
#include "startup.hpp"

#include <numpy/arrayobject.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "detached.hpp"
#include "kernel/pricing.hpp"
#include "kernel/root_search.hpp"

namespace kelvo {

namespace {

constexpr const char ZEROS_MODULE[] = "scipy.optimize.cython_optimize._zeros";

// "name($module, a, b, c=default, *, d=None)\n--\n\n" + doc: the text signature gives inspect the
// parameter names and the default. Kept for the life of the process, as the functions are;
// null with MemoryError when it cannot be allocated.
const char *docstring_with_signature(const Signature &sig, const char *doc) try {
    std::string text = std::string(sig.name) + "($module";
    for (int i = 0; i < sig.n_params; ++i) {
        text += ", ";
        text += sig.param_names[i];
        if (i >= sig.n_required) {
            char *repr = PyOS_double_to_string(sig.optional_default, 'r', 0, 0, nullptr);
            if (repr == nullptr) return nullptr;
            text += "=";
            text += repr;
            PyMem_Free(repr);
        }
    }
    if (sig.keyword_only != nullptr) {
        text += ", *, ";
        text += sig.keyword_only;
        text += "=None";
    }
    text += ")\n--\n\n";
    text += doc;
    return (new std::string(std::move(text)))->c_str();  // never freed, like the module
} catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    return nullptr;
}

// The qualified names, "<module>.<name>", made once for the process (or null, as above).
const char *qualified_name(const char *module_name, const char *name) try {
    return (new std::string(std::string(module_name) + "." + name))->c_str();
} catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    return nullptr;
}

}  // namespace

bool bind_function(PyObject *module, const char *module_name, Entry &entry) {
    Signature &sig = entry.signature;
    if (entry.def.ml_name == nullptr) {  // the first import in this process
        const char *qualname = qualified_name(module_name, sig.name);
        if (qualname == nullptr || !complete_signature(sig, qualname)) return false;
        const char *doc = docstring_with_signature(sig, entry.doc);
        if (doc == nullptr) return false;
        entry.def = {sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry.body)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
    }
    Ref module_name_object(PyModule_GetNameObject(module));
    if (!module_name_object) return false;
    Ref function(PyCFunction_NewEx(&entry.def, module, module_name_object.get()));
    if (!function) return false;
    return PyModule_AddObjectRef(module, entry.def.ml_name, function.get()) == 0;
}

namespace {

bool fetch_brentq() {
    Ref zeros(PyImport_ImportModule(ZEROS_MODULE));
    if (!zeros) return false;
    Ref capi(PyObject_GetAttrString(zeros.get(), "__pyx_capi__"));
    if (!capi) return false;
    PyObject *capsule = PyDict_Check(capi.get())
                            ? PyDict_GetItemString(capi.get(), "brentq")
                            : nullptr;
    if (capsule == nullptr) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s",
                     ZEROS_MODULE, "function", "brentq");
        return false;
    }
    Ref held = Ref::borrowed(capsule);
    const char *name = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
    if (name == nullptr || std::strcmp(name, kernel::BRENTQ_SIGNATURE) != 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", ZEROS_MODULE, "brentq", kernel::BRENTQ_SIGNATURE,
                     name ? name : "(not a capsule)");
        return false;
    }
    void *pointer = PyCapsule_GetPointer(capsule, name);
    if (pointer == nullptr) return false;
    kernel::brentq = reinterpret_cast<kernel::brentq_t>(pointer);
    return true;
}

}  // namespace

bool start_kernel() {
    if (!fetch_brentq()) return false;
    kernel::build_critical_table();  // once for this module, some 11 ms
    return true;
}

// NumPy's standard import routine; any Exception from it becomes the usual ImportError.
bool import_numpy_capi() {
    if (_import_array() >= 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    PyObject *replacement = PyErr_GetRaisedException();
    PyException_SetContext(replacement, cause);
    PyErr_SetRaisedException(replacement);
#else
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
#endif
    return false;
}

// Each piece is made once, where an earlier start-up failed before making it too.
bool set_up_entry_context() {
    if (!entry_context.call_flag) entry_context.call_flag = PyUnicode_InternFromString("c");
    if (!entry_context.call_flag) return false;
    if (!entry_context.np_name) entry_context.np_name = PyUnicode_InternFromString("np");
    if (!entry_context.np_name) return false;
    if (!entry_context.dtype_kwnames) entry_context.dtype_kwnames = Py_BuildValue("(s)", "dtype");
    if (!entry_context.dtype_kwnames) return false;
    return find_main_thread();
}

}  // namespace kelvo
