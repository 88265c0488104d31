// A test-only extension (never installed) that drives the binding layer's
// error boundary: `panic(message)` raises an internal fatal error inside an
// entry point, which must surface as PanicException, not abort the process.
#include <Python.h>

#include "base/panic.hpp"
#include "binding/errors.hpp"

namespace {

PyObject* trigger_panic(PyObject*, PyObject* message) {
    return corvalex::py::guarded_object([&]() -> PyObject* {
        const char* text = PyUnicode_AsUTF8(message);
        if (text == nullptr) corvalex::py::throw_python_error();
        corvalex::panic(text);
    });
}

PyObject* panic_exception(PyObject*, PyObject*) {
    PyObject* type = corvalex::py::panic_exception_type();
    Py_XINCREF(type);
    return type;
}

PyMethodDef methods[] = {
    {"panic", trigger_panic, METH_O, "panic(message)\n--\n\nRaises an internal fatal error."},
    {"panic_exception", panic_exception, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "corvalex_testhooks",
                          nullptr,
                          -1,
                          methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_corvalex_testhooks() {
    return PyModule_Create(&definition);
}
