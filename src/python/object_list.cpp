#include "python/object_list.hpp"

#include <vector>

#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace corvalex::python {
namespace {

// Fills `list` (allocated with room for `count`) from `count` candidate
// slots; `object_at(i)` gives the object of candidate i (or null) and
// `prefetch(i)` warms what it will read. Results are scattered over memory,
// so reading a few candidates ahead hides most of the cache misses of the
// table and of the objects' reference counts. Takes new references only.
template <typename ObjectAt, typename Prefetch>
void fill_list(PyObject* list, std::size_t count, ObjectAt object_at, Prefetch prefetch) {
    constexpr std::size_t kAhead = 8;
    Py_ssize_t filled = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) prefetch(i + kAhead);
        if (PyObject* object = object_at(i)) {
            Py_INCREF(object);
            PyList_SET_ITEM(list, filled++, object);
        }
    }
    Py_SET_SIZE(list, filled);  // the unused tail slots are null
}

}  // namespace

PyObject* objects_of(RwLocked<ObjectTable>& table, const Bitmap& ids) {
    return objects_of(table, ids.to_vector());
}

PyObject* objects_of(RwLocked<ObjectTable>& locked, std::span<const std::uint32_t> id_list) {
    py::Ref list = py::Ref::steal(py::require(PyList_New(Py_ssize_t(id_list.size()))));
    auto table = locked.read();
    // One cursor per position read, each following ascending ids page by page.
    ObjectTable::Cursor current(*table), ahead(*table), further(*table);
    fill_list(
        list.get(), id_list.size(), [&](std::size_t i) { return current.object(id_list[i]); },
        [&](std::size_t i) {
            if (i + 8 < id_list.size()) further.prefetch_slot(id_list[i + 8]);
            if (PyObject* object = ahead.object(id_list[i])) __builtin_prefetch(object, 1);
        });
    return list.release();
}

PyObject* all_objects(RwLocked<ObjectTable>& locked) {
    std::vector<PyObject*> objects;
    {
        auto table = locked.read();
        objects.reserve(table->count());
        table->for_each([&](std::uint32_t, PyObject* object) { objects.push_back(object); });
        for (PyObject* object : objects) Py_INCREF(object);
    }
    // From here on `objects` owns one reference to each of its objects.
    PyObject* list = PyList_New(Py_ssize_t(objects.size()));
    if (list == nullptr) {
        for (PyObject* object : objects) py::Ref::steal(object);  // drops it
        py::throw_python_error();
    }
    for (std::size_t i = 0; i < objects.size(); ++i)
        PyList_SET_ITEM(list, Py_ssize_t(i), objects[i]);
    return list;
}

}  // namespace corvalex::python
