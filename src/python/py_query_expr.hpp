// The Python class `PyQueryExpr`: one immutable query tree per instance,
// built only by its static methods.
#pragma once

#include <Python.h>

#include "index/query_expr.hpp"

namespace corvalex::python {

struct QueryExprObject {
    PyObject_HEAD
    QueryExpr expr;
};

PyTypeObject* query_expr_type();

// The tree of `object`, which must be a PyQueryExpr: otherwise TypeError
// "argument '<argument>': '<type>' object cannot be converted to 'PyQueryExpr'".
QueryExpr query_argument(const char* argument, PyObject* object);

}  // namespace corvalex::python
