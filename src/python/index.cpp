#include "python/index.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "binding/thread_state.hpp"
#include "binding/types.hpp"
#include "index/keyword_lookup.hpp"
#include "python/derived_methods.hpp"
#include "python/filtered_index.hpp"
#include "python/gc_support.hpp"
#include "python/indexable.hpp"
#include "python/keyword_args.hpp"
#include "python/object_list.hpp"
#include "python/query_methods.hpp"
#include "python/snapshots.hpp"

namespace corvalex::python {
namespace {

IndexObject* as_index(PyObject* self) {
    return reinterpret_cast<IndexObject*>(self);
}

PyObject* index_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded_object([&]() -> PyObject* {
        py::no_arguments("Index", args, kwargs);
        return wrap_index(std::make_shared<IndexAPI>());
    });
}

int index_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const std::shared_ptr<IndexAPI>& core = as_index(self)->core;
    if (!core) return 0;
    return visit_index_tables(core->index, core->items, core.use_count() == 1, visit, arg);
}

void index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_index(self)->keyword_maps.~KeywordMapCache();
    as_index(self)->core.~shared_ptr<IndexAPI>();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* index_collect(PyObject* self, PyObject*) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = as_index(self);
        auto borrow = py::SharedBorrow::acquire(index->borrow);
        return all_objects(*index->core->items);
    });
}

PyObject* index_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = as_index(self);
        auto borrow = py::SharedBorrow::acquire(index->borrow);
        py::keywords_only("Index.reduced", nargs);
        const HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
        const IndexAPI& core = *index->core;
        return wrap_view(py::without_thread_state([&] {
            return select_view(core.index, core.items, [&](const AttributeTable& table) {
                return filter_index_by_hashes(table, query);
            });
        }));
    });
}

// The ids of one keyword's value, the keyword's map found through the
// index's cache (`name` is the keyword's str).
IdList matching_ids(IndexObject& index, PyObject* name, const HashKeyword& keyword) {
    std::uint64_t generation = 0;
    const QueryMap* map = nullptr;
    IdList ids = [&] {
        auto table = index.core->index->read();
        generation = table.generation();
        map = index.keyword_maps.find(name, generation);
        if (map == nullptr) map = map_named(*table, keyword.name);
        return matching_ids(map, keyword.hash);
    }();
    if (map != nullptr) index.keyword_maps.remember(name, generation, map);
    return ids;
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = as_index(self);
        auto borrow = py::SharedBorrow::acquire(index->borrow);
        py::keywords_only("Index.get_by_attribute", nargs);
        const IdList ids = [&] {
            if (const auto keyword = single_hash_keyword(args + nargs, kwnames))
                return matching_ids(*index, PyTuple_GET_ITEM(kwnames, 0), *keyword);
            const HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
            return matching_ids(*index->core->index->read(), query);
        }();
        return objects_of(*index->core->items, ids);
    });
}

// The members of an `add_object_many` batch, each held exclusively from the
// moment it is taken until the batch is stored and registered, so that no
// attribute write can fall between reading an object and registering it.
struct Batch {
    std::vector<py::Ref> items;
    std::vector<py::ExclusiveBorrow> borrows;
};

// Takes the items of `objs` (a non-str sequence of Indexable objects) one by
// one; the first item that is not an Indexable or cannot be held fails the
// call, and everything taken so far is let go.
Batch take_batch(PyObject* objs) {
    const std::size_t size_hint = py::sequence_size_hint("objs", objs);
    Batch batch;
    batch.items.reserve(size_hint);
    batch.borrows.reserve(size_hint);
    py::Ref iterator = py::Ref::steal(PyObject_GetIter(objs));
    if (!iterator) py::reraise_for_argument("objs");
    while (py::Ref item = py::Ref::steal(PyIter_Next(iterator.get()))) {
        if (!is_indexable(item.get())) py::raise_conversion_error("objs", item.get(), "Indexable");
        batch.borrows.push_back(py::ExclusiveBorrow::acquire(as_indexable(item.get())->borrow));
        batch.items.push_back(std::move(item));
    }
    if (PyErr_Occurred()) py::throw_python_error();
    return batch;
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = as_index(self);
        auto borrow = py::ExclusiveBorrow::acquire(index->borrow);
        PyObject* objs = nullptr;
        py::parse_arguments("Index.add_object_many", {"objs"}, args, nargs, kwnames, {&objs, 1});
        const Batch batch = take_batch(objs);

        // Indexable attribute values are read now; batch members among them
        // are ours to read directly.
        SnapshotBuilder snapshots;
        snapshots.read_held(batch.items);
        const SnapshotBuilder::Batch members = snapshots.batch_of(batch.items);

        std::shared_ptr<IndexAPI>& core = index->core;
        py::without_thread_state([&] { core->add_object_many(members.members); });

        const IndexMeta weak = core;
        for (const py::Ref& item : batch.items)
            add_index(as_indexable(item.get())->record.meta, weak);
        core->store(members.members);
        Py_RETURN_NONE;
    });
}

