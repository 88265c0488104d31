// Query methods of `Index` and `FilteredIndex`, listed in their method
// tables: expressions on both, keyword narrowing of a view.
#pragma once

#include <Python.h>

namespace corvalex::python {

// Index.reduced_query($self, query)
PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// FilteredIndex.reduced($self, **kwargs)
PyObject* filtered_index_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

// FilteredIndex.reduced_query($self, query)
PyObject* filtered_index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

}  // namespace corvalex::python
