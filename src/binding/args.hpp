// Argument parsing with the interpreter's standard messages.
//
// Methods use the vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
// `function` is the name shown in messages, e.g. "Index.add_object".
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>

#include "binding/ref.hpp"

namespace corvalex::py {

// Fills `out` (one slot per name, borrowed) from required parameters that
// may be passed by position or keyword.
void parse_arguments(std::string_view function, std::initializer_list<const char*> names,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out);

// For `f(**kwargs)`: refuses positional arguments. The keywords are read
// straight from the vectorcall arguments.
void keywords_only(std::string_view function, Py_ssize_t nargs);

// For constructors without parameters (tuple/dict convention).
void no_arguments(std::string_view function, PyObject* args, PyObject* kwargs);

// TypeError "argument 'NAME': 'T' object cannot be converted to 'TARGET'".
[[noreturn]] void raise_conversion_error(const char* argument, PyObject* object,
                                         std::string_view target);

// For an argument that must be a sequence but not a str: raises the
// TypeError for anything else, and returns its length as a size hint (0
// when it has none).
std::size_t sequence_size_hint(const char* argument, PyObject* object);

// Re-raises the pending exception with "argument 'NAME': " before its message.
[[noreturn]] void reraise_for_argument(const char* argument);

}  // namespace corvalex::py
