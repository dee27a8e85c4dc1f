// vectorized_baw_implied_vol: NumPy conversions with the interpreter held, then one serial loop
// of the scalar solver with the calling thread detached.
#include "arrays.hpp"
#include "detached.hpp"
#include "entries.hpp"
#include "kernel/implied_vol.hpp"

namespace kelvo {

namespace {

constexpr const char SOURCE_FILE[] = "kelvo/baw_core/vectorized_entry.cpp";
constexpr int N_NUMERIC = 5;

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

PyObject *vectorized_body(PyObject *const *inputs) {
    static const char *const NUMERIC_NAMES[N_NUMERIC] = {"prices", "S_arr", "K_arr", "D_arr",
                                                         "F_arr"};
    PyObject *prices = inputs[0];
    const Py_ssize_t n = PyObject_Length(prices);
    if (n < 0) return nullptr;

    Ref converted[N_NUMERIC];
    StridedView<double> numeric[N_NUMERIC];
    for (int k = 0; k < N_NUMERIC; ++k) {
        converted[k] = np_call_with_dtype("ascontiguousarray", inputs[k], "float64");
        // Inputs are only read: read-only arrays (memory maps, frombuffer) need no copy.
        if (!converted[k] || !numeric[k].acquire(converted[k].get(), PyBUF_RECORDS_RO) ||
            !require_length(NUMERIC_NAMES[k], numeric[k].size(), n)) {
            return nullptr;
        }
    }

    Ref selector_list = build_selector_list(inputs[5]);
    if (!selector_list) return nullptr;
    Ref selector_array = np_call_with_dtype("array", selector_list.get(), "intc");
    StridedView<int> q_view;
    if (!selector_array || !q_view.acquire(selector_array.get(), PyBUF_RECORDS_RO) ||
        !require_length("flags", q_view.size(), n)) {
        return nullptr;
    }

    Ref n_object(PyLong_FromSsize_t(n));
    if (!n_object) return nullptr;
    Ref out = np_call_with_dtype("empty", n_object.get(), "float64");
    StridedView<double> out_view;
    if (!out || !out_view.acquire(out.get(), PyBUF_RECORDS) ||
        !require_length("output", out_view.size(), n)) {
        return nullptr;
    }

    const char *p = numeric[0].data();
    const char *s = numeric[1].data();
    const char *k = numeric[2].data();
    const char *d = numeric[3].data();
    const char *f = numeric[4].data();
    const char *q = q_view.data();
    char *o = out_view.data();
    {
        Detached detached;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const double sigma = kernel::_baw_implied_vol_c(load<double>(p), load<double>(s),
                                                            load<double>(k), load<double>(d),
                                                            load<double>(f), load<int>(q));
            std::memcpy(o, &sigma, sizeof sigma);
            p += numeric[0].stride();
            s += numeric[1].stride();
            k += numeric[2].stride();
            d += numeric[3].stride();
            f += numeric[4].stride();
            q += q_view.stride();
            o += out_view.stride();
            if ((i & 15) == 15 && !detached.keep_going()) break;
        }
        detached.reattach();
        if (detached.interrupted()) return nullptr;
    }

    // Failure (-1.0) becomes NaN; 0.0 (at or below intrinsic) stays.
    Ref asarray = np_attribute("asarray");
    if (!asarray) return nullptr;
    Ref result(PyObject_CallOneArg(asarray.get(), out.get()));
    if (!result) return nullptr;
    Ref zero(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Ref negative(PyObject_RichCompare(result.get(), zero.get(), Py_LT));
    if (!negative) return nullptr;
    Ref nan = np_attribute("nan");
    if (!nan || PyObject_SetItem(result.get(), negative.get(), nan.get()) < 0) return nullptr;
    return result.release();
}

PyObject *vectorized_baw_implied_vol(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames) {
    const Signature &sig = vectorized_baw_implied_vol_entry.signature;
    PyObject *result = nullptr;
    BoundArgs bound;
    if (bind_arguments(sig, args, nargs, kwnames, bound)) {
        PyObject *inputs[MAX_PARAMS];
        for (int i = 0; i < MAX_PARAMS; ++i) inputs[i] = bound[i];
        result = vectorized_body(inputs);
    }
    if (result == nullptr) add_traceback(sig.qualname, SOURCE_FILE, __LINE__);
    return result;
}

}  // namespace

Entry vectorized_baw_implied_vol_entry = {
    {"vectorized_baw_implied_vol", {"prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"}, 6,
     0.0, 0, nullptr, {}},
    vectorized_baw_implied_vol,
    "Batch BAW IV extraction over parallel arrays, with the interpreter lock released.\n"
    "\n"
    "    All inputs are arrays of equal length. flags is array of 'c'/'p'.\n"
    "    Returns numpy array of implied vols.\n"
    "    ",
    {}};

}  // namespace kelvo
