#include "python/object_list.hpp"

#include <algorithm>
#include <vector>

#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace corvalex::python {
namespace {

// Fills `list` (allocated with room for every id) with the objects of `ids`,
// taking new references only. Results are scattered over memory, so each id
// goes through stages some ids apart: its table slot is prefetched, then
// its object is read and the object's header prefetched, then the object
// enters the list. Measured: listing a tenth of a million objects took about
// a quarter less time with stages 64 ids apart than 8 apart, and a hundred
// of a hundred thousand no more.
void fill_from_flat(PyObject* list, std::span<PyObject* const> slots,
                    std::span<const std::uint32_t> ids) {
    constexpr std::size_t kAhead = 64;
    // The ids ascend, so the ones the table holds slots for are a prefix
    // (a lookup may find ids whose objects are not stored yet).
    std::size_t count = ids.size();
    if (count != 0 && ids[count - 1] >= slots.size())
        count = std::size_t(std::lower_bound(ids.begin(), ids.end(), slots.size()) - ids.begin());
    Py_ssize_t filled = 0;
    auto take = [&](std::size_t i) {
        if (PyObject* object = slots[ids[i]]) {
            Py_INCREF(object);
            PyList_SET_ITEM(list, filled++, object);
        }
    };
    // Prefetching a null slot's target is harmless: prefetches never fault.
    std::size_t i = 0;
    for (; i + 2 * kAhead < count; ++i) {
        __builtin_prefetch(&slots[ids[i + 2 * kAhead]]);
        __builtin_prefetch(slots[ids[i + kAhead]], 1);
        take(i);
    }
    for (; i + kAhead < count; ++i) {
        __builtin_prefetch(slots[ids[i + kAhead]], 1);
        take(i);
    }
    for (; i < count; ++i) take(i);
    Py_SET_SIZE(list, filled);  // the unused tail slots are null
}

// A paged table's slot is found once per id, through a cursor.
void fill_from_pages(PyObject* list, const ObjectTable& table, std::span<const std::uint32_t> ids) {
    constexpr std::size_t kAhead = 8;  // ids between two stages
    ObjectTable::Cursor cursor(table.slots());
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
    if (table->paged())
        fill_from_pages(list.get(), *table, id_list);
    else
        fill_from_flat(list.get(), table->flat_slots(), id_list);
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
