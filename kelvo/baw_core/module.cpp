// Module definition and start-up of kelvo.baw_core (multi-phase initialisation).
#include "binding.hpp"
#include "entries.hpp"
#include "kernel/root_search.hpp"

#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstring>

namespace kelvo {
namespace {

constexpr const char MODULE_NAME[] = "kelvo.baw_core";
constexpr const char INIT_NAME[] = "init kelvo.baw_core";
constexpr const char SOURCE_FILE[] = "kelvo/baw_core/module.cpp";
constexpr const char ZEROS_MODULE[] = "scipy.optimize.cython_optimize._zeros";

constexpr const char MODULE_DOC[] =
    "Barone-Adesi-Whaley (1987) American option pricer and IV solver.\n"
    "\n"
    "Implements baw_price, baw_implied_vol, vectorized_baw_implied_vol, and\n"
    "find_forward_baw as native code (array loops run without the interpreter lock, with "
    "SciPy's native brentq inside).\n";

// Process-global state: written while the module starts, only read afterwards.
// The module object itself lives in entry_context.module.
std::int64_t owner_interpreter_id = -1;

// The text signature before "--" gives inspect the parameter names and the default.
PyMethodDef baw_price_def = {
    "baw_price", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelvo::baw_price)),
    METH_FASTCALL | METH_KEYWORDS,
    "baw_price($module, S, K, D, F, sigma, flag)\n--\n\n"
    "BAW American option price (Barone-Adesi-Whaley quadratic approximation).\n"
    "\n"
    "    S spot, K strike, D discount factor, F forward, sigma total std dev.\n"
    "    flag: 'c' or 'p'.\n"
    "    "};

PyMethodDef baw_implied_vol_def = {
    "baw_implied_vol",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelvo::baw_implied_vol)),
    METH_FASTCALL | METH_KEYWORDS,
    "baw_implied_vol($module, price, S, K, D, F, flag)\n--\n\n"
    "BAW implied total std dev that reproduces an American option price.\n"
    "\n"
    "    Returns sigma or NaN on failure.\n"
    "    "};

bool copy_spec_attribute(PyObject *spec, PyObject *dict, const char *from, const char *to,
                         bool allow_none) {
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    // Only an import that completes claims the module (module_exec); a failed one in another
    // interpreter leaves it free.
    if (owner_interpreter_id != -1 && owner_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (entry_context.module != nullptr) {
        Py_INCREF(entry_context.module);
        return entry_context.module;
    }
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

bool warn_on_version_mismatch() {
    const int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, MODULE_NAME, "does not match",
                            runtime_major, runtime_minor) == 0;
}

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

bool bind_function(PyObject *module, PyMethodDef *def, Signature &sig) {
    if (!intern_parameter_names(sig)) return false;
    PyObject *module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return false;
    Ref function(PyCFunction_NewEx(def, module, module_name));
    Py_DECREF(module_name);
    if (!function) return false;
    return PyModule_AddObjectRef(module, def->ml_name, function.get()) == 0;
}

PyMethodDef vectorized_baw_implied_vol_def = {
    "vectorized_baw_implied_vol",
    reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)(void)>(kelvo::vectorized_baw_implied_vol)),
    METH_FASTCALL | METH_KEYWORDS,
    "vectorized_baw_implied_vol($module, prices, S_arr, K_arr, D_arr, F_arr, flags)\n--\n\n"
    "Batch BAW IV extraction over parallel arrays, with the interpreter lock released.\n"
    "\n"
    "    All inputs are arrays of equal length. flags is array of 'c'/'p'.\n"
    "    Returns numpy array of implied vols.\n"
    "    "};

PyMethodDef find_forward_baw_def = {
    "find_forward_baw",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kelvo::find_forward_baw)),
    METH_FASTCALL | METH_KEYWORDS,
    "find_forward_baw($module, call_prices, put_prices, strikes, S, D, strike_pct=0.01)\n--\n\n"
    "Find forward price F where BAW call IV \u2248 put IV across near-ATM strikes."};

bool execute(PyObject *module) {
    entry_context.module = module;
    Py_INCREF(module);
#ifdef Py_GIL_DISABLED
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#endif
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins || PyModule_AddObjectRef(module, "__builtins__", builtins.get()) < 0) {
        return false;
    }
    if (!warn_on_version_mismatch()) return false;

    PyObject *sys_modules = PyImport_GetModuleDict();
    Ref module_key(PyUnicode_FromString(MODULE_NAME));
    if (!module_key) return false;
    const int registered = PyDict_Contains(sys_modules, module_key.get());
    if (registered < 0) return false;
    if (!registered && PyDict_SetItem(sys_modules, module_key.get(), module) < 0) return false;

    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    if (!fetch_brentq()) return false;
    if (PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return false;
    if (!import_numpy_capi()) return false;

    if (entry_context.call_flag == nullptr) {
        entry_context.call_flag = PyUnicode_InternFromString("c");
        entry_context.np_name = PyUnicode_InternFromString("np");
        entry_context.dtype_kwnames = Py_BuildValue("(s)", "dtype");
        if (entry_context.call_flag == nullptr || entry_context.np_name == nullptr ||
            entry_context.dtype_kwnames == nullptr) {
            return false;
        }
    }
    if (!bind_function(module, &baw_price_def, baw_price_signature) ||
        !bind_function(module, &baw_implied_vol_def, baw_implied_vol_signature) ||
        !bind_function(module, &vectorized_baw_implied_vol_def,
                       vectorized_baw_implied_vol_signature) ||
        !bind_function(module, &find_forward_baw_def, find_forward_baw_signature)) {
        return false;
    }
    Ref test_dict(PyDict_New());
    return test_dict && PyModule_AddObjectRef(module, "__test__", test_dict.get()) == 0;
}

int module_exec(PyObject *module) {
    if (entry_context.module != nullptr) {
        if (entry_context.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'baw_core' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (execute(module)) {
        owner_interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
        return 0;
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, INIT_NAME);
    add_traceback(INIT_NAME, SOURCE_FILE, __LINE__);
    Py_CLEAR(entry_context.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "baw_core",
    MODULE_DOC,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kelvo

PyMODINIT_FUNC PyInit_baw_core(void) { return PyModuleDef_Init(&kelvo::module_def); }
