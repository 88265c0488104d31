#include "binding/types.hpp"

#include <string>

#include "binding/ref.hpp"

namespace corvalex::py {

PyTypeObject* create_type(PyType_Spec& type_spec, std::string_view class_name, PyObject* bases) {
    PyObject* type = PyType_FromSpecWithBases(&type_spec, bases);
    if (type != nullptr) {
        // A doc that holds only a text signature leaves `__doc__` empty; the
        // classes have no docstring, so make that None.
        PyObject* doc =
            PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(type)->tp_dict, "__doc__");
        if (doc != nullptr && PyUnicode_Check(doc) && PyUnicode_GetLength(doc) == 0)
            PyDict_SetItemString(reinterpret_cast<PyTypeObject*>(type)->tp_dict, "__doc__",
                                 Py_None);
        return reinterpret_cast<PyTypeObject*>(type);
    }

    FetchedError cause = FetchedError::fetch();
    if (cause.traceback && cause.value)
        PyException_SetTraceback(cause.value.get(), cause.traceback.get());

    const std::string message =
        "An error occurred while initializing class " + std::string(class_name);
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
    if (!error) throw_python_error();
    PyException_SetCause(error.get(), cause.value.release());  // steals the cause
    PyErr_SetObject(PyExc_RuntimeError, error.get());
    throw_python_error();
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded_object([&]() -> PyObject* {
        Ref name = Ref::steal(require(PyType_GetName(type)));
        PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
        return nullptr;
    });
}

}  // namespace corvalex::py
