// Narrowing an index in place to the objects that match keyword conditions:
// the locked step of `Index.reduce`, whose whole protocol (holding the kept
// objects, reading their values, retrying) is python/reduction.cpp.
//
// Only the `exact` sets narrow; every entry and every map stays, even when
// emptied. The kept objects' current public attributes are then entered
// again, which restores pairs an earlier narrowing removed. Range trees,
// nested parts, the object table and `allowed` are not touched.
#pragma once

#include <span>

#include "index/index_api.hpp"
#include "index/keyword_lookup.hpp"
#include "structures/bitmap.hpp"

namespace corvalex {

// Narrows `core` to the ids matching `query` and enters `kept` (the stored
// objects among them, ascending ids, held by the caller so that their
// attributes cannot change) again, all under one write lock of the attribute
// table. Does so only if the matching ids are still `expected`, the ids the
// caller gathered `kept` from; otherwise changes nothing and returns false.
// Call without the thread state.
bool reduce_if_unchanged(IndexAPI& core, const HashQuery& query, const Bitmap& expected,
                         std::span<const BatchObject> kept);

// Intersects every `exact` set of a write-locked table with `kept`.
void narrow_exact_sets(AttributeTable& table, const Bitmap& kept);

}  // namespace corvalex
