// Captured attribute and query values.
//
// A `PyValue` keeps the Python object alive (through a shared handle that can
// be dropped on any thread), a primitive cast the core can use without the
// interpreter, and the object's Python hash. Two values are the same value
// exactly when their hashes are equal: 1, 1.0 and True are one value, and so
// are every unhashable object, "", 0 and 0.0 (hash 0).
//
//   PyValue { SharedRef obj; uint64 hash; CastKind kind; union { int64, double, utf8 view } }
//
// An `Ind` cast keeps the indexable object's id beside it (ids never change).
// The `Str` cast is a view of the UTF-8 buffer that the interpreter keeps
// inside the (immutable) str object, which `obj` keeps alive.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "binding/ref.hpp"

namespace corvalex {

enum class CastKind : std::uint8_t { Int = 0, Float = 1, Str = 2, Ind = 3, Unknown = 4 };

class PyValue {
  public:
    // Captures `object` (borrowed). Needs an attached thread. An exact int
    // outside the signed 64-bit range raises OverflowError and an exact str
    // with lone surrogates raises UnicodeEncodeError (both as PythonError).
    static PyValue capture(PyObject* object);

    // Copies share the object handle; never calls into Python.
    PyValue(const PyValue&) noexcept = default;
    PyValue(PyValue&&) noexcept = default;
    PyValue& operator=(const PyValue&) noexcept = default;
    PyValue& operator=(PyValue&&) noexcept = default;
    PyValue clone() const noexcept { return *this; }

    PyObject* object() const noexcept { return obj_.get(); }
    const py::SharedRef& shared_object() const noexcept { return obj_; }
    std::uint64_t hash() const noexcept { return hash_; }
    CastKind kind() const noexcept { return kind_; }
    bool is_number() const noexcept { return kind_ == CastKind::Int || kind_ == CastKind::Float; }
    std::int64_t as_int() const noexcept { return int_; }
    double as_float() const noexcept { return float_; }
    std::string_view as_str() const noexcept { return {str_.data, str_.size}; }
    // The id of an indexable value (Ind cast only).
    std::uint32_t indexable_id() const noexcept { return static_cast<std::uint32_t>(int_); }

    friend bool operator==(const PyValue& a, const PyValue& b) noexcept {
        return a.hash_ == b.hash_;
    }

    // `PyValue { obj: Py(0x..), primitave: Int(5), hash: 5 }`.
    std::string debug_text() const;

  private:
    PyValue() noexcept {}

    py::SharedRef obj_;
    std::uint64_t hash_ = 0;
    CastKind kind_ = CastKind::Unknown;
    union {
        std::int64_t int_;
        double float_;
        struct {
            const char* data;
            std::size_t size;
        } str_;
    };
};

// Hasher for maps keyed by PyValue (or by its 64-bit hash): a strong mix of
// the one word, since Python hashes of small ints are the ints themselves.
struct ValueHasher {
    std::size_t operator()(std::uint64_t hash) const noexcept {
        hash ^= hash >> 33;
        hash *= 0xff51afd7ed558ccdULL;
        hash ^= hash >> 33;
        hash *= 0xc4ceb9fe1a85ec53ULL;
        hash ^= hash >> 33;
        return static_cast<std::size_t>(hash);
    }
    std::size_t operator()(const PyValue& value) const noexcept { return (*this)(value.hash()); }
};

// The shortest text that reads back to `value`, with the fixed/exponent
// switch at 1e16 and 1e-4 (`1.0`, `1e16`, `1e-5`, `NaN`, `inf`, `-inf`).
std::string format_float(double value);

// `text` between double quotes with debug escapes.
std::string quote_debug(std::string_view text);

}  // namespace corvalex
