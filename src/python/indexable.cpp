#include "python/indexable.hpp"

#include <new>
#include <string>

#include "binding/args.hpp"
#include "binding/compat.hpp"
#include "binding/dict.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "binding/thread_state.hpp"
#include "binding/types.hpp"
#include "index/propagation.hpp"
#include "python/snapshots.hpp"
#include "python/value_capture.hpp"

namespace corvalex::python {
namespace {

AttrMap capture_keywords(PyObject* kwargs) {
    AttrMap attrs;
    if (kwargs == nullptr) return attrs;
    attrs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(kwargs)));
    py::for_each_keyword(kwargs, [&](std::string_view name, PyObject* value) {
        attrs.set(name, capture_value(value));
    });
    return attrs;
}

PyObject* indexable_new(PyTypeObject* type, PyObject*, PyObject* kwargs) {
    return py::guarded_object([&]() -> PyObject* {
        AttrMap attrs = capture_keywords(kwargs);
        const auto id = take_next_id();
        if (!id) {
            py::raise(PyExc_OverflowError,
                      "Indexable ids exhausted: this process has already created 2**32 - 1 "
                      "indexable objects and ids are never reused");
        }
        auto* self = py::allocate<IndexableObject>(type);
        new (&self->borrow) py::BorrowFlag();
        new (&self->record) IndexableRecord{{}, std::move(attrs), *id};
        return reinterpret_cast<PyObject*>(self);
    });
}

// Attributes are captured by the constructor; this only lets subclasses
// call `super().__init__(**kwargs)` without the base complaining.
int indexable_init(PyObject*, PyObject*, PyObject*) {
    return 0;
}

int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (const auto& [name, value] : as_indexable(self)->record.attrs) Py_VISIT(value.object());
    return 0;
}

int indexable_clear(PyObject* self) {
    // Moved out first: dropping values may run arbitrary code.
    AttrMap dropped;
    std::swap(dropped, as_indexable(self)->record.attrs);
    return 0;
}

// Freeing an object may free the objects held in its attributes in turn; the
// trashcan defers the deeper ones, so a chain of any length frees without
// exhausting the stack.
void indexable_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, indexable_dealloc)
        auto* object = as_indexable(self);
        object->record.~IndexableRecord();
        object->borrow.~BorrowFlag();
        type->tp_free(self);
        Py_DECREF(type);
    Py_TRASHCAN_END
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) {
    return py::guarded_object([&]() -> PyObject* {
        if (!PyUnicode_Check(name)) return PyObject_GenericGetAttr(self, name);
        std::string_view text;
        try {
            text = py::utf8(name);
        } catch (const py::PythonError&) {
            PyErr_Clear();
            py::raise(PyExc_AttributeError, "Invalid attribute name");
        }
        auto* object = as_indexable(self);
        {
            auto borrow = py::SharedBorrow::acquire(object->borrow);
            if (const PyValue* value = object->record.attrs.find(text)) {
                return py::Ref::new_reference(value->object()).release();
            }
        }
        PyObject* found = PyObject_GenericGetAttr(self, name);
        if (found == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetObject(PyExc_AttributeError, name);
        }
        return found;
    });
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return py::guarded_status([&]() -> int {
        if (value == nullptr) py::raise(PyExc_AttributeError, "can't delete attribute");
        auto* object = as_indexable(self);
        auto borrow = py::ExclusiveBorrow::acquire(object->borrow);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                         Py_TYPE(name)->tp_name);
            py::throw_python_error();
        }
        const std::string_view text = py::utf8(name);
        PyValue captured = capture_value(value);
        if (!object->record.meta.empty() && is_public_name(text)) {
            // Snapshots of an indexable new value are read now; the object
            // itself is ours to read, since we hold it exclusively.
            SnapshotBuilder snapshots;
            Expansions expansions;
            const py::Ref held = py::Ref::new_reference(self);
            if (captured.kind() == CastKind::Ind) {
                snapshots.read_held({&held, 1});
                AttrMap assigned;
                assigned.set(text, captured);
                expansions = snapshots.expansions_for(assigned);
            }
            py::without_thread_state(
                [&] { propagate_attribute_write(object->record, text, captured, &expansions); });
        }
        object->record.attrs.set(text, std::move(captured));
        return 0;
    });
}

PyObject* indexable_repr(PyObject* self) {
    return py::guarded_object([&]() -> PyObject* {
        auto* object = as_indexable(self);
        auto borrow = py::SharedBorrow::acquire(object->borrow);
        // The system's fixed text form, whatever the class is called.
        return PyUnicode_FromFormat("<MyClass with %zu attributes>", object->record.attrs.size());
    });
}

PyObject* indexable_dir(PyObject* self, PyObject*) {
    return py::guarded_object([&]() -> PyObject* {
        auto* object = as_indexable(self);
        py::Ref result;
        {
            auto borrow = py::SharedBorrow::acquire(object->borrow);
            result = py::Ref::steal(py::require(PyList_New(0)));
            for (const auto& [name, value] : object->record.attrs) {
                py::Ref text = py::Ref::steal(
                    py::require(PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()))));
                py::require(PyList_Append(result.get(), text.get()));
            }
        }
        py::Ref object_dir = py::Ref::steal(py::require(PyObject_CallMethod(
            reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__dir__", "O", self)));
        if (!PyList_Check(object_dir.get())) {
            py::Ref type_name =
                py::Ref::steal(py::require(PyType_GetName(Py_TYPE(object_dir.get()))));
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyList'",
                         type_name.get());
            py::throw_python_error();
        }
        py::CriticalSection section(object_dir.get());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object_dir.get()); ++i)
            py::require(PyList_Append(result.get(), PyList_GET_ITEM(object_dir.get(), i)));
        return result.release();
    });
}

PyMethodDef indexable_methods[] = {
    {"__dir__", indexable_dir, METH_NOARGS, "__dir__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot indexable_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(indexable_new)},
    {Py_tp_init, reinterpret_cast<void*>(indexable_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(indexable_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(indexable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
    {Py_tp_methods, indexable_methods},
    {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec indexable_spec = {
    "Corvalex.Indexable",
    sizeof(IndexableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    indexable_slots,
};

}  // namespace

PyTypeObject* indexable_type() {
    static PyTypeObject* type = [] {
        PyTypeObject* created = py::create_type(indexable_spec, "Indexable");
        INDEXABLE_TYPE.store(created, std::memory_order_release);
        return created;
    }();
    return type;
}

}  // namespace corvalex::python
