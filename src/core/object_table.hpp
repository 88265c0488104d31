// The object table of an index: slot `id` holds the stored object with that
// id. Dense: its length is one more than the highest id stored.
//
// Each slot keeps the shared handle that owns the reference and, beside it,
// the bare object pointer, so that turning ids into objects reads one array
// instead of chasing every handle.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/stored_item.hpp"

namespace corvalex {

class ObjectTable {
  public:
    // Puts `item` into slot `id`, growing the table as needed; an object
    // already there is released.
    void store(std::uint32_t id, StoredItem item) {
        if (objects_.size() <= id) resize(std::size_t(id) + 1);
        objects_[id] = item.get();
        items_[id] = std::move(item);
    }

    void resize(std::size_t size) {
        objects_.resize(size, nullptr);
        items_.resize(size);
    }

    // The object in slot `id`, or null when the slot is empty or beyond the end.
    PyObject* object(std::uint32_t id) const noexcept {
        return id < objects_.size() ? objects_[id] : nullptr;
    }
    const StoredItem* item(std::uint32_t id) const noexcept {
        return id < items_.size() && items_[id] ? &items_[id] : nullptr;
    }

    void prefetch_slot(std::uint32_t id) const noexcept {
        if (id < objects_.size()) __builtin_prefetch(&objects_[id]);
    }

    std::size_t size() const noexcept { return objects_.size(); }
    const std::vector<PyObject*>& objects() const noexcept { return objects_; }

  private:
    std::vector<PyObject*> objects_;
    std::vector<StoredItem> items_;
};

}  // namespace corvalex
