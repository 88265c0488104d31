// The methods that derive indexes from indexes: `Index.reduce`,
// `Index.union_with` and `FilteredIndex.rebase`.
#pragma once

#include <Python.h>

namespace corvalex::python {

PyObject* index_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* filtered_index_rebase(PyObject* self, PyObject* unused);

}  // namespace corvalex::python
