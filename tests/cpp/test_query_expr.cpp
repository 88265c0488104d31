// Query trees: sharing, dropping and printing at any depth, and the values a
// garbage-collector traversal may count.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/deferred_release.hpp"
#include "binding/ref.hpp"
#include "index/query_expr.hpp"
#include "python/value_capture.hpp"
#include "python/value_text.hpp"

namespace corvalex {
namespace {

PyValue value_of(PyObject* object) {
    return capture_value(object);
}

PyValue int_value(long number) {
    py::Ref object = py::Ref::steal(PyLong_FromLong(number));
    return value_of(object.get());
}

std::vector<PyObject*> owned_values(const QueryExpr& expr) {
    std::vector<PyObject*> seen;
    expr.visit_owned_values([&](PyObject* object) {
        seen.push_back(object);
        return 0;
    });
    return seen;
}

TEST(QueryExpr, TextFormShowsEveryVariantAndItsFields) {
    std::vector<PyValue> listed;
    listed.push_back(int_value(1));
    listed.push_back(int_value(1));
    const QueryExpr tree = QueryExpr::negation(
        QueryExpr::all_of({QueryExpr::compare(QueryKind::Le, "a.b", int_value(2)),
                           QueryExpr::one_of("q\"", std::move(listed)), QueryExpr::any_of({}),
                           QueryExpr::between("", int_value(-1), int_value(3))}));
    std::string text = query_debug_text(tree);
    // Addresses vary; compare the structure.
    std::string stripped;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "0x") == 0) {
            stripped += '@';
            i += 2;
            while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) ++i;
            --i;
        } else {
            stripped += text[i];
        }
    }
    auto value = [](const char* cast, const char* hash) {
        return std::string("PyValue { obj: Py(@), primitave: ") + cast + ", hash: " + hash + " }";
    };
    EXPECT_EQ(stripped, "Not(And([Le(\"a.b\", " + value("Int(2)", "2") + "), In(\"q\\\"\", [" +
                            value("Int(1)", "1") + ", " + value("Int(1)", "1") +
                            "]), Or([]), Bt(\"\", " + value("Int(-1)", "18446744073709551614") +
                            ", " + value("Int(3)", "3") + ")]))");
}

TEST(QueryExpr, CopiesShareNodesAndEveryLevelIsFreed) {
    py::Ref object = py::Ref::steal(PyUnicode_FromString("shared value"));
    const Py_ssize_t before = Py_REFCNT(object.get());
    {
        QueryExpr leaf = QueryExpr::compare(QueryKind::Eq, "a", value_of(object.get()));
        EXPECT_EQ(Py_REFCNT(object.get()), before + 1);
        QueryExpr both = QueryExpr::all_of({leaf, leaf, QueryExpr::negation(leaf)});
        EXPECT_EQ(Py_REFCNT(object.get()), before + 1);  // one captured value, shared
        EXPECT_EQ(&both.operands()[0].values()[0], &both.operands()[2].operands()[0].values()[0]);
    }
    EXPECT_EQ(Py_REFCNT(object.get()), before);
}

TEST(QueryExpr, VeryDeepTreesAreBuiltPrintedAndDroppedWithoutRecursion) {
    constexpr int kDepth = 1'000'000;
    py::Ref object = py::Ref::steal(PyLong_FromLong(123456789));
    const Py_ssize_t before = Py_REFCNT(object.get());
    {
        QueryExpr chain = QueryExpr::compare(QueryKind::Eq, "a", value_of(object.get()));
        for (int i = 0; i < kDepth; ++i)
            chain = (i % 3 == 0) ? QueryExpr::negation(std::move(chain))
                                 : QueryExpr::all_of({std::move(chain), QueryExpr::any_of({})});
        const std::string text = query_debug_text(chain);
        auto count = [&](std::string_view part) {
            std::size_t found = 0;
            for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
                ++found;
            return found;
        };
        EXPECT_EQ(count("Not("), static_cast<std::size_t>((kDepth + 2) / 3));
        EXPECT_EQ(count("Or([])"), static_cast<std::size_t>(kDepth - (kDepth + 2) / 3));
        EXPECT_EQ(count("Eq(\"a\""), 1u);
        EXPECT_EQ(owned_values(chain).size(), 1u);  // a chain needs no traversal stack
    }
    EXPECT_EQ(Py_REFCNT(object.get()), before);
}

TEST(QueryExpr, TraversalCountsOnlyValuesHeldThroughUnsharedNodes) {
    py::Ref first = py::Ref::steal(PyLong_FromLong(1001));
    py::Ref second = py::Ref::steal(PyLong_FromLong(1002));
    QueryExpr own = QueryExpr::compare(QueryKind::Gt, "a", value_of(first.get()));
    QueryExpr tree = QueryExpr::negation(QueryExpr::any_of(
        {std::move(own), QueryExpr::compare(QueryKind::Lt, "b", value_of(second.get()))}));
    EXPECT_EQ(owned_values(tree), (std::vector<PyObject*>{second.get(), first.get()}));

    QueryExpr copy = tree;  // a second holder: neither may count the values
    EXPECT_TRUE(owned_values(tree).empty());
    EXPECT_TRUE(owned_values(copy).empty());

    QueryExpr shared_leaf = QueryExpr::compare(QueryKind::Eq, "c", value_of(first.get()));
    QueryExpr outer = QueryExpr::all_of(
        {shared_leaf, QueryExpr::compare(QueryKind::Eq, "d", value_of(second.get()))});
    EXPECT_EQ(owned_values(outer), (std::vector<PyObject*>{second.get()}));

    // Each level leaves a value pending: the walk's fixed bookkeeping runs
    // out and the rest is skipped, which only keeps those values alive.
    QueryExpr wide = QueryExpr::compare(QueryKind::Eq, "e", value_of(first.get()));
    for (int i = 0; i < 1000; ++i)
        wide = QueryExpr::all_of(
            {QueryExpr::compare(QueryKind::Eq, "e", value_of(second.get())), std::move(wide)});
    const std::size_t visited = owned_values(wide).size();
    EXPECT_GT(visited, 60u);
    EXPECT_LT(visited, 1001u);
}

TEST(QueryExpr, DroppedWithoutAThreadStateReleasesValuesLater) {
    py::Ref object = py::Ref::steal(PyUnicode_FromString("released later"));
    const Py_ssize_t before = Py_REFCNT(object.get());
    QueryExpr tree =
        QueryExpr::negation(QueryExpr::compare(QueryKind::Eq, "a", value_of(object.get())));
    QueryExpr copy = tree;
    { QueryExpr dropped = std::move(tree); }
    PyThreadState* saved = PyEval_SaveThread();
    { QueryExpr last = std::move(copy); }
    PyEval_RestoreThread(saved);
    EXPECT_EQ(Py_REFCNT(object.get()), before + 1);
    py::drain_deferred_releases();
    EXPECT_EQ(Py_REFCNT(object.get()), before);
}

}  // namespace
}  // namespace corvalex
