#include "python/filtered_index.hpp"

#include <new>

#include "binding/errors.hpp"
#include "binding/types.hpp"
#include "python/derived_methods.hpp"
#include "python/gc_support.hpp"
#include "python/object_list.hpp"
#include "python/query_methods.hpp"

namespace corvalex::python {
namespace {

FilteredIndexObject* as_view(PyObject* self) {
    return reinterpret_cast<FilteredIndexObject*>(self);
}

int filtered_index_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const FilteredView& view = as_view(self)->view;
    return visit_index_tables(view.index, view.items, true, visit, arg);
}

void filtered_index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_view(self)->view.~FilteredView();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* filtered_index_collect(PyObject* self, PyObject*) {
    return py::guarded_object([&]() -> PyObject* {
        auto* object = as_view(self);
        auto borrow = py::SharedBorrow::acquire(object->borrow);
        return objects_of(*object->view.items, object->view.allowed);
    });
}

using py::fastcall;

PyMethodDef filtered_index_methods[] = {
    {"reduced", fastcall<filtered_index_reduced>(), METH_FASTCALL | METH_KEYWORDS,
     "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", fastcall<filtered_index_reduced_query>(), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"collect", filtered_index_collect, METH_NOARGS, "collect($self)\n--\n\n"},
    {"rebase", filtered_index_rebase, METH_NOARGS, "rebase($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot filtered_index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(filtered_index_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(filtered_index_traverse)},
    {Py_tp_methods, filtered_index_methods},
    {0, nullptr},
};

PyType_Spec filtered_index_spec = {
    "Corvalex.FilteredIndex",
    sizeof(FilteredIndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    filtered_index_slots,
};

}  // namespace

PyTypeObject* filtered_index_type() {
    static PyTypeObject* type = py::create_type(filtered_index_spec, "FilteredIndex");
    return type;
}

PyObject* wrap_view(FilteredView view) {
    auto* object = py::allocate<FilteredIndexObject>(filtered_index_type());
    new (&object->borrow) py::BorrowFlag();
    new (&object->view) FilteredView(std::move(view));
    return reinterpret_cast<PyObject*>(object);
}

}  // namespace corvalex::python
