// Capturing Python objects as `PyValue`s. Both functions need an attached
// thread and may run Python code (a user's `__hash__`): never call them
// under a table lock.
#pragma once

#include <Python.h>

#include <cstdint>

#include "index/value.hpp"

namespace corvalex {

// Captures `object` (borrowed). An exact int outside the signed 64-bit range
// raises OverflowError and an exact str with lone surrogates raises
// UnicodeEncodeError (both as PythonError). A hash that raises counts as 0.
PyValue capture_value(PyObject* object);

// The hash `capture_value` would record, with the same checks, for values
// that are only looked up.
std::uint64_t value_hash(PyObject* object);

}  // namespace corvalex
