// The attribute map that an index's last one-keyword lookup used, so that
// lookups in a loop on one attribute skip finding the map by name.
//
// An entry is keyed by the keyword's str object itself (the interpreter
// passes the same interned str for a keyword at every call of one call
// site) and by the table's write generation: any write to the table may
// have moved or freed the map, so the entry is used only while the table is
// at the generation it was found in. The entry holds its str, so no other
// str can take its address while it is remembered.
//
// The cache is read and changed with the thread state held, which the
// interpreter lock makes exclusive; a build without that lock has no cache.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/ref.hpp"

namespace corvalex {
class QueryMap;
}

namespace corvalex::python {

class KeywordMapCache {
  public:
    // The map remembered for `name` at `generation`, or null. Call it
    // under the table's read lock that `generation` comes from.
    const QueryMap* find(PyObject* name, std::uint64_t generation) const noexcept {
        if (!kEnabled || name != name_.get() || generation != generation_) return nullptr;
        return map_;
    }

    // Remembers `map` (found for `name` at `generation`). It drops the str it
    // held before: call it with no table lock held.
    void remember(PyObject* name, std::uint64_t generation, const QueryMap* map) {
        if (!kEnabled) return;
        if (name != name_.get()) name_ = py::Ref::new_reference(name);
        generation_ = generation;
        map_ = map;
    }

  private:
#ifdef Py_GIL_DISABLED
    static constexpr bool kEnabled = false;
#else
    static constexpr bool kEnabled = true;
#endif

    py::Ref name_;
    std::uint64_t generation_ = 0;
    const QueryMap* map_ = nullptr;
};

}  // namespace corvalex::python
