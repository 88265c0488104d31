#include "python/object_list.hpp"

#include <vector>

#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace corvalex::python {
namespace {

// Fills `list` (allocated with room for every id) with the objects of `ids`.
// Results are scattered over memory, so each id goes through three stages a
// few ids apart: its table slot is found and prefetched, then its object is
// read and the object's header prefetched, then the object enters the list.
// Takes new references only.
void fill_list(PyObject* list, const ObjectTable& table, std::span<const std::uint32_t> ids) {
    constexpr std::size_t kAhead = 8;  // ids between two stages
    ObjectTable::Cursor cursor(table);
    PyObject* const* slots[kAhead] = {};
    PyObject* objects[kAhead] = {};
    const std::size_t count = ids.size();
    Py_ssize_t filled = 0;
    for (std::size_t i = 0; i < count + 2 * kAhead; ++i) {
        // Each stage reads its ring entry before the stage before it refills it.
        if (i >= 2 * kAhead) {
            if (PyObject* object = objects[(i - 2 * kAhead) % kAhead]) {
                Py_INCREF(object);
                PyList_SET_ITEM(list, filled++, object);
            }
        }
        if (i >= kAhead && i - kAhead < count) {
            PyObject* const* slot = slots[(i - kAhead) % kAhead];
            PyObject* object = *slot;
            if (object != nullptr) __builtin_prefetch(object, 1);
            objects[(i - kAhead) % kAhead] = object;
        }
        if (i < count) {
            PyObject* const* slot = cursor.slot(ids[i]);
            __builtin_prefetch(slot);
            slots[i % kAhead] = slot;
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
    fill_list(list.get(), *table, id_list);
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
