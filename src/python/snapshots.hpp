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
#include "index/index_api.hpp"
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

    // Objects the caller holds exclusively for as long as the builder is
    // used (a batch being added or rebased, the object being written): when
    // reached, they are read from their records instead of being borrowed.
    void read_held(std::span<const py::Ref> objects) noexcept { held_ = objects; }

    // A batch as the core takes it: each object with its record and the
    // expansions of its indexable values (`members` point into
    // `expansions`).
    struct Batch {
        std::vector<Expansions> expansions;
        std::vector<BatchObject> members;
    };
    Batch batch_of(std::span<const py::Ref> objects, Names names = Names::Public);

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

}  // namespace corvalex::python
