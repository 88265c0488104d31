// The Python class `Index`: a handle on one shared index core.
#pragma once

#include <Python.h>

#include <memory>

#include "binding/borrow.hpp"
#include "index/index_api.hpp"
#include "python/keyword_map_cache.hpp"

namespace corvalex::python {

struct IndexObject {
    PyObject_HEAD
    py::BorrowFlag borrow;
    std::shared_ptr<IndexAPI> core;
    KeywordMapCache keyword_maps;
};

PyTypeObject* index_type();

// A new Index object holding `core`.
PyObject* wrap_index(std::shared_ptr<IndexAPI> core);

}  // namespace corvalex::python
