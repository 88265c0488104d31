// The Python class `Indexable`.
#pragma once

#include <Python.h>

#include <atomic>

#include "binding/borrow.hpp"
#include "index/indexable_record.hpp"

namespace corvalex {

// The layout of an `Indexable` instance (and of the base part of instances
// of its subclasses).
struct IndexableObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    IndexableRecord record;
};

inline IndexableObject* as_indexable(PyObject* object) noexcept {
    return reinterpret_cast<IndexableObject*>(object);
}

// The `Indexable` class, set once when the module creates it. Values whose
// type is it or a subclass of it are captured as indexable values.
inline std::atomic<PyTypeObject*> INDEXABLE_TYPE{nullptr};

}  // namespace corvalex

namespace corvalex::python {

// The class, created on first use and cached for the process.
PyTypeObject* indexable_type();

inline bool is_indexable(PyObject* object) {
    return PyObject_TypeCheck(object, indexable_type());
}

}  // namespace corvalex::python
