#include "python/query_methods.hpp"

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/thread_state.hpp"
#include "index/keyword_lookup.hpp"
#include "index/query_eval.hpp"
#include "python/filtered_index.hpp"
#include "python/index.hpp"
#include "python/keyword_args.hpp"
#include "python/py_query_expr.hpp"

namespace corvalex::python {
namespace {

// Runs `evaluate` with the thread state released. Nothing in it touches
// Python, and every lock it takes is released before the thread state comes
// back, so a finaliser that then runs may use the same index.
template <typename Evaluate>
FilteredView evaluated(Evaluate&& evaluate) {
    try {
        return py::without_thread_state(evaluate);
    } catch (const QueryNotSupported& error) {
        py::raise(PyExc_NotImplementedError, error.what());
    }
}

}  // namespace

PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = reinterpret_cast<IndexObject*>(self);
        auto borrow = py::SharedBorrow::acquire(index->borrow);
        PyObject* query = nullptr;
        py::parse_arguments("Index.reduced_query", {"query"}, args, nargs, kwnames, {&query, 1});
        const QueryExpr expr = query_argument("query", query);
        const IndexAPI& core = *index->core;
        return wrap_view(evaluated([&] { return core.reduced_query(expr); }));
    });
}

PyObject* filtered_index_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* object = reinterpret_cast<FilteredIndexObject*>(self);
        auto borrow = py::SharedBorrow::acquire(object->borrow);
        py::keywords_only("FilteredIndex.reduced", nargs);
        const HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
        const FilteredView& view = object->view;
        return wrap_view(py::without_thread_state([&] {
            return select_view(view.index, view.items, [&](const AttributeTable& table) {
                Bitmap matches = filter_index_by_hashes(table, query);
                matches.and_inplace(view.allowed);
                return matches;
            });
        }));
    });
}

PyObject* filtered_index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* object = reinterpret_cast<FilteredIndexObject*>(self);
        auto borrow = py::SharedBorrow::acquire(object->borrow);
        PyObject* query = nullptr;
        py::parse_arguments("FilteredIndex.reduced_query", {"query"}, args, nargs, kwnames,
                            {&query, 1});
        const QueryExpr expr = query_argument("query", query);
        const FilteredView& view = object->view;
        return wrap_view(evaluated([&] {
            return select_view(view.index, view.items, [&](const AttributeTable& table) {
                return evaluate_query(table, view.allowed, expr);
            });
        }));
    });
}

}  // namespace corvalex::python
