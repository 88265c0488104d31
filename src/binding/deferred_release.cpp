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
    std::atomic<bool> non_empty{false};
};

PendingReleases& pending() {
    // Never destroyed: references may be queued during interpreter shutdown.
    static auto* instance = new PendingReleases();
    return *instance;
}

thread_local int locked_regions = 0;

}  // namespace

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
        queue.non_empty.store(true, std::memory_order_release);
    } catch (...) {
        // Out of memory while queueing: leaking one reference is the only
        // safe choice without a thread state.
    }
}

void drain_deferred_releases() noexcept {
    auto& queue = pending();
    if (locked_regions != 0 || !queue.non_empty.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> objects;
    {
        std::lock_guard lock(queue.mutex);
        objects.swap(queue.objects);
        queue.non_empty.store(false, std::memory_order_release);
    }
    for (PyObject* object : objects) Py_DECREF(object);
}

}  // namespace corvalex::py
