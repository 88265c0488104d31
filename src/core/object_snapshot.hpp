// What the core needs to know about indexable attribute values, gathered
// from Python before any table lock is taken, so that the core never waits
// for the thread state while it holds a lock.
//
// For each indexable value among an object's attributes, an `Expansion`
// records the value's id and, unless the expansion stops there, a snapshot
// of the value: its stored handle, its attributes as they are now and, in
// turn, the expansions of its own indexable values. Snapshots are shared
// between all places in one call that reach the same object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "core/attr_map.hpp"
#include "core/stored_item.hpp"

namespace corvalex {

struct ObjectSnapshot;

struct Expansion {
    PyObject* object;  // identifies the value; kept alive by the value itself
    std::uint32_t id;
    // Null where expansion stops: at a cycle or below the depth limit.
    std::shared_ptr<const ObjectSnapshot> snapshot;
};

using Expansions = std::vector<Expansion>;

struct ObjectSnapshot {
    std::uint32_t id;
    StoredItem item;
    AttrMap attrs;
    Expansions nested;
};

inline const Expansion* find_expansion(const Expansions* expansions, PyObject* object) noexcept {
    if (expansions == nullptr) return nullptr;
    for (const auto& expansion : *expansions)
        if (expansion.object == object) return &expansion;
    return nullptr;
}

}  // namespace corvalex
