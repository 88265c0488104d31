// Folding the attribute maps of one index into another.
#pragma once

#include "core/index_api.hpp"

namespace corvalex {

// Merges every attribute map of `other` into the map of the same name in
// `target` (made on first use): only `exact` sets change. `target`'s object
// table and `allowed` stay as they are, so ids that only `other` stores have
// no object in `target`; readers skip such ids. Holds `target`'s attribute
// table for writing and `other`'s for reading, taken in ascending core
// address; call without the thread state.
void union_with(IndexAPI& target, const IndexAPI& other);

}  // namespace corvalex
