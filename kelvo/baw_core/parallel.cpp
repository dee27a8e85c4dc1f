#include "parallel.hpp"

namespace kelvo {
namespace {

// The next item of a flags list, re-reading its length so that a list changed meanwhile
// (by the equality test of an element, or by another thread) is read safely.
// Returns an empty Ref at the end of the list, with no exception set.
Ref list_item(PyObject *list, Py_ssize_t i) {
#if PY_VERSION_HEX >= 0x030D0000
    if (i >= PyList_Size(list)) return Ref();
    Ref item(PyList_GetItemRef(list, i));
    if (!item && PyErr_ExceptionMatches(PyExc_IndexError)) PyErr_Clear();  // shrank meanwhile
    return item;
#else
    if (i >= PyList_GET_SIZE(list)) return Ref();
    return Ref::borrowed(PyList_GET_ITEM(list, i));
#endif
}

// Classifies every element of flags into a new list of the ints 1 and -1.
Ref build_selector_list(PyObject *flags) {
    Ref selectors(PyList_New(0));
    if (!selectors) return Ref();
    Ref call(PyLong_FromLong(1));
    Ref put(PyLong_FromLong(-1));
    if (!call || !put) return Ref();

    auto classify = [&](PyObject *flag) {
        const int is_call = flag_is_call(flag);
        if (is_call < 0) return false;
        return PyList_Append(selectors.get(), is_call ? call.get() : put.get()) == 0;
    };

    if (PyList_CheckExact(flags)) {
        for (Py_ssize_t i = 0;; ++i) {
            Ref flag = list_item(flags, i);
            if (!flag) {
                if (PyErr_Occurred()) return Ref();
                break;
            }
            if (!classify(flag.get())) return Ref();
        }
    } else if (PyTuple_CheckExact(flags)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(flags); ++i) {
            if (!classify(PyTuple_GET_ITEM(flags, i))) return Ref();
        }
    } else {
        Ref iterator(PyObject_GetIter(flags));
        if (!iterator) return Ref();
        while (Ref flag{PyIter_Next(iterator.get())}) {
            if (!classify(flag.get())) return Ref();
        }
        if (PyErr_Occurred()) return Ref();
    }
    return selectors;
}

}  // namespace

bool ParallelInputs::acquire(PyObject *const *inputs, const char *const names[N_NUMERIC]) {
    n = PyObject_Length(inputs[0]);
    if (n < 0) return false;
    for (int k = 0; k < N_NUMERIC; ++k) {
        converted[k] = np_call_with_dtype("ascontiguousarray", inputs[k], "float64");
        // Inputs are only read: read-only arrays (memory maps, frombuffer) need no copy.
        if (!converted[k] || !numeric[k].acquire(converted[k].get(), PyBUF_RECORDS_RO) ||
            !require_length(names[k], numeric[k].size(), n)) {
            return false;
        }
    }
    Ref selector_list = build_selector_list(inputs[N_NUMERIC]);
    if (!selector_list) return false;
    selector_array = np_call_with_dtype("array", selector_list.get(), "intc");
    return selector_array && q_view.acquire(selector_array.get(), PyBUF_RECORDS_RO) &&
           require_length("flags", q_view.size(), n);
}

Ref new_float64_array(Py_ssize_t n, StridedView<double> &view) {
    Ref n_object(PyLong_FromSsize_t(n));
    if (!n_object) return Ref();
    Ref out = np_call_with_dtype("empty", n_object.get(), "float64");
    if (!out || !view.acquire(out.get(), PyBUF_RECORDS) ||
        !require_length("output", view.size(), n)) {
        return Ref();
    }
    return out;
}

}  // namespace kelvo
