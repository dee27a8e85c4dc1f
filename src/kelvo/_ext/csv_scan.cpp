// scan_csv: the records of a block of CSV text, and the numbers and the distinct texts of chosen
// columns, read with the interpreter lock released. The command line reads tables of contracts
// with it once per pass, straight into the arrays the kernel takes, and writes every record back
// as it was read.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <locale.h>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "array_entries.hpp"
#include "baw_core/arrays.hpp"
#include "buffers.hpp"

namespace kelvo {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// std::allocator with an impossible size reported as std::bad_alloc, as libstdc++ did before
// GCC 11: its std::bad_array_new_length would make the module need a newer C++ runtime than
// the rest of the package.
template <typename T>
struct PlainAllocator {
    using value_type = T;
    PlainAllocator() = default;
    template <typename U>
    PlainAllocator(const PlainAllocator<U> &) noexcept {}
    T *allocate(size_t n) {
        if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
        return static_cast<T *>(::operator new(n * sizeof(T)));
    }
    void deallocate(T *p, size_t) noexcept { ::operator delete(p); }
    friend bool operator==(PlainAllocator, PlainAllocator) noexcept { return true; }
    friend bool operator!=(PlainAllocator, PlainAllocator) noexcept { return false; }
};
template <typename T>
using Vector = std::vector<T, PlainAllocator<T>>;
constexpr double EXACT_POWERS[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t EXACT_MANTISSA = std::uint64_t{1} << 53;

// The characters that neither end a field nor a record nor open a quote.
struct OrdinaryTable {
    bool table[256];
    constexpr OrdinaryTable() : table() {
        for (int c = 0; c < 256; ++c) table[c] = c != ',' && c != '\n' && c != '\r' && c != '"';
    }
    constexpr bool operator[](unsigned char c) const { return table[c]; }
};
constexpr OrdinaryTable ORDINARY;

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool equals_lower(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

// A number cell as float() reads plain decimal text: blanks around it, a sign, digits with a
// point and an exponent, or inf, infinity, nan; NaN for anything else (digit separators, other
// scripts' digits, words). Up to 19 significant digits and a power of ten up to 22 take
// Clinger's exact path (one correctly rounded product or quotient of exact doubles); the rest
// goes to strtod in the C locale, which rounds correctly too.
class NumberReader {
public:
    NumberReader() : c_locale_(newlocale(LC_ALL_MASK, "C", nullptr)) {}
    NumberReader(const NumberReader &) = delete;
    NumberReader &operator=(const NumberReader &) = delete;
    ~NumberReader() {
        if (c_locale_ != nullptr) freelocale(c_locale_);
    }

    double read(std::string_view cell) {
        while (!cell.empty() && is_space(cell.front())) cell.remove_prefix(1);
        while (!cell.empty() && is_space(cell.back())) cell.remove_suffix(1);
        std::string_view body = cell;
        bool negative = false;
        if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
            negative = body.front() == '-';
            body.remove_prefix(1);
        }
        if (body.empty()) return NaN;
        if (!(body.front() >= '0' && body.front() <= '9') && body.front() != '.') {
            if (equals_lower(body, "inf") || equals_lower(body, "infinity")) {
                return negative ? -HUGE_VAL : HUGE_VAL;
            }
            return NaN;  // nan, or a word
        }
        std::uint64_t mantissa = 0;
        int digits = 0;
        std::int64_t scale = 0;  // grows with the digits of the cell, which may be many
        bool any_digit = false, exact = true;
        size_t i = 0;
        for (bool after_point = false; i < body.size(); ++i) {
            const char c = body[i];
            if (c == '.' && !after_point) {
                after_point = true;
                continue;
            }
            if (c < '0' || c > '9') break;
            any_digit = true;
            if (mantissa == 0 && c == '0') {  // leading zeros are not significant
                if (after_point) --scale;
                continue;
            }
            if (digits < 19) {
                mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
                ++digits;
                if (after_point) --scale;
            } else {
                exact = false;
                if (!after_point) ++scale;
            }
        }
        if (!any_digit) return NaN;
        if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
            size_t j = i + 1;
            bool negative_exponent = false;
            if (j < body.size() && (body[j] == '+' || body[j] == '-')) {
                negative_exponent = body[j] == '-';
                ++j;
            }
            if (j == body.size()) return NaN;
            int exponent = 0;
            for (; j < body.size() && body[j] >= '0' && body[j] <= '9'; ++j) {
                if (exponent < 100000) {
                    exponent = exponent * 10 + (body[j] - '0');
                } else {
                    exact = false;  // the exponent is cut short: strtod reads the whole cell
                }
            }
            scale += negative_exponent ? -exponent : exponent;
            i = j;
        }
        if (i != body.size()) return NaN;
        if (exact && mantissa <= EXACT_MANTISSA && scale >= -22 && scale <= 22) {
            const double m = static_cast<double>(mantissa);
            const double value = scale >= 0 ? m * EXACT_POWERS[scale] : m / EXACT_POWERS[-scale];
            return negative ? -value : value;
        }
        return slow(cell);
    }

    bool ok() const { return c_locale_ != nullptr; }

private:
    double slow(std::string_view cell) {
        text_.assign(cell.data(), cell.size());
        char *end = nullptr;
        const double value = strtod_l(text_.c_str(), &end, c_locale_);
        return end == text_.c_str() + text_.size() ? value : NaN;
    }

    locale_t c_locale_;
    std::string text_;
};

// Thrown when a column holds more distinct texts than an int32 code can tell apart.
struct TooManyTexts {};

// The distinct texts of one column and each row's code among them, in first-seen order: an
// open-addressing table of FNV-1a hashes (a column holds few distinct texts, met again and
// again), with the row before's text checked first.
class TextCodes {
public:
    TextCodes() : slots_(16, -1) {}

