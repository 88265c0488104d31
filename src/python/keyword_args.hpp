// Keyword arguments of a lookup as a `HashQuery`.
#pragma once

#include <Python.h>

#include <optional>

#include "index/keyword_lookup.hpp"

namespace corvalex {

// Builds a HashQuery from vectorcall keywords (`values[i]` goes with name i
// of `kwnames`, which may be null). A `str` value is one value; any other
// iterable means any of its items; anything else is one value. Needs an
// attached thread and runs Python code (iteration, hashes): call it before
// taking any lock. An error propagates as PythonError, before any index is
// touched. The query borrows the names: it must not outlive `kwnames`.
HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames);

// The same for the commonest call, one keyword naming one value, without
// building a query; nothing (and nothing run) for any other call.
std::optional<HashKeyword> single_hash_keyword(PyObject* const* values, PyObject* kwnames);

}  // namespace corvalex
