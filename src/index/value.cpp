#include "index/value.hpp"

#include "base/panic.hpp"
#include "binding/compat.hpp"

namespace corvalex {

PyValue::PyValue(const PyValue& other)
    : tagged_(other.tagged_), hash_(other.hash_), bits_(other.bits_) {
    ensure(py::thread_is_attached(), "a captured value was copied without a thread state");
    Py_XINCREF(object());
}

}  // namespace corvalex
