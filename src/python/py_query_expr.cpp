#include "python/py_query_expr.hpp"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "binding/types.hpp"
#include "python/value_capture.hpp"
#include "python/value_text.hpp"

namespace corvalex::python {
namespace {

QueryExprObject* as_query(PyObject* self) {
    return reinterpret_cast<QueryExprObject*>(self);
}

PyObject* wrap(QueryExpr expr) {
    auto* object = py::allocate<QueryExprObject>(query_expr_type());
    new (&object->expr) QueryExpr(std::move(expr));
    return reinterpret_cast<PyObject*>(object);
}

// A str (or subclass) that can be encoded as UTF-8; anything else is a
// TypeError for the argument.
std::string attr_argument(PyObject* attr) {
    // "PyString" is the system's fixed name for the expected type here.
    if (!PyUnicode_Check(attr)) py::raise_conversion_error("attr", attr, "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(attr, &size);
    if (text == nullptr) {
        const py::FetchedError error = py::FetchedError::fetch();
        py::Ref message = py::Ref::steal(error.value ? PyObject_Str(error.value.get()) : nullptr);
        if (!message) py::throw_python_error();
        PyErr_Format(PyExc_TypeError, "argument 'attr': %U", message.get());
        py::throw_python_error();
    }
    return std::string(text, static_cast<std::size_t>(size));
}

std::vector<PyValue> capture_sequence(PyObject* values) {
    std::vector<PyValue> captured;
    captured.reserve(py::sequence_size_hint("values", values));
    // Errors raised by the sequence itself or by capturing an item (an int
    // beyond 64 bits, say) propagate unchanged.
    py::Ref iterator = py::Ref::steal(py::require(PyObject_GetIter(values)));
    while (py::Ref item = py::Ref::steal(PyIter_Next(iterator.get())))
        captured.push_back(capture_value(item.get()));
    if (PyErr_Occurred()) py::throw_python_error();
    return captured;
}

constexpr const char* method_name(QueryKind kind) {
    switch (kind) {
        case QueryKind::Eq:
            return "PyQueryExpr.eq";
        case QueryKind::Ne:
            return "PyQueryExpr.ne";
        case QueryKind::Gt:
            return "PyQueryExpr.gt";
        case QueryKind::Ge:
            return "PyQueryExpr.ge";
        case QueryKind::Lt:
            return "PyQueryExpr.lt";
        case QueryKind::Le:
            return "PyQueryExpr.le";
        case QueryKind::Bt:
            return "PyQueryExpr.bt";
        case QueryKind::In:
            return "PyQueryExpr.in_";
        case QueryKind::Not:
            return "PyQueryExpr.not_";
        case QueryKind::And:
            return "PyQueryExpr.and_";
        case QueryKind::Or:
            return "PyQueryExpr.or_";
    }
    return "PyQueryExpr";
}

template <QueryKind Kind>
PyObject* compare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        PyObject* parsed[2] = {};
        py::parse_arguments(method_name(Kind), {"attr", "value"}, args, nargs, kwnames, parsed);
        std::string attr = attr_argument(parsed[0]);
        PyValue value = capture_value(parsed[1]);
        return wrap(QueryExpr::compare(Kind, std::move(attr), std::move(value)));
    });
}

PyObject* between(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        PyObject* parsed[3] = {};
        py::parse_arguments(method_name(QueryKind::Bt), {"attr", "lower", "upper"}, args, nargs,
                            kwnames, parsed);
        std::string attr = attr_argument(parsed[0]);
        PyValue lower = capture_value(parsed[1]);
        PyValue upper = capture_value(parsed[2]);
        return wrap(QueryExpr::between(std::move(attr), std::move(lower), std::move(upper)));
    });
}

PyObject* one_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        PyObject* parsed[2] = {};
        py::parse_arguments(method_name(QueryKind::In), {"attr", "values"}, args, nargs, kwnames,
                            parsed);
        std::string attr = attr_argument(parsed[0]);
        return wrap(QueryExpr::one_of(std::move(attr), capture_sequence(parsed[1])));
    });
}

