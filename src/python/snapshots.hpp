// Gathers the snapshots of indexable attribute values (see
// core/object_snapshot.hpp) with the thread state attached, before the core
// takes any lock. Each object reachable within kMaxNestingDepth levels is
// read once per call, however many paths reach it.
#pragma once

#include <Python.h>

#include <memory>
#include <span>
#include <unordered_map>

#include <absl/container/flat_hash_set.h>

#include "binding/ref.hpp"
#include "core/indexable_record.hpp"
#include "core/object_snapshot.hpp"

namespace corvalex::python {

class SnapshotBuilder {
  public:
    // The expansions of the public indexable values of `attrs`. Raises
    // RuntimeError ("Already mutably borrowed") if one of the objects
    // reached is being written by another thread. The snapshots live as
    // long as the builder.
    Expansions expansions_for(const AttrMap& attrs);

    // Takes `object`'s snapshot from `record`, for an object the caller holds
    // exclusively (and so could not borrow again).
    void add_known(PyObject* object, const IndexableRecord& record);

    // Objects the caller holds exclusively for as long as the builder is
    // used (a batch being added): they are read directly when reached.
    void held_by_caller(std::span<const py::Ref> objects) noexcept { held_ = objects; }

  private:
    struct Entry {
        ObjectSnapshot snapshot;
        bool expanded = false;
    };

    Expansions link(const AttrMap& attrs);
    Entry& entry_of(PyObject* object);

    bool is_held_by_caller(PyObject* object);

    std::unordered_map<PyObject*, std::unique_ptr<Entry>> entries_;
    std::span<const py::Ref> held_;
    absl::flat_hash_set<PyObject*> held_set_;  // built on the first refused borrow
};

// True when some public attribute holds an indexable value.
bool has_indexable_values(const AttrMap& attrs) noexcept;

}  // namespace corvalex::python