    std::int32_t code(std::string_view cell, bool copied) {
        if (has_last_ && cell == last_) return last_code_;
        const std::uint64_t hash = fnv1a(cell);
        size_t at = static_cast<size_t>(hash) & (slots_.size() - 1);
        std::int32_t code;
        for (;; at = (at + 1) & (slots_.size() - 1)) {
            code = slots_[at];
            if (code < 0) {
                code = add(cell, copied, hash, at);
                break;
            }
            const auto k = static_cast<size_t>(code);
            if (hashes_[k] == hash && distinct_[k] == cell) break;
        }
        if (!copied) {
            last_ = cell;
            last_code_ = code;
            has_last_ = true;
        }
        return code;
    }
    const Vector<std::string_view> &distinct() const { return distinct_; }

private:
    static std::uint64_t fnv1a(std::string_view text) {
        std::uint64_t hash = 14695981039346656037ull;
        for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        return hash ^ (hash >> 29);
    }

    std::int32_t add(std::string_view cell, bool copied, std::uint64_t hash, size_t at) {
        if (copied) {  // an unquoted copy lives in the scratch text: keep it
            kept_.push_back(std::make_unique<std::string>(cell));
            cell = *kept_.back();
        }
        if (distinct_.size() >= static_cast<size_t>(std::numeric_limits<std::int32_t>::max())) {
            throw TooManyTexts();
        }
        const auto code = static_cast<std::int32_t>(distinct_.size());
        distinct_.push_back(cell);
        hashes_.push_back(hash);
        slots_[at] = code;
        if (2 * distinct_.size() > slots_.size()) {  // at most half full
            slots_.assign(2 * slots_.size(), -1);
            for (size_t k = 0; k < distinct_.size(); ++k) {
                size_t slot = static_cast<size_t>(hashes_[k]) & (slots_.size() - 1);
                while (slots_[slot] >= 0) slot = (slot + 1) & (slots_.size() - 1);
                slots_[slot] = static_cast<std::int32_t>(k);
            }
        }
        return code;
    }

