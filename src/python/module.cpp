// The module: single-phase initialisation, created once per process.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/compat.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "python/filtered_index.hpp"
#include "python/index.hpp"
#include "python/indexable.hpp"
#include "python/py_query_expr.hpp"
#include "python/sum_as_string.hpp"

namespace corvalex::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "Corvalex",
    "Native extension module for Python that indexes Python objects by their attribute "
    "values and selects them with compressed bitmaps.",
    0,  // no per-interpreter state; re-imports call the initialiser, which returns the cache
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> first_interpreter_id{-1};
std::atomic<PyObject*> cached_module{nullptr};

void append_to_all(PyObject* module, PyObject* name) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            panic("could not append __name__ to __all__");
        }
    }
    py::Ref owned_all = py::Ref::steal(all);
    if (!PyList_Check(all) || PyList_Append(all, name) < 0)
        panic("could not append __name__ to __all__");
}

void add_function(PyObject* module, PyMethodDef& definition) {
    py::Ref function =
        py::Ref::steal(py::require(PyCFunction_NewEx(&definition, nullptr, nullptr)));
    py::Ref name = py::Ref::steal(py::require(PyObject_GetAttrString(function.get(), "__name__")));
    append_to_all(module, name.get());
    py::require(PyObject_SetAttr(module, name.get(), function.get()));
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    py::Ref text = py::Ref::steal(py::require(PyUnicode_FromString(name)));
    append_to_all(module, text.get());
    py::require(PyObject_SetAttr(module, text.get(), reinterpret_cast<PyObject*>(type)));
}

PyObject* initialise() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) py::throw_python_error();
    std::int64_t expected = -1;
    if (!first_interpreter_id.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        py::raise(PyExc_ImportError,
                  "Corvalex does not support sub-interpreters: it can only be imported in the "
                  "interpreter that imported it first");
    }
    if (PyObject* module = cached_module.load(std::memory_order_acquire))
        return py::Ref::new_reference(module).release();

    py::Ref module = py::Ref::steal(py::require(PyModule_Create2(&module_definition, 1013)));
    py::require(py::declare_gil_used(module.get()));

    add_function(module.get(), sum_as_string_def);
    add_class(module.get(), "Index", index_type());
    add_class(module.get(), "Indexable", indexable_type());
    add_class(module.get(), "FilteredIndex", filtered_index_type());
    add_class(module.get(), "PyQueryExpr", query_expr_type());

    PyObject* expected_module = nullptr;
    if (cached_module.compare_exchange_strong(expected_module, module.get())) {
        Py_INCREF(module.get());  // the cache's own reference, kept for the process
        return module.release();
    }
    return py::Ref::new_reference(expected_module).release();
}

}  // namespace
}  // namespace corvalex::python

PyMODINIT_FUNC PyInit_Corvalex() {
    return corvalex::py::guarded_object([] { return corvalex::python::initialise(); });
}
