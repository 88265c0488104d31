// Heap types built from PyType_Spec, created once and cached for the process.
#pragma once

#include <Python.h>

#include <string_view>

namespace corvalex::py {

// A vectorcall method (METH_FASTCALL | METH_KEYWORDS) as a method table wants it.
template <auto Method>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

// Creates a type from `type_spec`; on failure raises RuntimeError "An error
// occurred while initializing class NAME" with the original error as cause
// and throws PythonError.
PyTypeObject* create_type(PyType_Spec& type_spec, std::string_view class_name,
                          PyObject* bases = nullptr);

// A `tp_new` for classes that cannot be constructed from Python.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Allocates an instance of `type` and runs the C++ constructor of its
// payload `Object` (a standard-layout struct starting with PyObject_HEAD).
template <typename Object>
Object* allocate(PyTypeObject* type);

}  // namespace corvalex::py

#include "binding/errors.hpp"

template <typename Object>
Object* corvalex::py::allocate(PyTypeObject* type) {
    PyObject* raw = type->tp_alloc(type, 0);
    if (raw == nullptr) throw_python_error();
    return reinterpret_cast<Object*>(raw);
}
