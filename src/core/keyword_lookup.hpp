// Keyword lookup: `colour="red", size=[1, 2]` means objects whose colour is
// "red" and whose size is 1 or 2.
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

#include "core/attr_map.hpp"
#include "core/bitmap.hpp"
#include "core/index_api.hpp"
#include "core/value.hpp"

namespace corvalex {

// Attribute name -> the values to match, one entry per name, values unique
// by hash.
using HashQuery = std::vector<std::pair<AttrName, std::vector<PyValue>>>;

// Builds a HashQuery from a keyword dict (may be null). A `str` value is one
// value; any other iterable means any of its items; anything else is one
// value. Needs an attached thread; an error raised while iterating a value
// (or capturing an item) propagates as PythonError.
HashQuery kwargs_to_hash_query(PyObject* kwargs);

// The ids matching `query` in a read-locked attribute table. An empty query
// matches nothing. Does not touch Python objects.
Bitmap filter_index_by_hashes(const AttributeTable& table, const HashQuery& query);

}  // namespace corvalex
