// `Index.union_with(other)`.
#include "index/index_union.hpp"
#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/errors.hpp"
#include "binding/thread_state.hpp"
#include "python/derived_methods.hpp"
#include "python/index.hpp"

namespace corvalex::python {

PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = reinterpret_cast<IndexObject*>(self);
        auto borrow = py::ExclusiveBorrow::acquire(index->borrow);
        PyObject* other = nullptr;
        py::parse_arguments("Index.union_with", {"other"}, args, nargs, kwnames, {&other, 1});
        if (Py_TYPE(other) != index_type()) py::raise_conversion_error("other", other, "Index");
        auto* source = reinterpret_cast<IndexObject*>(other);
        // Refused for `self` as `other`, which this call holds exclusively.
        auto shared = py::SharedBorrow::acquire(source->borrow);
        py::without_thread_state([&] { union_with(*index->core, *source->core); });
        Py_RETURN_NONE;
    });
}

}  // namespace corvalex::python
