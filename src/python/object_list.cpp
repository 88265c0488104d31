#include "python/object_list.hpp"

#include <vector>

#include "binding/errors.hpp"

namespace corvalex::python {
namespace {

// Fills a list from `count` candidate slots; `object_at(i)` gives the object
// of candidate i (or null) and `prefetch(i)` warms what it will read. Results
// are scattered over memory, so reading a few candidates ahead hides most of
// the cache misses of the table and of the objects' reference counts.
template <typename ObjectAt, typename Prefetch>
PyObject* fill_list(std::size_t count, ObjectAt object_at, Prefetch prefetch) {
    constexpr std::size_t kAhead = 8;
    PyObject* list = py::require(PyList_New(Py_ssize_t(count)));
    Py_ssize_t filled = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) prefetch(i + kAhead);
        if (PyObject* object = object_at(i)) {
            Py_INCREF(object);
            PyList_SET_ITEM(list, filled++, object);
        }
    }
    Py_SET_SIZE(list, filled);  // the unused tail slots are null
    return list;
}

}  // namespace

PyObject* objects_of(const ObjectTable& table, const Bitmap& ids) {
    return objects_of(table, ids.to_vector());
}

PyObject* objects_of(const ObjectTable& table, std::span<const std::uint32_t> id_list) {
    return fill_list(
        id_list.size(), [&](std::size_t i) { return table.object(id_list[i]); },
        [&](std::size_t i) {
            if (i + 8 < id_list.size()) table.prefetch_slot(id_list[i + 8]);
            if (PyObject* ahead = table.object(id_list[i])) __builtin_prefetch(ahead, 1);
        });
}

PyObject* all_objects(const ObjectTable& table) {
    const auto& objects = table.objects();
    std::size_t stored = 0;
    for (PyObject* object : objects) stored += object != nullptr;
    PyObject* list = py::require(PyList_New(Py_ssize_t(stored)));
    Py_ssize_t filled = 0;
    for (PyObject* object : objects) {
        if (object == nullptr) continue;
        Py_INCREF(object);
        PyList_SET_ITEM(list, filled++, object);
    }
    return list;
}

}  // namespace corvalex::python
