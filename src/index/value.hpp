// Captured attribute and query values.
//
// A `PyValue` owns one strong reference to the Python object, a primitive
// cast the core can use without the interpreter, and the object's Python
// hash. Two values are the same value exactly when their hashes are equal:
// 1, 1.0 and True are one value, and so are every unhashable object, "", 0
// and 0.0 (hash 0).
//
//   PyValue { PyObject* obj | CastKind kind; uint64 hash; uint64 bits (int64, double or u32 id) }
//   24 bytes
//
// The index maps keep only hashes, so values are created, copied and
// dropped where objects are (with the thread state attached). Copying with
// the thread state released is an internal error; dropping is always safe
// (the reference release is deferred where needed).
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>
#include <utility>

#include "binding/deferred_release.hpp"

namespace corvalex {

enum class CastKind : std::uint8_t { Int = 0, Float = 1, Str = 2, Ind = 3, Unknown = 4 };

class PyValue {
  public:
    // Takes over a strong reference to `object`, with its cast and hash
    // (python/value_capture.hpp computes them).
    static PyValue adopt(PyObject* object, CastKind kind, std::uint64_t hash,
                         std::uint64_t bits) noexcept {
        static_assert(alignof(PyObject) >= 8, "the cast kind needs three free pointer bits");
        PyValue value;
        value.set(object, kind);
        value.hash_ = hash;
        value.bits_ = bits;
        return value;
    }

    PyValue(const PyValue& other);
    PyValue& operator=(const PyValue& other) {
        PyValue(other).swap(*this);
        return *this;
    }
    PyValue(PyValue&& other) noexcept
        : tagged_(std::exchange(other.tagged_, 0)), hash_(other.hash_), bits_(other.bits_) {}
    PyValue& operator=(PyValue&& other) noexcept {
        PyValue(std::move(other)).swap(*this);
        return *this;
    }
    ~PyValue() { py::release_reference(object()); }
    PyValue clone() const { return *this; }

    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(tagged_ & ~kKindMask); }
    std::uint64_t hash() const noexcept { return hash_; }
    CastKind kind() const noexcept { return static_cast<CastKind>(tagged_ & kKindMask); }
    bool is_number() const noexcept { return kind() == CastKind::Int || kind() == CastKind::Float; }
    // The cast, meaningful for the matching kind only. The cast is kept as
    // raw bits so that a copy never reads a member it did not write.
    std::int64_t as_int() const noexcept { return std::bit_cast<std::int64_t>(bits_); }
    double as_float() const noexcept { return std::bit_cast<double>(bits_); }
    // The id of an indexable value (Ind cast only).
    std::uint32_t indexable_id() const noexcept { return static_cast<std::uint32_t>(bits_); }

    friend bool operator==(const PyValue& a, const PyValue& b) noexcept {
        return a.hash_ == b.hash_;
    }

    void swap(PyValue& other) noexcept {
        std::swap(tagged_, other.tagged_);
        std::swap(hash_, other.hash_);
        std::swap(bits_, other.bits_);
    }

  private:
    PyValue() noexcept = default;
    void set(PyObject* object, CastKind kind) noexcept {
        tagged_ = reinterpret_cast<std::uintptr_t>(object) | static_cast<std::uintptr_t>(kind);
    }

    // Objects are at least 8-byte aligned: the cast kind lives in the low bits.
    static constexpr std::uintptr_t kKindMask = 7;
    std::uintptr_t tagged_ = 0;
    std::uint64_t hash_ = 0;
    std::uint64_t bits_ = 0;
};
static_assert(sizeof(PyValue) == 24);

// Hasher for maps keyed by a value's 64-bit hash or by an object id: a
// strong mix of the one word, since Python hashes of small ints are the
// ints themselves.
struct ValueHasher {
    std::size_t operator()(std::uint64_t hash) const noexcept {
        hash ^= hash >> 33;
        hash *= 0xff51afd7ed558ccdULL;
        hash ^= hash >> 33;
        hash *= 0xc4ceb9fe1a85ec53ULL;
        hash ^= hash >> 33;
        return static_cast<std::size_t>(hash);
    }
};

}  // namespace corvalex
