// One entry of an object table: a shared handle owning one strong reference
// to a stored object. The last copy to go releases the reference (deferred
// when that happens on a thread without a thread state).
#pragma once

#include "binding/ref.hpp"

namespace corvalex {

using StoredItem = py::SharedRef;

}  // namespace corvalex
