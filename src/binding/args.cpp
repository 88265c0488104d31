#include "binding/args.hpp"

#include <string>
#include <vector>

#include "binding/errors.hpp"

namespace corvalex::py {
namespace {

std::string plural(std::size_t count, std::string_view one, std::string_view many) {
    return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

[[noreturn]] void raise_too_many_positional(std::string_view function, std::size_t accepted,
                                            std::size_t given) {
    raise(PyExc_TypeError, std::string(function) + "() takes " +
                               plural(accepted, "positional argument", "positional arguments") +
                               " but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                               " given");
}

[[noreturn]] void raise_unexpected_keyword(std::string_view function, PyObject* name) {
    PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'",
                 std::string(function).c_str(), name);
    throw_python_error();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists them.
std::string list_names(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

}  // namespace

void parse_arguments(std::string_view function, std::initializer_list<const char*> names,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out) {
    const std::size_t count = names.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > count) raise_too_many_positional(function, count, given);
    for (std::size_t i = 0; i < count; ++i) out[i] = i < given ? args[i] : nullptr;

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = 0;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(keyword, name) == 0) break;
            ++slot;
        }
        if (slot == count) raise_unexpected_keyword(function, keyword);
        if (out[slot] != nullptr) {
            raise(PyExc_TypeError, std::string(function) + "() got multiple values for argument '" +
                                       names.begin()[slot] + "'");
        }
        out[slot] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i)
        if (out[i] == nullptr) missing.push_back(names.begin()[i]);
    if (!missing.empty()) {
        raise(PyExc_TypeError, std::string(function) + "() missing " +
                                   plural(missing.size(), "required positional argument",
                                          "required positional arguments") +
                                   ": " + list_names(missing));
    }
}

void keywords_only(std::string_view function, Py_ssize_t nargs) {
    if (nargs > 0) raise_too_many_positional(function, 0, static_cast<std::size_t>(nargs));
}

void no_arguments(std::string_view function, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
    if (given > 0) raise_too_many_positional(function, 0, static_cast<std::size_t>(given));
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        PyDict_Next(kwargs, &position, &key, &value);
        raise_unexpected_keyword(function, key);
    }
}

void raise_conversion_error(const char* argument, PyObject* object, std::string_view target) {
    Ref type_name = Ref::steal(require(PyType_GetName(Py_TYPE(object))));
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%.200s'",
                 argument, type_name.get(), std::string(target).c_str());
    throw_python_error();
}

void reraise_for_argument(const char* argument) {
    FetchedError error = FetchedError::fetch();
    Ref text = Ref::steal(error.value ? PyObject_Str(error.value.get()) : nullptr);
    if (!text) throw_python_error();
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", argument, text.get()));
    if (!message) throw_python_error();
    // Some exception types cannot be built from a message alone (a
    // UnicodeEncodeError wants five arguments): those pass unchanged.
    Ref prefixed = Ref::steal(PyObject_CallOneArg(error.type.get(), message.get()));
    if (!prefixed) {
        PyErr_Clear();
        error.restore();
    }
    PyErr_SetObject(error.type.get(), prefixed.get());
    throw_python_error();
}

std::size_t sequence_size_hint(const char* argument, PyObject* object) {
    if (PyUnicode_Check(object)) {
        // The system's fixed wording for a str given where a sequence is wanted.
        const std::string message =
            std::string("argument '") + argument + "': Can't extract `str` to `Vec`";
        raise(PyExc_TypeError, message);
    }
    if (!PySequence_Check(object)) raise_conversion_error(argument, object, "Sequence");
    const Py_ssize_t size = PySequence_Size(object);
    if (size >= 0) return static_cast<std::size_t>(size);
    PyErr_Clear();
    return 0;
}

}  // namespace corvalex::py