PyObject* negation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        PyObject* exprs = nullptr;
        py::parse_arguments(method_name(QueryKind::Not), {"exprs"}, args, nargs, kwnames,
                            {&exprs, 1});
        return wrap(QueryExpr::negation(query_argument("exprs", exprs)));
    });
}

// and_(*exprs) and or_(*exprs): positional arguments only, any number.
template <QueryKind Kind>
PyObject* combination(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded_object([&]() -> PyObject* {
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         method_name(Kind), PyTuple_GET_ITEM(kwnames, 0));
            py::throw_python_error();
        }
        std::vector<QueryExpr> operands;
        operands.reserve(static_cast<std::size_t>(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i) operands.push_back(query_argument("exprs", args[i]));
        return wrap(Kind == QueryKind::And ? QueryExpr::all_of(std::move(operands))
                                           : QueryExpr::any_of(std::move(operands)));
    });
}

void query_expr_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_query(self)->expr.~QueryExpr();
    type->tp_free(self);
    Py_DECREF(type);
}

// Trees are immutable and built bottom-up, so a cycle always runs through a
// captured value that is itself a container; that container's own clear
// breaks it. Hence no tp_clear here.
int query_expr_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return as_query(self)->expr.visit_owned_values([&](PyObject* value) {
        Py_VISIT(value);
        return 0;
    });
}

PyObject* query_expr_repr(PyObject* self) {
    return py::guarded_object([&]() -> PyObject* {
        const std::string text = "<QueryExpr: " + query_debug_text(as_query(self)->expr) + ">";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

using py::fastcall;

constexpr int kStaticFastcall = METH_STATIC | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef query_expr_methods[] = {
    {"eq", fastcall<compare<QueryKind::Eq>>(), kStaticFastcall, "eq(attr, value)\n--\n\n"},
    {"ne", fastcall<compare<QueryKind::Ne>>(), kStaticFastcall, "ne(attr, value)\n--\n\n"},
    {"gt", fastcall<compare<QueryKind::Gt>>(), kStaticFastcall, "gt(attr, value)\n--\n\n"},
    {"ge", fastcall<compare<QueryKind::Ge>>(), kStaticFastcall, "ge(attr, value)\n--\n\n"},
    {"le", fastcall<compare<QueryKind::Le>>(), kStaticFastcall, "le(attr, value)\n--\n\n"},
    {"bt", fastcall<between>(), kStaticFastcall, "bt(attr, lower, upper)\n--\n\n"},
    {"lt", fastcall<compare<QueryKind::Lt>>(), kStaticFastcall, "lt(attr, value)\n--\n\n"},
    {"in_", fastcall<one_of>(), kStaticFastcall, "in_(attr, values)\n--\n\n"},
    {"and_", fastcall<combination<QueryKind::And>>(), kStaticFastcall, "and_(*exprs)\n--\n\n"},
    {"or_", fastcall<combination<QueryKind::Or>>(), kStaticFastcall, "or_(*exprs)\n--\n\n"},
    {"not_", fastcall<negation>(), kStaticFastcall, "not_(exprs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot query_expr_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(py::no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(query_expr_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(query_expr_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(query_expr_repr)},
    {Py_tp_methods, query_expr_methods},
    {0, nullptr},
};

PyType_Spec query_expr_spec = {
    "Corvalex.PyQueryExpr", sizeof(QueryExprObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    query_expr_slots,
};

}  // namespace

PyTypeObject* query_expr_type() {
    static PyTypeObject* type = py::create_type(query_expr_spec, "PyQueryExpr");
    return type;
}

QueryExpr query_argument(const char* argument, PyObject* object) {
    if (!PyObject_TypeCheck(object, query_expr_type()))
        py::raise_conversion_error(argument, object, "PyQueryExpr");
    return as_query(object)->expr;
}

}  // namespace corvalex::python
