// The C++ side of an `Indexable` object: what the index core reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <Python.h>

#include <absl/container/inlined_vector.h>

#include "binding/borrow.hpp"
#include "core/attr_map.hpp"

namespace corvalex {

class IndexAPI;

// A weak back-reference from an object to an index core that holds it.
using IndexMeta = std::weak_ptr<IndexAPI>;
// Most objects live in one or two indexes: those need no allocation.
using MetaList = absl::InlinedVector<IndexMeta, 2>;

struct IndexableRecord {
    MetaList meta;
    AttrMap attrs;
    std::uint32_t id = 0;
};

// The layout of an `Indexable` instance (and of the base part of instances
// of its subclasses).
struct IndexableObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    IndexableRecord record;
};

inline IndexableObject* as_indexable(PyObject* object) noexcept {
    return reinterpret_cast<IndexableObject*>(object);
}

// Process-wide id source. Ids start at 1 and are never reused.
inline std::atomic<std::uint64_t> GLOBAL_ID_COUNTER{1};

// Takes the next id, or nothing once the 32-bit id space is spent (handing
// out a wrapped id would let a new object overwrite another one's slot).
inline std::optional<std::uint32_t> take_next_id() noexcept {
    const std::uint64_t taken = GLOBAL_ID_COUNTER.fetch_add(1, std::memory_order_relaxed);
    if (taken > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(taken);
}

}  // namespace corvalex

namespace corvalex {

// Registers `index` in an object's back-references: appended, entries whose
// core is gone are dropped, and the rest are sorted (stably) by core address,
// the order in which attribute writes lock the indexes.
void add_index(MetaList& meta, IndexMeta index);

}  // namespace corvalex
