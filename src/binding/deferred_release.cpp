#include "binding/deferred_release.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "binding/compat.hpp"

namespace corvalex::py {
namespace {

struct PendingReleases {
    std::mutex mutex;
    std::vector<PyObject*> objects;
};

PendingReleases& pending() {
    // Never destroyed: references may be queued during interpreter shutdown.
    static auto* instance = new PendingReleases();
    return *instance;
}

// Initial-exec: read on every attribute write and every reference drop, and
// the general model would cost a call into the dynamic loader each time.
[[gnu::tls_model("initial-exec")]] thread_local int locked_regions = 0;

}  // namespace

namespace detail {
std::atomic<bool> releases_pending{false};
}  // namespace detail

void enter_locked_region() noexcept {
    ++locked_regions;
}

void leave_locked_region() noexcept {
    --locked_regions;
}

bool in_locked_region() noexcept {
    return locked_regions != 0;
}

void release_reference(PyObject* object) noexcept {
    if (object == nullptr || !Py_IsInitialized()) return;
    if (locked_regions == 0 && thread_is_attached()) {
        Py_DECREF(object);
        return;
    }
    auto& queue = pending();
    try {
        std::lock_guard lock(queue.mutex);
        queue.objects.push_back(object);
        detail::releases_pending.store(true, std::memory_order_release);
    } catch (...) {
        // Out of memory while queueing: leaking one reference is the only
        // safe choice without a thread state.
    }
}

void detail::drain_pending_releases() noexcept {
    if (locked_regions != 0) return;
    auto& queue = pending();
    std::vector<PyObject*> objects;
    {
        std::lock_guard lock(queue.mutex);
        objects.swap(queue.objects);
        releases_pending.store(false, std::memory_order_release);
    }
    for (PyObject* object : objects) Py_DECREF(object);
}

}  // namespace corvalex::py
