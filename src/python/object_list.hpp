// Turning ids back into the stored Python objects.
//
// A list is allocated with no table lock held (allocating may run the
// garbage collector, and with it finalisers that call back into the module);
// under the object table's read lock only new references are taken.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "index/index_api.hpp"
#include "structures/bitmap.hpp"

namespace corvalex::python {

// A new list of the stored objects of `ids`, in the order given. Ids with no
// object in the table (possible after a union of indexes) are skipped.
PyObject* objects_of(RwLocked<ObjectTable>& table, std::span<const std::uint32_t> ids);
PyObject* objects_of(RwLocked<ObjectTable>& table, const Bitmap& ids);

// A new list of every stored object, in ascending id order.
PyObject* all_objects(RwLocked<ObjectTable>& table);

}  // namespace corvalex::python
