// Releasing strong references from threads without a thread state.
//
// Index structures are dropped wherever their last owner goes, which may be a
// thread that released its thread state around long index work. Such drops
// are queued here and carried out by the next thread that enters the module
// (every entry point calls `drain_deferred_releases`).
#pragma once

#include <Python.h>

#include <atomic>

namespace corvalex::py {

// Drops one strong reference now if the calling thread is attached and holds
// no table lock, otherwise queues it. Dropping a last reference runs arbitrary
// code (finalisers, `__del__`), which must never happen under a table lock: it
// could call back into the module and wait for that same lock. Safe after
// interpreter finalisation (the reference is then left).
void release_reference(PyObject* object) noexcept;

// Counts the table locks the calling thread holds (see core/rw_lock.hpp).
void enter_locked_region() noexcept;
void leave_locked_region() noexcept;
bool in_locked_region() noexcept;

namespace detail {
extern std::atomic<bool> releases_pending;
void drain_pending_releases() noexcept;
}  // namespace detail

// Whether any reference waits in the queue: one load, since every entry
// point asks and the answer is nearly always no.
inline bool releases_queued() noexcept {
    return detail::releases_pending.load(std::memory_order_acquire);
}

// Releases every queued reference; needs an attached thread.
inline void drain_deferred_releases() noexcept {
    if (releases_queued()) detail::drain_pending_releases();
}

}  // namespace corvalex::py
