// csv_lines: records of an input text followed by the text of float64 result columns as CSV
// fields, formatted with the interpreter lock released so that a writer's formatting runs beside
// the other threads' work.
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <locale.h>
#include <new>
#include <string>
#include <vector>

#include "array_entries.hpp"
#include "baw_core/arrays.hpp"
#include "buffers.hpp"

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

constexpr double POWERS_OF_TEN[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                     1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int SIGNIFICANT = 12;

// The twelve significant digits of |x| as an integer m in [1e11, 1e12) and the decimal exponent
// e with |x| ~ m 10^(e - 11), rounded to nearest from the exact binary value. The scaling is one
// correctly rounded product or quotient by an exact power of ten (|error| < 1.2e-4 on m), so
// the rounding is certain unless m's fraction lies near one half; false then, and for exponents
// whose scale is not an exact double, and the caller asks printf.
inline bool twelve_digits(double a, std::uint64_t &m, int &e) {
    e = (std::ilogb(a) * 78913) >> 18;  // floor(log2(a) log10(2)), or one below
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int scale = SIGNIFICANT - 1 - e;
        if (scale > 22 || scale < -22) return false;
        const double y = scale >= 0 ? a * POWERS_OF_TEN[scale] : a / POWERS_OF_TEN[-scale];
        if (y >= 1e12 || y < 1e11) {
            e += y >= 1e12 ? 1 : -1;
            continue;
        }
        const double whole = std::floor(y);
        const double fraction = y - whole;
        if (std::fabs(fraction - 0.5) < 1e-3) return false;
        double rounded = fraction > 0.5 ? whole + 1 : whole;
        if (rounded == 1e12) {  // 999999999999.6 carries into the next decade
            rounded = 1e11;
            ++e;
        }
        m = static_cast<std::uint64_t>(rounded);
        return true;
    }
    return false;
}

// "%.12g" of x, as printf writes it in the C locale; returns the characters written.
inline int format_g12(double x, char *out) {
    char *p = out;
    std::uint64_t m;
    int e;
    if (!std::isfinite(x) || x == 0 || !twelve_digits(std::fabs(x), m, e)) {
        return std::snprintf(out, MAX_FIELD, "%.12g", x);
    }
    if (x < 0) *p++ = '-';
    char digits[SIGNIFICANT];
    for (int i = SIGNIFICANT - 1; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + m % 10);
        m /= 10;
    }
    int kept = SIGNIFICANT;  // %g drops trailing zeros
    while (kept > 1 && digits[kept - 1] == '0') --kept;
    if (e >= -4 && e < SIGNIFICANT) {
        if (e < 0) {
            *p++ = '0';
            *p++ = '.';
            for (int i = 0; i < -e - 1; ++i) *p++ = '0';
            for (int i = 0; i < kept; ++i) *p++ = digits[i];
        } else {
            for (int i = 0; i <= e; ++i) *p++ = digits[i];
            if (kept > e + 1) {
                *p++ = '.';
                for (int i = e + 1; i < kept; ++i) *p++ = digits[i];
            }
        }
    } else {
        *p++ = digits[0];
        if (kept > 1) {
            *p++ = '.';
            for (int i = 1; i < kept; ++i) *p++ = digits[i];
        }
        *p++ = 'e';
        *p++ = e < 0 ? '-' : '+';
        const int magnitude = e < 0 ? -e : e;
        if (magnitude >= 100) *p++ = static_cast<char>('0' + magnitude / 100);
        *p++ = static_cast<char>('0' + magnitude / 10 % 10);
        *p++ = static_cast<char>('0' + magnitude % 10);
    }
    return static_cast<int>(p - out);
}

char *write_fields(const std::vector<StridedView<double>> &views, Py_ssize_t i, char *p) {
    for (const StridedView<double> &view : views) {
        *p++ = ',';
        const double x = load<double>(view.data() + i * view.stride());
        if (x == x) p += format_g12(x, p);
    }
    return p;
}

// Equal-length float64 columns as views; false with an exception set.
bool acquire_columns(PyObject *columns, std::vector<StridedView<double>> &views, Py_ssize_t &n) {
    Ref items(PySequence_Fast(columns, "the columns must be a sequence of float64 arrays"));
    if (!items) return false;
    const Py_ssize_t m = PySequence_Fast_GET_SIZE(items.get());
    views = std::vector<StridedView<double>>(static_cast<size_t>(m));
    n = 0;
    for (Py_ssize_t k = 0; k < m; ++k) {
        if (!views[k].acquire(PySequence_Fast_GET_ITEM(items.get(), k), PyBUF_RECORDS_RO)) {
            return false;
        }
        if (k == 0) n = views[k].size();
        if (views[k].size() != n) {
            PyErr_Format(PyExc_ValueError, "column %zd has %zd elements, column 0 has %zd", k,
                         views[k].size(), n);
            return false;
        }
    }
    return true;
}

// The most fields a header may have (as for scan_csv), and so the most a record can miss.
constexpr int MAX_PAD = std::numeric_limits<int>::max();

