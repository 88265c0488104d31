// `FilteredIndex.rebase()`: a new, independent index of the view's objects.
//
// Every object is held exclusively from the reading of its attributes until
// it is registered in the new index, so no write can slip between the two;
// one that cannot be held fails the call before anything is registered. The
// new core is reachable by no one else until it is returned, so its object
// table is filled with the thread state attached and its attribute table
// without it.
#include <memory>
#include <vector>

#include "binding/borrow.hpp"
#include "binding/errors.hpp"
#include "binding/thread_state.hpp"
#include "index/rebase.hpp"
#include "python/derived_methods.hpp"
#include "python/filtered_index.hpp"
#include "python/index.hpp"
#include "python/indexable.hpp"
#include "python/snapshots.hpp"
#include "python/stored_objects.hpp"

namespace corvalex::python {

PyObject* filtered_index_rebase(PyObject* self, PyObject*) {
    return py::guarded_object([&]() -> PyObject* {
        auto* view_object = reinterpret_cast<FilteredIndexObject*>(self);
        auto borrow = py::SharedBorrow::acquire(view_object->borrow);
        const FilteredView& view = view_object->view;

        const std::vector<py::Ref> objects = stored_objects(view.items, view.allowed);
        std::vector<py::ExclusiveBorrow> held;
        held.reserve(objects.size());
        for (const py::Ref& object : objects)
            held.push_back(py::ExclusiveBorrow::acquire(as_indexable(object.get())->borrow));

        // Every name is indexed here, `_` names included. Objects of the
        // view that are values of others cannot be borrowed again: their
        // snapshots are read from the records held.
        SnapshotBuilder snapshots;
        snapshots.read_held(objects);
        const SnapshotBuilder::Batch batch =
            snapshots.batch_of(objects, SnapshotBuilder::Names::Every);

        auto core = std::make_shared<IndexAPI>();
        core->store(batch.members);
        py::without_thread_state([&] { index_rebased_objects(*core, batch.members); });

        py::Ref rebased = py::Ref::steal(wrap_index(core));
        const IndexMeta weak = core;
        for (const py::Ref& object : objects)
            add_index(as_indexable(object.get())->record.meta, weak);
        return rebased.release();
    });
}

}  // namespace corvalex::python
