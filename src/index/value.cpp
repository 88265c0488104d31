#include "index/value.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "binding/compat.hpp"
#include "binding/errors.hpp"
#include "index/indexable_record.hpp"
#include "index/types.hpp"

namespace corvalex {

namespace {

std::int64_t int_or_throw(PyObject* object) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow != 0) {
        py::raise(PyExc_OverflowError,
                  "int too large to index: values must fit in a signed 64-bit integer");
    }
    if (number == -1 && PyErr_Occurred()) py::throw_python_error();
    return number;
}

void check_utf8(PyObject* text) {
    if (PyUnicode_AsUTF8AndSize(text, nullptr) == nullptr) py::throw_python_error();
}

// The interpreter's hash widened to 64 bits; 0 for unhashable objects.
std::uint64_t python_hash(PyObject* object) {
    const Py_hash_t hash = PyObject_Hash(object);
    if (hash == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(hash));
}

}  // namespace

std::uint64_t PyValue::hash_of(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyLong_Type)
        int_or_throw(object);
    else if (type == &PyUnicode_Type)
        check_utf8(object);
    return python_hash(object);
}

PyValue PyValue::capture(PyObject* object) {
    static_assert(alignof(PyObject) >= 8, "the cast kind needs three free pointer bits");
    PyValue value;
    CastKind kind = CastKind::Unknown;
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyLong_Type) {
        const std::int64_t number = int_or_throw(object);
        kind = CastKind::Int;
        value.bits_ = std::bit_cast<std::uint64_t>(number);
    } else if (type == &PyFloat_Type) {
        kind = CastKind::Float;
        value.bits_ = std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(object));
    } else if (type == &PyUnicode_Type) {
        check_utf8(object);  // only text that can be encoded as UTF-8
        kind = CastKind::Str;
    } else {
        PyTypeObject* indexable = INDEXABLE_TYPE.load(std::memory_order_acquire);
        const bool is_indexable = indexable != nullptr && PyType_IsSubtype(type, indexable);
        kind = is_indexable ? CastKind::Ind : CastKind::Unknown;
        value.bits_ = is_indexable ? as_indexable(object)->record.id : 0;
    }

    value.hash_ = python_hash(object);
    Py_INCREF(object);
    value.set(object, kind);
    return value;
}

PyValue::PyValue(const PyValue& other)
    : tagged_(other.tagged_), hash_(other.hash_), bits_(other.bits_) {
    ensure(py::thread_is_attached(), "a captured value was copied without a thread state");
    Py_XINCREF(object());
}

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";

    char buffer[64];
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e16 || (magnitude != 0.0 && magnitude < 1e-4)) {
        // Shortest digits in scientific form, then rewritten as d.ddde-N.
        auto [end, error] =
            std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
        (void)error;
        std::string text(buffer, end);
        const auto e = text.find('e');
        std::string mantissa = text.substr(0, e);
        const int exponent = std::stoi(text.substr(e + 1));
        return mantissa + "e" + std::to_string(exponent);
    }
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    (void)error;
    std::string text(buffer, end);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string quote_debug(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escaped[16];
                    std::snprintf(escaped, sizeof escaped, "\\u{%x}", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string PyValue::debug_text() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(object()));
    std::string cast;
    switch (kind()) {
        case CastKind::Int:
            cast = "Int(" + std::to_string(as_int()) + ")";
            break;
        case CastKind::Float:
            cast = "Float(" + format_float(as_float()) + ")";
            break;
        case CastKind::Str: {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(object(), &size);
            cast = "Str(" + quote_debug({text, static_cast<std::size_t>(size)}) + ")";
            break;
        }
        case CastKind::Ind:
            cast = std::string("Ind(Py(") + address + "))";
            break;
        case CastKind::Unknown:
            cast = "Unknown";
            break;
    }
    return std::string("PyValue { obj: Py(") + address + "), primitave: " + cast +
           ", hash: " + std::to_string(hash_) + " }";
}

}  // namespace corvalex
