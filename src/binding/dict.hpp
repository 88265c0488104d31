// Reading str keys and dicts of keyword arguments.
#pragma once

#include <Python.h>

#include <string_view>

#include "binding/compat.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace corvalex::py {

// The UTF-8 text of a str, valid as long as the str lives. A str that cannot
// be encoded (lone surrogates) raises the interpreter's UnicodeEncodeError.
inline std::string_view utf8(PyObject* text) {
    if (PyUnicode_Check(text) && PyUnicode_IS_COMPACT_ASCII(text))
        return {static_cast<const char*>(PyUnicode_DATA(text)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) throw_python_error();
    return {data, static_cast<std::size_t>(size)};
}

// Calls `visit(name, value)` for each entry of a dict with str keys (such as
// keyword arguments), under the dict's critical section. `value` is held by
// the caller for the duration of the visit, which may run Python code.
template <typename Visit>
void for_each_keyword(PyObject* dict, Visit&& visit) {
    if (dict == nullptr) return;
    CriticalSection section(dict);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        Ref held_key = Ref::new_reference(key);
        Ref held_value = Ref::new_reference(value);
        visit(utf8(held_key.get()), held_value.get());
    }
}

}  // namespace corvalex::py
