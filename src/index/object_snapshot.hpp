// What the core needs to know about indexable attribute values, gathered
// from Python before any table lock is taken, so that the core never waits
// for the thread state while it holds a lock.
//
// For each indexable value among an object's public attributes, an
// `Expansion` records the value's id and its snapshot: its stored handle,
// its attributes as they are now and, in turn, the expansions of its own
// indexable values. Snapshots are owned by whoever gathered them and shared
// by every place in one call that reaches the same object, so the snapshot
// graph may contain cycles; the core bounds its walk (see `NestingPath`).
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include <absl/container/inlined_vector.h>
#include <absl/hash/hash.h>

#include "index/attr_map.hpp"
#include "index/stored_item.hpp"

namespace corvalex {

// Indexable values are stored in nested indexes at most this many levels
// below the indexed object; deeper values are matched by value only.
inline constexpr std::size_t kMaxNestingDepth = 32;

struct ObjectSnapshot;

struct Expansion {
    PyObject* object;  // identifies the value; kept alive by the value itself
    std::uint32_t id;
    const ObjectSnapshot* snapshot;  // null when the value was not gathered
};

using Expansions = std::vector<Expansion>;

struct ObjectSnapshot {
    std::uint32_t id = 0;
    StoredItem item;
    AttrMap attrs;
    Expansions nested;  // filled only for objects less than kMaxNestingDepth deep
};

inline const Expansion* find_expansion(const Expansions* expansions, PyObject* object) noexcept {
    if (expansions == nullptr) return nullptr;
    for (const auto& expansion : *expansions)
        if (expansion.object == object) return &expansion;
    return nullptr;
}

class IndexAPI;

// Nested insertions already made in one call. Storing the same snapshot in
// the same nested index at the same depth again changes nothing, provided
// the first time no value was left unexpanded because it closed a cycle
// (a different path could only leave out more). A node-based set: a failed
// insertion must leave it intact (a flat set's growth does not survive a
// failed allocation).
using NestedInsertion = std::tuple<const IndexAPI*, const ObjectSnapshot*, std::size_t>;
using NestedInsertions = std::unordered_set<NestedInsertion, absl::Hash<NestedInsertion>>;

// The ids of the objects from the indexed object down to the one being
// stored. A value is expanded into a nested index only when the path is not
// too deep and the value is not already being entered further up (a
// cycle). The indexed object itself is not part of that chain: a value
// that is the indexed object is expanded once, so that a path of one step
// back into it sees its attributes.
class NestingPath {
  public:
    NestingPath(std::uint32_t root, NestedInsertions& done) : ids_{root}, done_(done) {}

    bool may_expand(std::uint32_t id) noexcept {
        if (ids_.size() > kMaxNestingDepth) return false;
        if (std::find(ids_.begin() + 1, ids_.end(), id) == ids_.end()) return true;
        cycle_cut_ = true;
        return false;
    }

    std::size_t depth() const noexcept { return ids_.size(); }
    bool already_done(const IndexAPI* core, const ObjectSnapshot* snapshot) const {
        return done_.contains({core, snapshot, ids_.size()});
    }

    // Descends into `snapshot` (to be stored in `core`) for the lifetime of
    // the returned step. The insertion is remembered up front and forgotten
    // again if it is cut short or left by an exception, so that leaving a
    // step never allocates (and so never throws).
    class Step {
      public:
        Step(NestingPath& path, const IndexAPI* core, const ObjectSnapshot* snapshot)
            : path_(path), key_(core, snapshot, path.ids_.size()) {
            path_.ids_.reserve(path_.ids_.size() + 1);  // the push cannot fail after the insert
            inserted_ = path_.done_.insert(key_).second;
            path_.ids_.push_back(snapshot->id);
            outer_cut_ = std::exchange(path_.cycle_cut_, false);
            exceptions_ = std::uncaught_exceptions();
        }
        ~Step() {
            path_.ids_.pop_back();
            if (inserted_ && (path_.cycle_cut_ || std::uncaught_exceptions() > exceptions_))
                path_.done_.erase(key_);
            path_.cycle_cut_ = path_.cycle_cut_ || outer_cut_;
        }
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;

      private:
        NestingPath& path_;
        NestedInsertion key_;
        bool inserted_ = false;
        bool outer_cut_ = false;
        int exceptions_ = 0;
    };

  private:
    absl::InlinedVector<std::uint32_t, 8> ids_;
    NestedInsertions& done_;
    bool cycle_cut_ = false;
};

}  // namespace corvalex
