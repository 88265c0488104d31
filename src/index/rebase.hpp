// Building a new index from the objects of a view.
#pragma once

#include <span>

#include "index/index_api.hpp"

namespace corvalex {

// Indexes `objects` (ascending ids, held by the caller) in a new core whose
// object table the caller has already filled: their ids enter `allowed` and
// every attribute, including names beginning with `_`, enters the attribute
// table. Call without the thread state.
void index_rebased_objects(IndexAPI& core, std::span<const BatchObject> objects);

}  // namespace corvalex
