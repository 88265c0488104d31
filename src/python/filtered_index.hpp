// The Python class `FilteredIndex`: a fixed set of ids read against the
// attribute table and object table of the index it came from.
#pragma once

#include <Python.h>

#include "binding/borrow.hpp"
#include "index/filtered_view.hpp"

namespace corvalex::python {

struct FilteredIndexObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    FilteredView view;
};

PyTypeObject* filtered_index_type();

// A new FilteredIndex object owning `view`.
PyObject* wrap_view(FilteredView view);

}  // namespace corvalex::python
