#include "python/sum_as_string.hpp"

#include <cstdint>
#include <string>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace corvalex::python {
namespace {

std::uint32_t to_u32(const char* argument, PyObject* object) {
    py::Ref number = py::Ref::steal(PyNumber_Index(object));
    if (!number) py::reraise_for_argument(argument);
    const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        py::reraise_for_argument(argument);
    if (value > UINT32_MAX) {
        PyErr_Format(PyExc_OverflowError,
                     "argument '%s': out of range integral type conversion attempted", argument);
        py::throw_python_error();
    }
    return static_cast<std::uint32_t>(value);
}

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        PyObject* parsed[2];
        py::parse_arguments("sum_as_string", {"a", "b"}, args, nargs, kwnames, parsed);
        const std::uint32_t a = to_u32("a", parsed[0]);
        const std::uint32_t b = to_u32("b", parsed[1]);
        const std::string text = std::to_string(static_cast<std::uint32_t>(a + b));
        return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    });
}

}  // namespace

PyMethodDef sum_as_string_def = {
    "sum_as_string",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sum_as_string)),
    METH_FASTCALL | METH_KEYWORDS,
    "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string.",
};

}  // namespace corvalex::python
