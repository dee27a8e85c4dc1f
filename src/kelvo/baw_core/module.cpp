// Module definition and start-up of kelvo.baw_core (multi-phase initialisation).
#include "binding.hpp"
#include "entries.hpp"
#include "startup.hpp"

#include <cstdint>
#include <utility>

namespace kelvo {
namespace {

constexpr const char MODULE_NAME[] = "kelvo.baw_core";
constexpr const char INIT_NAME[] = "init kelvo.baw_core";
constexpr const char SOURCE_FILE[] = "kelvo/baw_core/module.cpp";

constexpr const char MODULE_DOC[] =
    "Barone-Adesi-Whaley (1987) American option pricer and IV solver.\n"
    "\n"
    "Implements baw_price, baw_implied_vol, vectorized_baw_implied_vol, and\n"
    "find_forward_baw as native code (array loops run without the interpreter lock, with "
    "SciPy's native brentq inside).\n";

// Process-global state: written while the module starts, only read afterwards.
// The module object itself lives in entry_context.module.
std::int64_t owner_interpreter_id = -1;

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
        return Ref::borrowed(entry_context.module).release();
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

Entry *const ENTRIES[] = {&baw_price_entry, &baw_implied_vol_entry,
                          &vectorized_baw_implied_vol_entry, &find_forward_baw_entry};

bool execute(PyObject *module) {
    // Held for the life of the process (nothing is torn down); released only if start-up fails.
    entry_context.module = Ref::borrowed(module).release();
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
    if (!start_kernel()) return false;
    if (PyModule_AddObjectRef(module, "np", numpy.get()) < 0) return false;
    if (!import_numpy_capi()) return false;

    if (!set_up_entry_context()) return false;
    for (Entry *entry : ENTRIES) {
        if (!bind_function(module, MODULE_NAME, *entry)) return false;
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
    Ref(std::exchange(entry_context.module, nullptr));  // the failed start-up's reference
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
