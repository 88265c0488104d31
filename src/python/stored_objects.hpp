// The stored objects of a set of ids, for work that needs the objects
// themselves (their records, their borrow flags) after the table's lock is
// gone.
#pragma once

#include <vector>

#include "binding/ref.hpp"
#include "index/index_api.hpp"
#include "structures/bitmap.hpp"

namespace corvalex::python {

// New references to the objects stored under `ids`, in ascending id order.
// Ids without an object (possible after a union of indexes) are left out.
// Takes the table's read lock only while it copies the pointers.
std::vector<py::Ref> stored_objects(const SharedObjectTable& items, const Bitmap& ids);

}  // namespace corvalex::python