// One line's record: text[start:end] followed by pad empty fields.
struct Span {
    std::int64_t start, end, pad;
};

// Line i's span, each value read once: another thread may write the arrays while the lines are
// written, and a value must not change between its check and its use.
inline Span span_of(const ContiguousBuffer (&arrays)[3], Py_ssize_t i) {
    const auto value = [i](const ContiguousBuffer &array) {
        return static_cast<const volatile std::int64_t *>(array.data<std::int64_t>())[i];
    };
    return {value(arrays[0]), value(arrays[1]), value(arrays[2])};
}

inline bool lies_in(const Span &span, Py_ssize_t text_size) {
    return span.start >= 0 && span.start <= span.end && span.end <= text_size && span.pad >= 0 &&
           span.pad <= MAX_PAD;
}

// The length of the lines, with the spans checked; -1 with an exception set.
std::int64_t lines_length(const ContiguousBuffer (&arrays)[3], Py_ssize_t n,
                          std::int64_t fields_bytes, Py_ssize_t text_size) {
    std::int64_t length = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Span span = span_of(arrays, i);
        if (span.pad < 0 || span.pad > MAX_PAD) {
            PyErr_Format(PyExc_ValueError, "csv_lines(): pads[%zd] must be from 0 to %d, not %lld",
                         i, MAX_PAD, static_cast<long long>(span.pad));
            return -1;
        }
        if (!lies_in(span, text_size)) {
            PyErr_Format(PyExc_ValueError, "record %zd does not lie in the text", i);
            return -1;
        }
        if (__builtin_add_overflow(length, span.end - span.start + span.pad + fields_bytes,
                                   &length)) {
            PyErr_SetString(PyExc_OverflowError, "csv_lines(): the lines would not fit in memory");
            return -1;
        }
    }
    return length;
}

PyObject *csv_lines(PyObject *const *args) {
    ContiguousBuffer text, arrays[3];
    if (!text.acquire(args[0], "text", 'B') || !arrays[0].acquire(args[1], "starts", 'q') ||
        !arrays[1].acquire(args[2], "ends", 'q') || !arrays[2].acquire(args[3], "pads", 'q')) {
        return nullptr;
    }
    std::vector<StridedView<double>> views;
    Py_ssize_t n;
    if (!acquire_columns(args[4], views, n)) return nullptr;
    if (arrays[0].size() != n || arrays[1].size() != n || arrays[2].size() != n) {
        PyErr_SetString(PyExc_ValueError, "starts, ends, pads and the columns must have the "
                        "same length");
        return nullptr;
    }
    std::int64_t fields_bytes;  // the most each line's fields and line break take
    if (__builtin_mul_overflow(static_cast<std::int64_t>(views.size()), MAX_FIELD,
                               &fields_bytes) ||
        __builtin_add_overflow(fields_bytes, 2, &fields_bytes)) {
        PyErr_SetString(PyExc_OverflowError, "csv_lines(): too many columns");
        return nullptr;
    }
    const std::int64_t length = lines_length(arrays, n, fields_bytes, text.size());
    if (length < 0) return nullptr;
    std::string out;
    out.resize(static_cast<size_t>(length));
    char *p = out.data();
    const char *const out_end = p + length;
    Py_ssize_t changed = -1;  // a span another thread changed after the check
    Py_BEGIN_ALLOW_THREADS
    CNumericLocale c_locale;  // for printf's rare cases
    const char *source = text.data<char>();
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Span span = span_of(arrays, i);
        if (!lies_in(span, text.size()) ||
            span.end - span.start + span.pad + fields_bytes > out_end - p) {
            changed = i;
            break;
        }
        std::memcpy(p, source + span.start, static_cast<size_t>(span.end - span.start));
        p += span.end - span.start;
        std::memset(p, ',', static_cast<size_t>(span.pad));
        p += span.pad;
        p = write_fields(views, i, p);
        *p++ = '\r';
        *p++ = '\n';
    }
    Py_END_ALLOW_THREADS
    if (changed >= 0) {
        PyErr_Format(PyExc_ValueError, "csv_lines(): record %zd changed while the lines were "
                     "written", changed);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(out.data(), p - out.data());
}

PyObject *csv_lines_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes("csv_lines", nargs, 5)) return nullptr;
    return allocation_failure_as_memory_error([args] { return csv_lines(args); });
}

}  // namespace

PyMethodDef csv_lines_def = {
    "csv_lines", fast_call(csv_lines_entry), METH_FASTCALL,
    "csv_lines($module, text, starts, ends, pads, columns, /)\n--\n\n"
    "CSV lines made of records of text (bytes) and result fields: line i is\n"
    "text[starts[i]:ends[i]], pads[i] empty fields, then ',x0,x1,...' from the equal-length\n"
    "float64 columns, each value as '%.12g' in the C locale and NaN as an empty field, and\n"
    "'\\r\\n'. starts, ends and pads are int64 arrays (pads at most 2**31 - 1), each span\n"
    "checked where it is written. Formatted with the interpreter lock released."};

}  // namespace kelvo