PyObject* index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = as_index(self);
        auto borrow = py::ExclusiveBorrow::acquire(index->borrow);
        PyObject* py_ref = nullptr;
        py::parse_arguments("Index.add_object", {"py_ref"}, args, nargs, kwnames, {&py_ref, 1});
        if (!is_indexable(py_ref)) py::raise_conversion_error("py_ref", py_ref, "Indexable");
        auto* object = as_indexable(py_ref);

        // Held from reading the attributes until registered: a write of the
        // object either comes before (and is indexed) or after (and reaches
        // this index).
        auto exclusive = py::ExclusiveBorrow::try_acquire(object->borrow);
        if (!exclusive)
            py::refuse(object->borrow.held_exclusively() ? py::Refusal::Shared
                                                         : py::Refusal::Exclusive);
        AttrMap attrs;
        for (const auto& [name, value] : object->record.attrs)
            if (is_public_name(name)) attrs.set(name, value);
        const std::uint32_t id = object->record.id;
        const py::Ref held = py::Ref::new_reference(py_ref);
        SnapshotBuilder snapshots;
        snapshots.read_held({&held, 1});
        const Expansions expansions = snapshots.expansions_for(attrs);
        StoredItem item = StoredItem::from_borrowed(py_ref);

        std::shared_ptr<IndexAPI>& core = index->core;
        py::without_thread_state(
            [&] { core->add_object(id, std::move(item), attrs, &expansions); });
        add_index(object->record.meta, core);
        Py_RETURN_NONE;
    });
}

using py::fastcall;

PyMethodDef index_methods[] = {
    {"collect", index_collect, METH_NOARGS, "collect($self)\n--\n\n"},
    {"reduced", fastcall<index_reduced>(), METH_FASTCALL | METH_KEYWORDS,
     "reduced($self, **kwargs)\n--\n\n"},
    {"reduce", fastcall<index_reduce>(), METH_FASTCALL | METH_KEYWORDS,
     "reduce($self, **kwargs)\n--\n\n"},
    {"get_by_attribute", fastcall<index_get_by_attribute>(), METH_FASTCALL | METH_KEYWORDS,
     "get_by_attribute($self, **kwargs)\n--\n\n"},
    {"add_object_many", fastcall<index_add_object_many>(), METH_FASTCALL | METH_KEYWORDS,
     "add_object_many($self, objs)\n--\n\n"},
    {"add_object", fastcall<index_add_object>(), METH_FASTCALL | METH_KEYWORDS,
     "add_object($self, py_ref)\n--\n\n"},
    {"reduced_query", fastcall<index_reduced_query>(), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"union_with", fastcall<index_union_with>(), METH_FASTCALL | METH_KEYWORDS,
     "union_with($self, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
    {Py_tp_methods, index_methods},
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "Corvalex.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, index_slots,
};

}  // namespace

PyTypeObject* index_type() {
    static PyTypeObject* type = py::create_type(index_spec, "Index");
    return type;
}

PyObject* wrap_index(std::shared_ptr<IndexAPI> core) {
    auto* object = py::allocate<IndexObject>(index_type());
    new (&object->borrow) py::BorrowFlag();
    new (&object->core) std::shared_ptr<IndexAPI>(std::move(core));
    new (&object->keyword_maps) KeywordMapCache();
    return reinterpret_cast<PyObject*>(object);
}

}  // namespace corvalex::python