    Vector<std::int32_t> slots_;
    Vector<std::uint64_t> hashes_;
    Vector<std::string_view> distinct_;
    Vector<std::unique_ptr<std::string>> kept_;
    std::string_view last_;
    std::int32_t last_code_ = 0;
    bool has_last_ = false;
};

enum class Stop { NONE, TOO_MANY_FIELDS, OPEN_QUOTE };

struct Scan {
    // inputs
    const char *text = nullptr;
    Py_ssize_t size = 0;
    bool final = false;
    Py_ssize_t n_fields = 0;
    Vector<int> slot_of_field;  // per field: -1, or its number or text slot
    Vector<bool> slot_is_number;
    int n_numbers = 0, n_texts = 0;
    Py_ssize_t max_records = 0;
    // outputs
    Vector<std::int64_t> starts, ends, pads, lines;
    Vector<Vector<double>> numbers;
    Vector<Vector<std::int32_t>> codes;
    Vector<TextCodes> texts;
    Py_ssize_t position = 0;  // where the records read end
    std::int64_t line = 0;    // the line number there
    Stop stop = Stop::NONE;  // or the fault the records read end at
    std::int64_t fields_seen = 0;  // on TOO_MANY_FIELDS
};

// The value of a raw field. A field that opens with a quote runs to the closing quote, a doubled
// quote inside standing for one, and anything after the closing quote is kept as it is; a quote
// anywhere else is an ordinary character.
std::string_view unquote(std::string_view raw, std::string &scratch, bool &copied) {
    copied = false;
    if (raw.empty() || raw.front() != '"') return raw;
    const std::string_view inner = raw.substr(1, raw.size() >= 2 ? raw.size() - 2 : 0);
    if (raw.size() >= 2 && raw.back() == '"' && inner.find('"') == std::string_view::npos) {
        return inner;
    }
    scratch.clear();
    for (size_t i = 1; i < raw.size(); ++i) {
        if (raw[i] != '"') {
            scratch.push_back(raw[i]);
        } else if (i + 1 < raw.size() && raw[i + 1] == '"') {
            scratch.push_back('"');
            ++i;
        } else {
            scratch.append(raw.substr(i + 1));
            break;
        }
    }
    copied = true;
    return scratch;
}

// Records from scan.position until max_records, the end of the text, or a fault. A record ends
// at \n, \r\n or \r outside quotes; empty records are skipped; a record with fewer fields than
// the header has the missing ones empty (and pads says how many), one with more is a fault.
void scan_records(Scan &scan, NumberReader &reader) {
    const char *text = scan.text;
    const Py_ssize_t size = scan.size;
    const size_t n_slots = scan.slot_is_number.size();
    const auto n_mapped = static_cast<Py_ssize_t>(scan.slot_of_field.size());
    Vector<std::string_view> cells(n_slots);
    std::string scratch;
    Py_ssize_t pos = scan.position;
    std::int64_t line = scan.line;
    while (static_cast<Py_ssize_t>(scan.starts.size()) < scan.max_records && pos < size) {
        const Py_ssize_t start = pos;
        const std::int64_t first_line = line;
        std::int64_t breaks = 0;  // line breaks inside quoted fields
        Py_ssize_t field = 0, field_start = pos, end = -1, next = -1;
        for (auto &cell : cells) cell = std::string_view();
        // the field from field_start to at is complete: keep it if it is one asked for
        const auto end_field = [&](Py_ssize_t at) {
            if (field < n_mapped && scan.slot_of_field[field] >= 0) {
                cells[scan.slot_of_field[field]] =
                    std::string_view(text + field_start, static_cast<size_t>(at - field_start));
            }
            ++field;
        };
        bool quoted = false;
        while (pos < size) {
            const char c = text[pos];
            if (quoted) {
                if (c == '"') {
                    if (pos + 1 >= size && !scan.final) break;  // "" may be split
                    if (pos + 1 < size && text[pos + 1] == '"') {
                        pos += 2;
                        continue;
                    }
                    quoted = false;
                } else if (c == '\n' || (c == '\r' && (pos + 1 >= size || text[pos + 1] != '\n'))) {
                    ++breaks;
                }
                ++pos;
                continue;
            }
            if (c == '"' && pos == field_start) {
                quoted = true;
                ++pos;
                continue;
            }
            if (c != ',' && c != '\n' && c != '\r') {
                ++pos;
                while (pos < size && ORDINARY[static_cast<unsigned char>(text[pos])]) ++pos;
                continue;
            }
            end_field(pos);
            if (c == ',') {
                field_start = ++pos;
                continue;
            }
            if (c == '\r' && pos + 1 >= size && !scan.final) break;  // \r\n may be split
            end = pos;
            next = pos + (c == '\r' && pos + 1 < size && text[pos + 1] == '\n' ? 2 : 1);
            break;
        }
        if (end < 0) {  // the text ended inside the record
            if (!scan.final) {  // left for the next call, with more text
                pos = start;
                break;
            }
            if (quoted) {
                scan.stop = Stop::OPEN_QUOTE;
                pos = start;
                break;
            }
            end_field(size);
            end = next = size;
        }
        line += breaks + (next > end ? 1 : 0);
        pos = next;
        if (end == start) continue;  // a blank line
        if (field > scan.n_fields) {
            scan.stop = Stop::TOO_MANY_FIELDS;
            scan.fields_seen = field;
            scan.line = first_line;
            scan.position = start;
            return;
        }
        scan.starts.push_back(start);
        scan.ends.push_back(end);
        scan.pads.push_back(scan.n_fields - field);
        scan.lines.push_back(first_line);
        int number = 0, text_slot = 0;
        for (size_t s = 0; s < n_slots; ++s) {
            bool copied;
            const std::string_view value = unquote(cells[s], scratch, copied);
            if (scan.slot_is_number[s]) {
                scan.numbers[number++].push_back(reader.read(value));
            } else {
                scan.codes[text_slot].push_back(scan.texts[text_slot].code(value, copied));
                ++text_slot;
            }
        }
    }
    scan.position = pos;
    scan.line = line;
}

// A new one-dimensional NumPy array holding values.
template <typename T>
Ref array_of(const Vector<T> &values, const char *dtype) {
    Ref length(PyLong_FromSsize_t(static_cast<Py_ssize_t>(values.size())));
    if (!length) return Ref();
    Ref array = np_call_with_dtype("empty", length.get(), dtype);
    if (!array) return Ref();
    HeldBuffer view;
    if (!view.acquire(array.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) return Ref();
    if (!values.empty()) std::memcpy(view.view().buf, values.data(), values.size() * sizeof(T));
    return array;
}

// A tuple of the items made by make(k) for k < n, or null with an exception set.
template <typename Make>
Ref tuple_of(Py_ssize_t n, Make make) {
    Ref tuple(PyTuple_New(n));
    if (!tuple) return Ref();
    for (Py_ssize_t k = 0; k < n; ++k) {
        Ref item = make(k);
        if (!item) return Ref();
        PyTuple_SET_ITEM(tuple.get(), k, item.release());  // the tuple takes the reference
    }
    return tuple;
}

constexpr std::int64_t INT64_LIMIT = std::numeric_limits<std::int64_t>::max();
// Field slots are ints, and every asked-for column is a distinct field.
constexpr std::int64_t MAX_FIELDS = std::numeric_limits<int>::max();

// The number and text columns asked for, each in [0, n_fields) and asked for once, as slots.
bool take_columns(PyObject *const *lists, Scan &scan) {
    Vector<std::int64_t> asked;
    for (int kind = 0; kind < 2; ++kind) {  // number columns, then text columns
        Ref items(PySequence_Fast(lists[kind], "scan_csv() takes sequences of column indices"));
        if (!items) return false;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
            std::int64_t index;
            if (!integer_argument("scan_csv", "a column", PySequence_Fast_GET_ITEM(items.get(), k),
                                  0, scan.n_fields - 1, index)) {
                return false;
            }
            asked.push_back(index);
            // a field past the text's end is never met: its cells stay empty
            if (index < static_cast<std::int64_t>(scan.slot_of_field.size())) {
                scan.slot_of_field[static_cast<size_t>(index)] =
                    static_cast<int>(scan.slot_is_number.size());
            }
            scan.slot_is_number.push_back(kind == 0);
            (kind == 0 ? scan.n_numbers : scan.n_texts) += 1;
        }
    }
    std::sort(asked.begin(), asked.end());
    const auto twice = std::adjacent_find(asked.begin(), asked.end());
    if (twice != asked.end()) {
        PyErr_Format(PyExc_ValueError, "scan_csv(): column %lld is asked for twice",
                     static_cast<long long>(*twice));
        return false;
    }
    return true;
}

PyObject *scan_csv(PyObject *const *args) {
    ContiguousBuffer text;
    if (!text.acquire(args[0], "text", 'B')) return nullptr;
    Scan scan;
    scan.text = text.data<const char>();
    scan.size = text.size();
    std::int64_t position, line, n_fields, max_records;
    if (!integer_argument("scan_csv", "position", args[1], 0, scan.size, position)) return nullptr;
    const std::int64_t ahead = scan.size - position;  // the line count grows by at most this
    if (!integer_argument("scan_csv", "line", args[2], 0, INT64_LIMIT, line)) return nullptr;
    if (line > INT64_LIMIT - ahead) {
        PyErr_Format(PyExc_OverflowError, "scan_csv(): counting lines from %lld over the %lld "
                     "bytes ahead would overflow", static_cast<long long>(line),
                     static_cast<long long>(ahead));
        return nullptr;
    }
    const int final = PyObject_IsTrue(args[3]);
    if (final < 0 || !integer_argument("scan_csv", "n_fields", args[4], 1, MAX_FIELDS, n_fields) ||
        !integer_argument("scan_csv", "max_records", args[7], 0, PY_SSIZE_T_MAX, max_records)) {
        return nullptr;
    }
    scan.position = static_cast<Py_ssize_t>(position);
    scan.line = line;
    scan.final = final != 0;
    scan.n_fields = static_cast<Py_ssize_t>(n_fields);
    scan.max_records = static_cast<Py_ssize_t>(max_records);
    // a record from position holds at most ahead + 1 fields
    scan.slot_of_field.assign(static_cast<size_t>(std::min(n_fields, ahead + 1)), -1);
    if (!take_columns(args + 5, scan)) return nullptr;
    bool scanned = false, too_many_texts = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        NumberReader reader;
        if (reader.ok()) {
            scan.numbers.resize(static_cast<size_t>(scan.n_numbers));
            scan.codes.resize(static_cast<size_t>(scan.n_texts));
            scan.texts.resize(static_cast<size_t>(scan.n_texts));
            scan_records(scan, reader);
            scanned = true;
        }
    } catch (const std::bad_alloc &) {
    } catch (const std::length_error &) {
    } catch (const TooManyTexts &) {
        too_many_texts = true;
    }
    Py_END_ALLOW_THREADS
    if (too_many_texts) {
        PyErr_Format(PyExc_ValueError, "scan_csv(): a text column holds more than %d distinct "
                     "texts", std::numeric_limits<std::int32_t>::max());
        return nullptr;
    }
    if (!scanned) return PyErr_NoMemory();
    if (scan.stop == Stop::TOO_MANY_FIELDS) {
        PyErr_Format(PyExc_ValueError, "line %lld: cannot read this CSV record: %lld fields, "
                     "the header has %zd", static_cast<long long>(scan.line),
                     static_cast<long long>(scan.fields_seen), scan.n_fields);
        return nullptr;
    }
    if (scan.stop == Stop::OPEN_QUOTE && scan.starts.empty()) {
        PyErr_Format(PyExc_ValueError, "line %lld: cannot read this CSV record: a quoted field "
                     "is not closed before the end of the file", static_cast<long long>(scan.line));
        return nullptr;
    }

