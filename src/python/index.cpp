#include "python/index.hpp"

#include <new>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "binding/thread_state.hpp"
#include "binding/types.hpp"
#include "core/keyword_lookup.hpp"
#include "python/derived_methods.hpp"
#include "python/filtered_index.hpp"
#include "python/indexable.hpp"
#include "python/object_list.hpp"
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

void index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_index(self)->core.~shared_ptr<IndexAPI>();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* index_collect(PyObject* self, PyObject*) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = as_index(self);
        auto borrow = py::SharedBorrow::acquire(index->borrow);
        auto items = index->core->items->read();
        return all_objects(*items);
    });
}

PyObject* index_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = as_index(self);
        auto borrow = py::SharedBorrow::acquire(index->borrow);
        py::keywords_only("Index.reduced", nargs);
        const HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
        FilteredView view = py::without_thread_state([&] {
            auto table = index->core->index->read();
            return FilteredView{index->core->index, index->core->items,
                                filter_index_by_hashes(*table, query)};
        });
        return wrap_view(std::move(view));
    });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = as_index(self);
        auto borrow = py::SharedBorrow::acquire(index->borrow);
        py::keywords_only("Index.get_by_attribute", nargs);
        const HashQuery query = kwargs_to_hash_query(args + nargs, kwnames);
        const IdList ids = matching_ids(*index->core->index->read(), query);
        return objects_of(*index->core->items->read(), ids);
    });
}

// The items of `objs`, which must be a non-str sequence of Indexable objects.
std::vector<py::Ref> indexable_items(PyObject* objs) {
    if (PyUnicode_Check(objs))
        py::raise(PyExc_TypeError, "argument 'objs': Can't extract `str` to `Vec`");
    if (!PySequence_Check(objs)) py::raise_conversion_error("objs", objs, "Sequence");
    std::vector<py::Ref> items;
    const Py_ssize_t size_hint = PySequence_Size(objs);
    if (size_hint < 0)
        PyErr_Clear();
    else
        items.reserve(static_cast<std::size_t>(size_hint));
    py::Ref iterator = py::Ref::steal(PyObject_GetIter(objs));
    if (!iterator) py::reraise_for_argument("objs");
    while (py::Ref item = py::Ref::steal(PyIter_Next(iterator.get()))) {
        if (!is_indexable(item.get())) py::raise_conversion_error("objs", item.get(), "Indexable");
        items.push_back(std::move(item));
    }
    if (PyErr_Occurred()) py::throw_python_error();
    return items;
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        auto* index = as_index(self);
        auto borrow = py::ExclusiveBorrow::acquire(index->borrow);
        PyObject* objs = nullptr;
        py::parse_arguments("Index.add_object_many", {"objs"}, args, nargs, kwnames, {&objs, 1});
        const std::vector<py::Ref> items = indexable_items(objs);

        // Snapshots of indexable attribute values first, while every object
        // can still be read; then exclusive access to each batch member.
        SnapshotBuilder snapshots;
        std::vector<Expansions> expansions;
        expansions.reserve(items.size());
        for (const py::Ref& item : items) {
            auto* object = as_indexable(item.get());
            auto shared = py::SharedBorrow::acquire(object->borrow);
            expansions.push_back(snapshots.expansions_for(object->record.attrs));
        }
        std::vector<py::ExclusiveBorrow> exclusive;
        std::vector<BatchObject> batch;
        exclusive.reserve(items.size());
        batch.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            auto* object = as_indexable(items[i].get());
            exclusive.push_back(py::ExclusiveBorrow::acquire(object->borrow));
            batch.push_back({&object->record, expansions[i].empty() ? nullptr : &expansions[i]});
        }

        std::shared_ptr<IndexAPI>& core = index->core;
        py::without_thread_state([&] { core->add_object_many(batch); });

        const IndexMeta weak = core;
        auto table = core->items->write();
        for (std::size_t i = 0; i < items.size(); ++i) {
            auto* object = as_indexable(items[i].get());
            add_index(object->record.meta, weak);
            exclusive[i].reset();
            table->store_owned(object->record.id, py::Ref::borrow(items[i].get()).release());
        }
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

        AttrMap attrs;
        SnapshotBuilder snapshots;
        Expansions expansions;
        std::uint32_t id = 0;
        {
            auto shared = py::SharedBorrow::acquire(object->borrow);
            for (const auto& [name, value] : object->record.attrs)
                if (is_public_name(name)) attrs.set(name, value);
            id = object->record.id;
        }
        expansions = snapshots.expansions_for(attrs);
        StoredItem item = StoredItem::from_borrowed(py_ref);

        std::shared_ptr<IndexAPI>& core = index->core;
        py::without_thread_state(
            [&] { core->add_object(id, std::move(item), attrs, &expansions); });

        auto exclusive = py::ExclusiveBorrow::acquire(object->borrow);
        add_index(object->record.meta, core);
        Py_RETURN_NONE;
    });
}

template <auto Method>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

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
    {"union_with", fastcall<index_union_with>(), METH_FASTCALL | METH_KEYWORDS,
     "union_with($self, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, index_methods},
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "Corvalex.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT, index_slots,
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
    return reinterpret_cast<PyObject*>(object);
}

}  // namespace corvalex::python
