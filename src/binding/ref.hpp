// Owned Python references.
//
// `Ref` is a move-only owned reference for code that runs with the thread
// state attached. `SharedRef` is an atomically counted handle on one strong
// reference that may be copied and dropped on any thread: when the last
// handle goes on a thread without a thread state, the reference is queued and
// released the next time a thread enters the module (deferred_release.hpp).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "binding/deferred_release.hpp"

namespace corvalex::py {

class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a reference the caller owns (a "new reference" result).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a new reference to a borrowed object.
    static Ref new_reference(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (e.g. as a C API return value).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

  private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

class SharedRef {
  public:
    SharedRef() noexcept = default;
    // Takes a new strong reference to `object`; needs an attached thread.
    static SharedRef from_borrowed(PyObject* object) {
        auto* holder = new Holder{{1}, object};  // may throw: take the reference after it
        Py_INCREF(object);
        return SharedRef(holder);
    }

    SharedRef(const SharedRef& other) noexcept : holder_(other.holder_) { acquire(); }
    SharedRef(SharedRef&& other) noexcept : holder_(std::exchange(other.holder_, nullptr)) {}
    SharedRef& operator=(const SharedRef& other) noexcept {
        SharedRef(other).swap(*this);
        return *this;
    }
    SharedRef& operator=(SharedRef&& other) noexcept {
        SharedRef(std::move(other)).swap(*this);
        return *this;
    }
    ~SharedRef() { drop(); }

    PyObject* get() const noexcept { return holder_ ? holder_->object : nullptr; }
    // If this is the only handle, hands its strong reference to the caller
    // (no thread state needed) and becomes empty; otherwise returns null.
    PyObject* release_if_unique() noexcept {
        if (!holder_ || holder_->count.load(std::memory_order_acquire) != 1) return nullptr;
        PyObject* object = holder_->object;
        delete std::exchange(holder_, nullptr);
        return object;
    }
    explicit operator bool() const noexcept { return holder_ != nullptr; }
    // Whether this is the only handle on its reference (a hint: another
    // thread may copy or drop a handle at any time).
    bool unique() const noexcept {
        return holder_ && holder_->count.load(std::memory_order_acquire) == 1;
    }
    void swap(SharedRef& other) noexcept { std::swap(holder_, other.holder_); }

  private:
    struct Holder {
        std::atomic<std::uint32_t> count;
        PyObject* object;
    };
    explicit SharedRef(Holder* holder) noexcept : holder_(holder) {}

    void acquire() noexcept {
        if (holder_) holder_->count.fetch_add(1, std::memory_order_relaxed);
    }
    void drop() noexcept {
        if (holder_ && holder_->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            release_reference(holder_->object);
            delete holder_;
        }
        holder_ = nullptr;
    }

    Holder* holder_ = nullptr;
};

}  // namespace corvalex::py
