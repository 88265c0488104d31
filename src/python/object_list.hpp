// Turning ids back into the stored Python objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "core/bitmap.hpp"
#include "core/index_api.hpp"

namespace corvalex::python {

// A new list of the stored objects of `ids`, in the order given. Ids with no
// object in the table (possible after a union of indexes) are skipped.
PyObject* objects_of(const ObjectTable& table, std::span<const std::uint32_t> ids);
PyObject* objects_of(const ObjectTable& table, const Bitmap& ids);

// A new list of every stored object, in ascending id order.
PyObject* all_objects(const ObjectTable& table);

}  // namespace corvalex::python
