#include "parallel.hpp"

#include <cstdint>
#include <new>

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

// Elements classified between two looks for pending signals: on the main thread a long flags
// sequence is read within Ctrl-C's reach (NumPy's str scalars compare without it).
constexpr Py_ssize_t SIGNAL_CHECK_EVERY = 4096;

// Classifies every element of flags into selectors (1 call, -1 put). False with an exception
// set.
bool classify_flags(PyObject *flags, std::vector<int> &selectors) {
    auto classify = [&](PyObject *flag) {
        const int is_call = flag_is_call(flag);
        if (is_call < 0) return false;
        selectors.push_back(is_call ? 1 : -1);
        return selectors.size() % SIGNAL_CHECK_EVERY != 0 || PyErr_CheckSignals() == 0;
    };

    if (PyList_CheckExact(flags)) {
        for (Py_ssize_t i = 0;; ++i) {
            Ref flag = list_item(flags, i);
            if (!flag) return !PyErr_Occurred();
            if (!classify(flag.get())) return false;
        }
    }
    if (PyTuple_CheckExact(flags)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(flags); ++i) {
            if (!classify(PyTuple_GET_ITEM(flags, i))) return false;
        }
        return true;
    }
    Ref iterator(PyObject_GetIter(flags));
    if (!iterator) return false;
    while (Ref flag{PyIter_Next(iterator.get())}) {
        if (!classify(flag.get())) return false;
    }
    return !PyErr_Occurred();
}

bool build_selectors(PyObject *flags, std::vector<int> &selectors) {
    selectors.clear();
    try {
        return classify_flags(flags, selectors);
    } catch (const std::bad_alloc &) {  // the selectors' growth
        PyErr_NoMemory();
        return false;
    }
}

// Flags none of which can equal "c": a put for every element.
constexpr int PUT = -1;
const FlagColumn ALL_PUTS{reinterpret_cast<const char *>(&PUT), 0, 0};

// 1 when the interpreter warns of comparisons of bytes with text (python -b), which the
// equality test of each element of a bytes array would then do; -1 on error.
int bytes_warnings_on() {
#if PY_VERSION_HEX >= 0x030F0000  // public from 3.15; a strong reference, safe without the GIL
    PyObject *flags = nullptr;
    if (PySys_GetOptionalAttrString("flags", &flags) < 0) return -1;
    Ref held(flags);
#else
    Ref held = Ref::borrowed(PySys_GetObject("flags"));
#endif
    if (!held) return 0;
    Ref value(PyObject_GetAttrString(held.get(), "bytes_warning"));
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

// A buffer format of fixed-width text in native order, "<count>w" as NumPy gives it.
bool is_native_text_format(const char *format) {
    if (format == nullptr) return false;
    if (*format == '@' || *format == '=') ++format;
#if PY_LITTLE_ENDIAN
    else if (*format == '<') ++format;
#endif
    while (*format >= '0' && *format <= '9') ++format;
    return format[0] == 'w' && format[1] == '\0';
}

}  // namespace

int ParallelInputs::read_flag_array(PyObject *given) {
    Ref ndarray = np_attribute("ndarray");
    if (!ndarray) return -1;
    // subclasses may read their elements otherwise (np.char.chararray strips blanks)
    if (Py_TYPE(given) != reinterpret_cast<PyTypeObject *>(ndarray.get())) return 0;
    Ref ndim(PyObject_GetAttrString(given, "ndim"));
    Ref dtype(PyObject_GetAttrString(given, "dtype"));
    Ref kind = dtype ? Ref(PyObject_GetAttrString(dtype.get(), "kind")) : Ref();
    if (!ndim || !kind) return -1;
    const long dimensions = PyLong_AsLong(ndim.get());
    if (dimensions == -1 && PyErr_Occurred()) return -1;
    const char *kind_text = PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8(kind.get()) : "";
    if (kind_text == nullptr) return -1;
    if (dimensions != 1 || kind_text[0] == '\0' || kind_text[1] != '\0') return 0;
    const char kind_code = kind_text[0];
    if (kind_code == 'S') {
        const int warns = bytes_warnings_on();
        if (warns != 0) return warns < 0 ? -1 : 0;  // each comparison warns, or raises
    }
    if (kind_code == 'b' || kind_code == 'S') {
        // a NumPy bool or bytes never equals the text "c": every flag a put
        const Py_ssize_t length = PyObject_Length(given);
        if (length < 0 || !require_length("flags", length, n)) return -1;
        flags = ALL_PUTS;
        return 1;
    }
    if (kind_code != 'U' || !text_flags.acquire(given, PyBUF_RECORDS_RO)) {
        return kind_code != 'U' ? 0 : -1;
    }
    // the layout checked on the buffer itself (another thread may have retyped the array);
    // swapped byte order is left to the equality test
    const Py_buffer &view = text_flags.view();
    if (view.ndim != 1 || !is_native_text_format(view.format) || view.itemsize % 4 != 0) {
        return 0;
    }
    if (!require_length("flags", view.shape[0], n)) return -1;
    flags = view.itemsize == 0  // elements of no characters: all empty, all puts
                      ? ALL_PUTS
                      : FlagColumn{static_cast<const char *>(view.buf), view.strides[0],
                                   view.itemsize / 4};
    return 1;
}

// 1 when given is a one-dimensional buffer of native float64 of any stride, now held by view:
// the loops read it where it lies, a scalar broadcast with stride 0 too, with no copy made
// while the caller waits, attached, out of Ctrl-C's reach. 0 when it is something else, -1 on
// an error other than the exporter's refusal.
int read_float64_vector(PyObject *given, StridedView<double> &view) {
    if (!PyObject_CheckBuffer(given)) return 0;
    if (view.acquire(given, PyBUF_RECORDS_RO)) return 1;
    if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !PyErr_ExceptionMatches(PyExc_ValueError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

bool ParallelInputs::acquire(PyObject *const *inputs, const char *const names[N_NUMERIC],
                             bool read_arrays) {
    n = PyObject_Length(inputs[0]);
    if (n < 0) return false;
    for (int k = 0; k < N_NUMERIC; ++k) {
        // Inputs are only read: float64 arrays of any stride, read-only ones (memory maps,
        // frombuffer) among them, need no copy; anything else becomes one.
        const int read = read_float64_vector(inputs[k], numeric[k]);
        if (read < 0) return false;
        if (read == 0) {
            converted[k] = np_call_with_dtype("ascontiguousarray", inputs[k], "float64");
            if (!converted[k] || !numeric[k].acquire(converted[k].get(), PyBUF_RECORDS_RO)) {
                return false;
            }
        }
        if (!require_length(names[k], numeric[k].size(), n)) return false;
    }
    if (read_arrays) {
        const int read = read_flag_array(inputs[N_NUMERIC]);
        if (read != 0) return read > 0;
    }
    if (!build_selectors(inputs[N_NUMERIC], selectors) ||
        !require_length("flags", static_cast<Py_ssize_t>(selectors.size()), n)) {
        return false;
    }
    flags = {reinterpret_cast<const char *>(selectors.data()), sizeof(int), 0};
    return true;
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
