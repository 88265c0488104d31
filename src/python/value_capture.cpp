#include "python/value_capture.hpp"

#include <bit>

#include "binding/errors.hpp"
#include "python/indexable.hpp"

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

// ASCII text always encodes; the check would otherwise cost a call per lookup.
void check_utf8(PyObject* text) {
    if (PyUnicode_IS_COMPACT_ASCII(text)) return;
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

std::uint64_t value_hash(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyLong_Type)
        int_or_throw(object);
    else if (type == &PyUnicode_Type)
        check_utf8(object);
    return python_hash(object);
}

PyValue capture_value(PyObject* object) {
    CastKind kind = CastKind::Unknown;
    std::uint64_t bits = 0;
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyLong_Type) {
        const std::int64_t number = int_or_throw(object);
        kind = CastKind::Int;
        bits = std::bit_cast<std::uint64_t>(number);
    } else if (type == &PyFloat_Type) {
        kind = CastKind::Float;
        bits = std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(object));
    } else if (type == &PyUnicode_Type) {
        check_utf8(object);  // only text that can be encoded as UTF-8
        kind = CastKind::Str;
    } else {
        PyTypeObject* indexable = INDEXABLE_TYPE.load(std::memory_order_acquire);
        const bool is_indexable = indexable != nullptr && PyType_IsSubtype(type, indexable);
        kind = is_indexable ? CastKind::Ind : CastKind::Unknown;
        bits = is_indexable ? as_indexable(object)->record.id : 0;
    }

    const std::uint64_t hash = python_hash(object);
    Py_INCREF(object);
    return PyValue::adopt(object, kind, hash, bits);
}

}  // namespace corvalex
