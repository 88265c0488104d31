// The object table of an index: maps each stored id to its object, in an
// `IdTable` (see there for the layout). A slot owns its strong reference
// directly, except where the handle it was given is also held elsewhere (a
// snapshot stored in several nested indexes); such handles are kept in
// `shared_`, which then owns the reference.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include <absl/container/flat_hash_map.h>

#include "binding/deferred_release.hpp"
#include "index/stored_item.hpp"
#include "structures/id_table.hpp"

namespace corvalex {

class ObjectTable {
    using Slots = IdTable<PyObject*>;

  public:
    static constexpr std::uint32_t kPageSlots = Slots::kPageSlots;
    static constexpr std::size_t kSparseLimit = Slots::kSparseLimit;
    using Cursor = Slots::Cursor;

    ObjectTable() = default;
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;
    ~ObjectTable() { clear(); }

    // Puts `item` at `id`; an object already there is released. Needs no
    // thread state.
    void store(std::uint32_t id, StoredItem item) {
        PyObject* object = item.get();
        PyObject* previous = slots_.put(id, object);
        release(id, previous);
        if (item.release_if_unique() == nullptr) shared_.insert_or_assign(id, std::move(item));
    }

    // Stores a strong reference the caller hands over.
    void store_owned(std::uint32_t id, PyObject* owned) { release(id, slots_.put(id, owned)); }

    // Makes room for `count` objects with ids up to `highest`.
    void reserve(std::uint32_t highest, std::size_t count) { slots_.reserve(highest, count); }

    // The object stored at `id`, or null.
    PyObject* object(std::uint32_t id) const noexcept { return slots_.object(id); }

    bool paged() const noexcept { return slots_.paged(); }
    // The slots of a table that is not paged, indexed by id.
    std::span<PyObject* const> flat_slots() const noexcept { return slots_.flat_slots(); }
    const Slots& slots() const noexcept { return slots_; }

    // Calls `visit(id, object)` for each stored object in ascending id order.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        slots_.for_each(visit);
    }

    // Calls `visit(object)` for each reference the table alone owns, until a
    // call returns non-zero; returns that value. A handle also held elsewhere
    // is left out, so nothing is reported twice.
    template <typename Visit>
    int visit_owned(Visit&& visit) const {
        int stop = 0;
        slots_.for_each([&](std::uint32_t id, PyObject* object) {
            if (stop != 0) return;
            if (!shared_.empty()) {
                auto found = shared_.find(id);
                if (found != shared_.end() && !found->second.unique()) return;
            }
            stop = visit(object);
        });
        return stop;
    }

    // How many objects are stored.
    std::size_t count() const noexcept { return slots_.count(); }

    // Bytes held by the table's own structures (not the objects).
    std::size_t footprint() const noexcept { return slots_.footprint(); }

  private:
    // Releases what `id` held before, whoever owned it.
    void release(std::uint32_t id, PyObject* previous) {
        if (previous == nullptr) return;
        if (auto found = shared_.find(id); found != shared_.end())
            shared_.erase(found);  // the handle owned the reference
        else
            py::release_reference(previous);
    }

    void clear() noexcept {
        slots_.for_each([&](std::uint32_t id, PyObject* object) {
            if (!shared_.contains(id)) py::release_reference(object);
        });
        slots_.clear();
        shared_.clear();
    }

    Slots slots_;
    absl::flat_hash_map<std::uint32_t, StoredItem> shared_;
};

}  // namespace corvalex
