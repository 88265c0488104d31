// Folding the attribute maps of one index into another.
#pragma once

#include "index/index_api.hpp"

namespace corvalex {

// Merges every attribute map of `other` into the map of the same name in
// `target` (made on first use): only `exact` sets change, and only by the ids
// of objects both indexes store. `target`'s object table and `allowed` stay
// as they are. Holds `target`'s attribute table for writing and `other`'s for
// reading, taken in ascending core address, after reading both `allowed`
// sets; call without the thread state, with no additions to either index
// running.
void union_with(IndexAPI& target, const IndexAPI& other);

}  // namespace corvalex
