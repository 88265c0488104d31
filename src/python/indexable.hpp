// The Python class `Indexable`.
#pragma once

#include <Python.h>

#include "binding/borrow.hpp"
#include "index/indexable_record.hpp"

namespace corvalex::python {

// The class, created on first use and cached for the process.
PyTypeObject* indexable_type();

inline bool is_indexable(PyObject* object) {
    return PyObject_TypeCheck(object, indexable_type());
}

}  // namespace corvalex::python
