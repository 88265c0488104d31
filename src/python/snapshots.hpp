// Gathers the snapshots of indexable attribute values (see
// core/object_snapshot.hpp) with the thread state attached, before the core
// takes any lock.
//
// Expansion is bounded: an object already being expanded on the current path
// (a cycle, such as an object that refers to itself) and values more than
// kMaxNestingDepth levels below the indexed object are entered by value and
// id but not expanded into a nested index.
#pragma once

#include <Python.h>

#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "core/object_snapshot.hpp"

namespace corvalex::python {

inline constexpr int kMaxNestingDepth = 32;

class SnapshotBuilder {
  public:
    // The expansions of the public indexable values of `attrs`, which belong
    // to `owner` (an Indexable, taken as being expanded meanwhile).
    // Raises RuntimeError ("Already mutably borrowed") if a value is being
    // written by another thread.
    Expansions expansions_for(PyObject* owner, const AttrMap& attrs);

  private:
    // Marks an object as being expanded for the lifetime of the mark.
    class InProgress {
      public:
        InProgress(SnapshotBuilder& builder, PyObject* object)
            : builder_(builder),
              object_(object),
              marked_(builder.in_progress_.insert(object).second) {}
        ~InProgress() {
            if (marked_) builder_.in_progress_.erase(object_);
        }
        InProgress(const InProgress&) = delete;
        InProgress& operator=(const InProgress&) = delete;

      private:
        SnapshotBuilder& builder_;
        PyObject* object_;
        bool marked_;
    };

    Expansions expand(const AttrMap& attrs, int depth);
    std::shared_ptr<const ObjectSnapshot> snapshot_of(PyObject* object, int depth);

    std::unordered_map<PyObject*, std::shared_ptr<const ObjectSnapshot>> done_;
    std::unordered_set<PyObject*> in_progress_;
};

// True when some public attribute holds an indexable value.
bool has_indexable_values(const AttrMap& attrs) noexcept;

}  // namespace corvalex::python
