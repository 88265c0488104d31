#include "python/keyword_args.hpp"

#include <algorithm>

#include "binding/dict.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "python/value_capture.hpp"

namespace corvalex {
namespace {

// Whether iterating `value` may work, decided without raising.
bool looks_iterable(PyObject* value) {
    return Py_TYPE(value)->tp_iter != nullptr || PySequence_Check(value);
}

// Whether `value` is one value to match, rather than "any of its items".
bool is_one_value(PyObject* value) {
    return PyUnicode_Check(value) || !looks_iterable(value);
}

// Appends the hash of `value`, or of each of its items when it means "any
// of these values".
void append_hashes(PyObject* value, absl::InlinedVector<std::uint64_t, 4>& hashes) {
    if (is_one_value(value)) {
        hashes.push_back(value_hash(value));
        return;
    }
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        // Hashing an item may run Python code that changes a list: re-read
        // its size every step and hold each item while it is hashed.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); ++i) {
            py::Ref item = py::Ref::new_reference(PySequence_Fast_GET_ITEM(value, i));
            hashes.push_back(value_hash(item.get()));
        }
        return;
    }
    py::Ref iterator = py::Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        PyErr_Clear();
        hashes.push_back(value_hash(value));
        return;
    }
    while (py::Ref item = py::Ref::steal(PyIter_Next(iterator.get())))
        hashes.push_back(value_hash(item.get()));
    if (PyErr_Occurred()) py::throw_python_error();
}

void fill_term(HashTerm& term, std::string_view name, PyObject* value) {
    term.name = name;
    append_hashes(value, term.hashes);
    // Values equal by hash are one value.
    if (term.hashes.size() > 1) {
        std::sort(term.hashes.begin(), term.hashes.end());
        term.hashes.erase(std::unique(term.hashes.begin(), term.hashes.end()), term.hashes.end());
    }
}

}  // namespace

std::optional<HashKeyword> single_hash_keyword(PyObject* const* values, PyObject* kwnames) {
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) != 1) return std::nullopt;
    if (!is_one_value(values[0])) return std::nullopt;
    return HashKeyword{py::utf8(PyTuple_GET_ITEM(kwnames, 0)), value_hash(values[0])};
}

HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames) {
    HashQuery query;
    const Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i)
        fill_term(query.emplace_back(), py::utf8(PyTuple_GET_ITEM(kwnames, i)), values[i]);
    return query;
}

}  // namespace corvalex
