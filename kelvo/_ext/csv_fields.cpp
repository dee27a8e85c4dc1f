// csv_fields: the text of float64 columns as CSV fields, formatted with the interpreter lock
// released so that a writer's formatting runs beside the other threads' work.
#include <clocale>
#include <cstdio>
#include <limits>
#include <locale.h>
#include <new>
#include <string>
#include <vector>

#include "array_entries.hpp"
#include "baw_core/arrays.hpp"

namespace kelvo {
namespace {

// "%.12g" of a double is at most 18 characters ("-1.23456789012e-308"), plus its comma.
constexpr Py_ssize_t MAX_FIELD = 24;

// printf's decimal point follows LC_NUMERIC; the C locale is set for this thread only while the
// fields are written, whatever locale the program has chosen.
class CNumericLocale {
public:
    CNumericLocale() : c_(newlocale(LC_NUMERIC_MASK, "C", nullptr)) {
        if (c_ != nullptr) previous_ = uselocale(c_);
    }
    CNumericLocale(const CNumericLocale &) = delete;
    CNumericLocale &operator=(const CNumericLocale &) = delete;
    ~CNumericLocale() {
        if (c_ == nullptr) return;
        uselocale(previous_);
        freelocale(c_);
    }
    bool ok() const noexcept { return c_ != nullptr; }

private:
    locale_t c_;
    locale_t previous_ = nullptr;
};

Py_ssize_t write_rows(const std::vector<StridedView<double>> &views, Py_ssize_t n, char *out) {
    char *p = out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i > 0) *p++ = '\n';
        for (const StridedView<double> &view : views) {
            *p++ = ',';
            const double x = load<double>(view.data() + i * view.stride());
            if (x == x) p += std::snprintf(p, MAX_FIELD, "%.12g", x);
        }
    }
    return p - out;
}

PyObject *csv_fields(PyObject *, PyObject *columns) {
    Ref items(PySequence_Fast(columns, "csv_fields() takes a sequence of float64 arrays"));
    if (!items) return nullptr;
    const Py_ssize_t m = PySequence_Fast_GET_SIZE(items.get());
    std::vector<StridedView<double>> views(static_cast<size_t>(m));
    Py_ssize_t n = 0;
    for (Py_ssize_t k = 0; k < m; ++k) {
        if (!views[k].acquire(PySequence_Fast_GET_ITEM(items.get(), k), PyBUF_RECORDS_RO)) {
            return nullptr;
        }
        if (k == 0) n = views[k].size();
        if (views[k].size() != n) {
            PyErr_Format(PyExc_ValueError, "column %zd has %zd elements, column 0 has %zd", k,
                         views[k].size(), n);
            return nullptr;
        }
    }
    if (n > 0 && m > (std::numeric_limits<Py_ssize_t>::max() / n - 1) / MAX_FIELD) {
        return PyErr_NoMemory();
    }
    std::string text;
    try {
        text.resize(static_cast<size_t>(n * (m * MAX_FIELD + 1)));
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    Py_ssize_t length = -1;
    Py_BEGIN_ALLOW_THREADS
    CNumericLocale c_locale;
    if (c_locale.ok()) length = write_rows(views, n, text.data());
    Py_END_ALLOW_THREADS
    if (length < 0) return PyErr_SetFromErrno(PyExc_OSError);
    return PyUnicode_DecodeASCII(text.data(), length, nullptr);
}

}  // namespace

PyMethodDef csv_fields_def = {
    "csv_fields", csv_fields, METH_O,
    "csv_fields($module, columns, /)\n--\n\n"
    "The rows of equal-length float64 columns as CSV text: row i is ',x0,x1,...' with each\n"
    "value as '%.12g' in the C locale and NaN as an empty field, rows separated by '\\n'.\n"
    "Formatted with the interpreter lock released."};

}  // namespace kelvo
