// `Index.reduce(**kwargs)`.
//
// The kept objects are found and held (shared) before anything narrows, so
// that a kept object being written elsewhere fails the call while the index
// is still whole. Their indexable values are read with the thread state
// attached, before the attribute table is locked. The narrowing itself runs
// only if the kept ids are still the ones the objects were gathered for;
// otherwise (another thread's write made more objects match meanwhile) the
// gathering is done again.
#include <vector>

#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/errors.hpp"
#include "binding/thread_state.hpp"
#include "index/keyword_lookup.hpp"
#include "index/reduction.hpp"
#include "python/derived_methods.hpp"
#include "python/index.hpp"
#include "python/indexable.hpp"
#include "python/keyword_args.hpp"
#include "python/snapshots.hpp"
#include "python/stored_objects.hpp"

namespace corvalex::python {
namespace {

constexpr int kReduceAttempts = 8;

// One attempt: false if the ids matching `query` are no longer `kept`.
bool try_reduce(IndexAPI& core, const HashQuery& query, const Bitmap& kept) {
    const std::vector<py::Ref> objects = stored_objects(core.items, kept);
    std::vector<py::SharedBorrow> held;
    held.reserve(objects.size());
    for (const py::Ref& object : objects)
        held.push_back(py::SharedBorrow::acquire(as_indexable(object.get())->borrow));

    SnapshotBuilder snapshots;
    const SnapshotBuilder::Batch batch = snapshots.batch_of(objects);
    return py::without_thread_state(
        [&] { return reduce_if_unchanged(core, query, kept, batch.members); });
}

}  // namespace

PyObject* index_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = reinterpret_cast<IndexObject*>(self);
        auto borrow = py::ExclusiveBorrow::acquire(index->borrow);
        py::keywords_only("Index.reduce", nargs);
        const HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
        IndexAPI& core = *index->core;
        for (int attempt = 0; attempt < kReduceAttempts; ++attempt) {
            const Bitmap kept = py::without_thread_state(
                [&] { return filter_index_by_hashes(*core.index->read(), query); });
            if (try_reduce(core, query, kept)) Py_RETURN_NONE;
        }
        // Other threads kept writing objects into the selection.
        py::refuse(py::Refusal::Shared);
    });
}

}  // namespace corvalex::python
