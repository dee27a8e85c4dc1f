// Start-up shared by kelvo's native modules.
#pragma once

#include "entries.hpp"

namespace kelvo {

// Takes SciPy's native brentq for the kernel's root searches, then fills the kernel's table of
// critical spots (a search's first guess), which needs it. False with ImportError or TypeError
// (a capsule of another signature) set.
bool start_kernel();

// NumPy's C-API, any failure an ImportError.
bool import_numpy_capi();

// The objects of entry_context other than the module; once per process.
bool set_up_entry_context();

// Adds entry's function to module, deriving (once) its method table entry, its text signature
// and its qualified name "<module_name>.<name>".
bool bind_function(PyObject *module, const char *module_name, Entry &entry);

}  // namespace kelvo
