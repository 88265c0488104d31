#include "python/object_list.hpp"

#include <vector>

#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace corvalex::python {
namespace {

PyObject* list_of(const std::vector<PyObject*>& objects) {
    PyObject* list = py::require(PyList_New(Py_ssize_t(objects.size())));
    for (std::size_t i = 0; i < objects.size(); ++i) {
        Py_INCREF(objects[i]);
        PyList_SET_ITEM(list, Py_ssize_t(i), objects[i]);
    }
    return list;
}

}  // namespace

PyObject* objects_of(const ObjectTable& table, const Bitmap& ids) {
    std::vector<PyObject*> objects;
    objects.reserve(ids.cardinality());
    ids.for_each([&](std::uint32_t id) {
        if (id < table.size() && table[id]) objects.push_back(table[id].get());
    });
    return list_of(objects);
}

PyObject* all_objects(const ObjectTable& table) {
    std::vector<PyObject*> objects;
    for (const StoredItem& item : table)
        if (item) objects.push_back(item.get());
    return list_of(objects);
}

}  // namespace corvalex::python