    Ref numbers = tuple_of(scan.n_numbers, [&](Py_ssize_t k) {
        return array_of(scan.numbers[static_cast<size_t>(k)], "float64");
    });
    Ref codes = tuple_of(scan.n_texts, [&](Py_ssize_t k) {
        return array_of(scan.codes[static_cast<size_t>(k)], "int32");
    });
    Ref distinct = tuple_of(scan.n_texts, [&](Py_ssize_t k) {
        const auto &values = scan.texts[static_cast<size_t>(k)].distinct();
        return tuple_of(static_cast<Py_ssize_t>(values.size()), [&](Py_ssize_t j) {
            const std::string_view value = values[static_cast<size_t>(j)];
            return Ref(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()),
                                            "surrogateescape"));
        });
    });
    Ref starts = array_of(scan.starts, "int64"), ends = array_of(scan.ends, "int64");
    Ref pads = array_of(scan.pads, "int64"), lines = array_of(scan.lines, "int64");
    if (!numbers || !codes || !distinct || !starts || !ends || !pads || !lines) return nullptr;
    return Py_BuildValue("(nLOOOOOOO)", scan.position, static_cast<long long>(scan.line),
                         starts.get(), ends.get(), pads.get(), lines.get(), numbers.get(),
                         codes.get(), distinct.get());
}

PyObject *scan_csv_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes("scan_csv", nargs, 8)) return nullptr;
    return allocation_failure_as_memory_error([args] { return scan_csv(args); });
}

}  // namespace

PyMethodDef scan_csv_def = {
    "scan_csv", fast_call(scan_csv_entry), METH_FASTCALL,
    "scan_csv($module, text, position, line, final, n_fields, numbers, texts, max_records, /)\n"
    "--\n\n"
    "Up to max_records CSV records of text (bytes) from offset position, which is on line\n"
    "number line. Returns (position, line, starts, ends, pads, lines, numbers, codes,\n"
    "distinct): where the records read end and the line there; each record's span of text,\n"
    "its count of missing fields and its first line; a float64 array per column of numbers\n"
    "(NaN where a cell is not a number); and per column of texts, each record's int32 code\n"
    "and the distinct texts in first-seen order. Unless final, a record the text may not hold\n"
    "whole is left for the next call. ValueError naming the line for a record with more fields\n"
    "than n_fields, and at the end for a quoted field never closed. n_fields is at most\n"
    "2**31 - 1; arguments out of range are ValueError or OverflowError."};

}  // namespace kelvo
