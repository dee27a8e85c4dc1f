// kelvo._arrays: prices and sensitivities over arrays, and the command line's CSV reader and
// writer and batched forward search, from the same kernel and entry layer as kelvo.baw_core
// (which keeps exactly its own namespace).
#include <utility>

#include "alo_entries.hpp"
#include "array_entries.hpp"
#include "baw_core/startup.hpp"

namespace kelvo {
namespace {

constexpr const char MODULE_NAME[] = "kelvo._arrays";
constexpr const char INIT_NAME[] = "init kelvo._arrays";
constexpr const char SOURCE_FILE[] = "kelvo/_ext/arrays_module.cpp";

Entry *const ENTRIES[] = {&vectorized_baw_price_entry, &vectorized_baw_greeks_entry,
                          &arrays_baw_implied_vol_entry,
                          &vectorized_european_price_entry, &vectorized_european_greeks_entry,
                          &vectorized_european_implied_vol_entry};

bool execute(PyObject *module) {
    entry_context.module = Ref::borrowed(module).release();  // for the life of the process
#ifdef Py_GIL_DISABLED
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#endif
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy || !start_kernel() || PyModule_AddObjectRef(module, "np", numpy.get()) < 0 ||
        !import_numpy_capi() || !set_up_entry_context()) {
        return false;
    }
    for (Entry *entry : ENTRIES) {
        if (!bind_function(module, MODULE_NAME, *entry)) return false;
    }
    static PyMethodDef methods[] = {csv_lines_def,
                                    scan_csv_def,
                                    group_forwards_def,
                                    parity_forward_def,
                                    exp_into_def,
                                    log_into_def,
                                    vectorized_alo_price_def,
                                    vectorized_alo_implied_vol_def,
                                    vectorized_alo_greeks_def,
                                    {nullptr, nullptr, 0, nullptr}};
    return PyModule_AddFunctions(module, methods) == 0 && add_forward_rules(module);
}

int module_exec(PyObject *module) {
    if (entry_context.module != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "kelvo._arrays is already loaded in this process: it cannot be loaded "
                        "again or into a second interpreter");
        return -1;
    }
    if (execute(module)) return 0;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, INIT_NAME);
    add_traceback(INIT_NAME, SOURCE_FILE, __LINE__);
    Ref(std::exchange(entry_context.module, nullptr));  // the failed start-up's reference
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_arrays",
    "American (BAW) and European prices, sensitivities and implied volatilities over NumPy\n"
    "arrays, and the accurate engine's (vectorized_alo_*), as native loops on every core with\n"
    "the interpreter lock released. kelvo.price, kelvo.implied_vol and kelvo.greeks broadcast\n"
    "onto them; the command line reads and writes tables of contracts and finds their\n"
    "forwards with the rest.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kelvo

PyMODINIT_FUNC PyInit__arrays(void) { return PyModuleDef_Init(&kelvo::module_def); }
