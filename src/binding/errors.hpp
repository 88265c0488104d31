// Errors crossing the boundary between C++ and Python.
//
// Inside the module, a failed C API call is turned into `PythonError` (the
// Python exception stays set) and unwinds to the entry point. Internal fatal
// errors are `Panic` (base/panic.hpp). Every slot and method body runs inside
// `guarded`, which drains deferred releases on the way in and out and converts what
// escapes: `PythonError` leaves the exception set, `Panic` becomes
// `PanicException`, `std::bad_alloc` becomes `MemoryError`.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "base/panic.hpp"
#include "binding/deferred_release.hpp"
#include "binding/ref.hpp"

namespace corvalex::py {

// Thrown right after a C API call failed; the Python exception is set.
struct PythonError {};

[[noreturn]] inline void throw_python_error() {
    throw PythonError{};
}

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Returns `result`, or throws PythonError if the call that produced it failed.
inline PyObject* require(PyObject* result) {
    if (result == nullptr) throw_python_error();
    return result;
}
inline int require(int status) {
    if (status < 0) throw_python_error();
    return status;
}

// The pending exception, normalised and taken over: the error indicator is
// clear until `restore` sets it again (and throws PythonError).
struct FetchedError {
    Ref type, value, traceback;

    static FetchedError fetch();
    [[noreturn]] void restore();
};

// The two refusals of a borrow, in the system's own words: "Already
// borrowed" when exclusive access is refused, "Already mutably borrowed"
// when shared access is. Every refusal is raised here.
enum class Refusal { Exclusive, Shared };
[[noreturn]] void refuse(Refusal refused);

// The process-wide `PanicException` class (a direct subclass of BaseException).
PyObject* panic_exception_type();

// Writes the one-line report of an internal fatal error to stderr and sets
// PanicException carrying its message.
void set_panic_exception(const Panic& panic) noexcept;

namespace detail {
void set_unexpected_exception(const char* what) noexcept;
}

// Runs `body` as the body of a Python entry point. `failure` is what the slot
// returns when an exception is set (nullptr or -1).
template <typename Result, typename Body>
Result guarded(Result failure, Body&& body) noexcept {
    drain_deferred_releases();
    try {
        Result result = body();
        // References dropped under a table lock were queued; release them
        // before returning so that what the call let go of goes now.
        if (releases_queued() && !PyErr_Occurred()) drain_deferred_releases();
        return result;
    } catch (const PythonError&) {
    } catch (const Panic& panic) {
        set_panic_exception(panic);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        detail::set_unexpected_exception(error.what());
    } catch (...) {
        detail::set_unexpected_exception("unknown C++ exception");
    }
    return failure;
}

template <typename Body>
PyObject* guarded_object(Body&& body) noexcept {
    return guarded<PyObject*>(nullptr, std::forward<Body>(body));
}

template <typename Body>
int guarded_status(Body&& body) noexcept {
    return guarded<int>(-1, std::forward<Body>(body));
}

}  // namespace corvalex::py
