// Keyword lookup: `colour="red", size=[1, 2]` means objects whose colour is
// "red" and whose size is 1 or 2.
#pragma once

#include <cstdint>
#include <string_view>

#include <absl/container/inlined_vector.h>

#include "index/index_api.hpp"
#include "structures/bitmap.hpp"
#include "structures/id_list.hpp"

namespace corvalex {

// One keyword: the attribute name and the hashes of the values to match
// (values are matched by hash alone, so that is all a lookup needs);
// python/keyword_args.hpp builds it from a call's keywords.
struct HashTerm {
    std::string_view name;                         // borrowed from the caller's keyword names
    absl::InlinedVector<std::uint64_t, 4> hashes;  // unique
};

// A keyword that names a single value.
struct HashKeyword {
    std::string_view name;  // borrowed, as in HashTerm
    std::uint64_t hash;
};

// Attribute name -> the values to match, one entry per name.
using HashQuery = absl::InlinedVector<HashTerm, 4>;

// The ids matching `query` in a read-locked attribute table. An empty query
// matches nothing. Does not touch Python objects.
Bitmap filter_index_by_hashes(const AttributeTable& table, const HashQuery& query);

// The same as a list of ascending, unique ids, without building bitmaps
// when one keyword names one value.
IdList matching_ids(const AttributeTable& table, const HashQuery& query);

// The map of the attribute `name` in a read-locked table, or null. The
// pointer stays valid until the table is next written.
const QueryMap* map_named(const AttributeTable& table, std::string_view name);

// The ids of one value of one attribute (`map` from `map_named`, possibly
// null), ascending.
IdList matching_ids(const QueryMap* map, std::uint64_t hash);

}  // namespace corvalex
