// The Python class `Indexable`.
#pragma once

#include <Python.h>

#include "binding/borrow.hpp"
#include "core/indexable_record.hpp"

namespace corvalex::python {

struct IndexableObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    IndexableRecord record;
};

// The class, created on first use and cached for the process.
PyTypeObject* indexable_type();

inline bool is_indexable(PyObject* object) {
    return PyObject_TypeCheck(object, indexable_type());
}

inline IndexableObject* as_indexable(PyObject* object) {
    return reinterpret_cast<IndexableObject*>(object);
}

}  // namespace corvalex::python
