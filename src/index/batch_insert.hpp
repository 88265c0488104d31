// Indexing a batch of objects into one attribute table.
//
// Objects of one kind share a shape, so each shape's names are resolved to
// maps once. The batch's numeric values reach each empty range tree
// together at the end, which is then built bottom-up from them sorted; a
// tree that holds values already takes them one at a time.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index/index_api.hpp"

namespace corvalex {

enum class BatchNames { PublicOnly, All };

// Indexes every object of `objects` under its attribute names (those
// `names` admits) in a write-locked table, and returns their ids in batch
// order.
std::vector<std::uint32_t> insert_batch(AttributeTable& table, std::span<const BatchObject> objects,
                                        BatchNames names);

}  // namespace corvalex
