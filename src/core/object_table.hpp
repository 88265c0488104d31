// The object table of an index: slot `id` holds the stored object with that
// id. Dense: its length is one more than the highest id stored.
//
//   ObjectTable { vector<PyObject*> objects; flat_hash_map<id, StoredItem> shared }
//
// A slot owns its strong reference directly, except where the handle it was
// given is also held elsewhere (a snapshot stored in several nested indexes);
// such handles are kept in `shared`, which then owns the reference. Turning
// ids into objects reads one array.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "binding/deferred_release.hpp"
#include "core/stored_item.hpp"

namespace corvalex {

class ObjectTable {
  public:
    ObjectTable() = default;
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;
    ~ObjectTable() { clear(); }

    // Puts `item` into slot `id`, growing the table as needed; an object
    // already there is released. Needs no thread state.
    void store(std::uint32_t id, StoredItem item) {
        if (objects_.size() <= id) objects_.resize(std::size_t(id) + 1, nullptr);
        release_slot(id);
        PyObject* object = item.get();
        if (PyObject* owned = item.release_if_unique()) {
            objects_[id] = owned;
        } else {
            objects_[id] = object;
            shared_.insert_or_assign(id, std::move(item));
        }
    }

    // Stores a strong reference the caller hands over.
    void store_owned(std::uint32_t id, PyObject* owned) {
        if (objects_.size() <= id) objects_.resize(std::size_t(id) + 1, nullptr);
        release_slot(id);
        objects_[id] = owned;
    }

    void resize(std::size_t size) { objects_.resize(size, nullptr); }

    // The object in slot `id`, or null when the slot is empty or beyond the end.
    PyObject* object(std::uint32_t id) const noexcept {
        return id < objects_.size() ? objects_[id] : nullptr;
    }

    void prefetch_slot(std::uint32_t id) const noexcept {
        if (id < objects_.size()) __builtin_prefetch(&objects_[id]);
    }

    // Calls `visit(object)` for each reference the table alone owns, until a
    // call returns non-zero; returns that value. A handle also held elsewhere
    // is left out, so nothing is reported twice.
    template <typename Visit>
    int visit_owned(Visit&& visit) const {
        for (std::uint32_t id = 0; id < objects_.size(); ++id) {
            PyObject* object = objects_[id];
            if (object == nullptr) continue;
            if (auto found = shared_.find(id); found != shared_.end() && !found->second.unique())
                continue;
            if (int stop = visit(object)) return stop;
        }
        return 0;
    }

    std::size_t size() const noexcept { return objects_.size(); }
    const std::vector<PyObject*>& objects() const noexcept { return objects_; }

  private:
    void release_slot(std::uint32_t id) {
        PyObject* previous = objects_[id];
        if (previous == nullptr) return;
        objects_[id] = nullptr;
        if (auto found = shared_.find(id); found != shared_.end())
            shared_.erase(found);  // the handle owned the reference
        else
            py::release_reference(previous);
    }

    void clear() {
        for (std::uint32_t id = 0; id < objects_.size(); ++id)
            if (objects_[id] != nullptr && !shared_.contains(id))
                py::release_reference(objects_[id]);
        objects_.clear();
        shared_.clear();
    }

    std::vector<PyObject*> objects_;
    absl::flat_hash_map<std::uint32_t, StoredItem> shared_;
};

}  // namespace corvalex
