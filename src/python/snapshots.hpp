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
#include "index/indexable_record.hpp"
#include "index/object_snapshot.hpp"

namespace corvalex::python {

class SnapshotBuilder {
  public:
    // Which of the indexed object's own names to expand; values below it
    // are always expanded by their public names, which are all that nested
    // indexes hold.
    enum class Names { Public, Every };

    // The expansions of the indexable values of `attrs`. Raises
    // RuntimeError ("Already mutably borrowed") if one of the objects
    // reached is being written by another thread. The snapshots live as
    // long as the builder.
    Expansions expansions_for(const AttrMap& attrs, Names names = Names::Public);

    // Takes `object`'s snapshot from `record`, for an object the caller holds
    // exclusively (and so could not borrow again).
    void add_known(PyObject* object, const IndexableRecord& record);

    // Objects the caller holds exclusively for as long as the builder is
    // used (a batch being added): they are read directly when reached.
    void held_by_caller(std::span<const py::Ref> objects) noexcept { held_ = objects; }
    // The same for a set of objects.
    void read_held(absl::flat_hash_set<PyObject*> held) { held_set_ = std::move(held); }

  private:
    struct Entry {
        ObjectSnapshot snapshot;
        bool expanded = false;
    };

    Expansions link(const AttrMap& attrs, Names names);
    Entry& entry_of(PyObject* object);

    bool is_held_by_caller(PyObject* object);

    std::unordered_map<PyObject*, std::unique_ptr<Entry>> entries_;
    std::span<const py::Ref> held_;
    absl::flat_hash_set<PyObject*> held_set_;  // built on the first refused borrow
};

// True when some public attribute (or, for `Names::Every`, some attribute)
// holds an indexable value.
bool has_indexable_values(const AttrMap& attrs,
                          SnapshotBuilder::Names names = SnapshotBuilder::Names::Public) noexcept;

}  // namespace corvalex::python
