// Query evaluation on an index core: path splitting, the universe rules,
// And's early exit, and evaluation with the thread state released.
#include <Python.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/ref.hpp"
#include "index/query_eval.hpp"
#include "python/value_capture.hpp"

namespace corvalex {
namespace {

using Ids = std::vector<std::uint32_t>;

PyValue value(const char* expression) {
    py::Ref globals = py::Ref::steal(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    py::Ref result =
        py::Ref::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
    EXPECT_TRUE(result) << expression;
    return capture_value(result.get());
}

QueryExpr cmp(QueryKind kind, const char* attr, const char* expression) {
    return QueryExpr::compare(kind, attr, value(expression));
}

TEST(AttrParts, SplitsAtTheFirstDotOnly) {
    struct Case {
        const char* attr;
        const char* head;
        std::optional<std::string_view> rest;
    };
    for (const Case& c : {Case{"a", "a", std::nullopt}, Case{"", "", std::nullopt},
                          Case{"a.b.c", "a", "b.c"}, Case{"a.", "a", ""}, Case{".a", "", "a"},
                          Case{"..", "", "."}, Case{"owner.name", "owner", "name"}}) {
        const AttrParts parts = attr_parts(c.attr);
        EXPECT_EQ(parts.head, c.head) << c.attr;
        EXPECT_EQ(parts.rest, c.rest) << c.attr;
    }
}

class QueryEvalTest : public ::testing::Test {
  protected:
    // size: 1 -> 1, 2 -> 2.0, 3 -> 3, 4 -> True, 5 -> 'big', 6 -> none
    // colour: odd ids red, even ids blue
    void SetUp() override {
        const char* sizes[] = {"1", "2.0", "3", "True", "'big'", nullptr};
        for (std::uint32_t id = 1; id <= 6; ++id) {
            AttrMap attrs;
            if (sizes[id - 1]) attrs.set("size", value(sizes[id - 1]));
            attrs.set("colour", value(id % 2 ? "'red'" : "'blue'"));
            core.add_object(id, StoredItem::from_borrowed(Py_None), attrs, nullptr);
        }
    }

    Ids eval(const QueryExpr& expr, const Ids& universe) {
        return evaluate_query(*core.index->read(), Bitmap::of(universe), expr).to_vector();
    }

    IndexAPI core;
};

TEST_F(QueryEvalTest, EachVariantUsesTheUniverseAsStated) {
    const Ids some{1, 2, 3};
    EXPECT_EQ(eval(cmp(QueryKind::Eq, "size", "1"), some), (Ids{1, 4}));  // not confined
    EXPECT_EQ(eval(cmp(QueryKind::Ne, "size", "1"), some), (Ids{2, 3}));
    EXPECT_EQ(eval(QueryExpr::one_of("size", {value("1"), value("3")}), some), (Ids{1, 3}));
    EXPECT_EQ(eval(cmp(QueryKind::Ge, "size", "1"), some), (Ids{1, 2, 3}));
    EXPECT_EQ(eval(cmp(QueryKind::Ge, "size", "1"), {3, 4, 5, 6}), (Ids{3}));
    EXPECT_EQ(eval(cmp(QueryKind::Lt, "size", "2"), {1, 2, 3, 4, 5, 6}), (Ids{1}));
    EXPECT_EQ(eval(QueryExpr::between("size", value("2"), value("3.0")), {2, 3}), (Ids{2, 3}));
    EXPECT_EQ(eval(QueryExpr::negation(cmp(QueryKind::Eq, "colour", "'red'")), some), (Ids{2}));
    EXPECT_EQ(eval(QueryExpr::all_of({}), some), some);
    EXPECT_EQ(eval(QueryExpr::any_of({}), some), Ids{});
    EXPECT_EQ(eval(QueryExpr::any_of(
                       {cmp(QueryKind::Eq, "colour", "'blue'"), cmp(QueryKind::Gt, "size", "2")}),
                   some),
              (Ids{2, 3, 4, 6}));
    EXPECT_EQ(eval(QueryExpr::all_of({cmp(QueryKind::Eq, "colour", "'blue'"),
                                      cmp(QueryKind::Eq, "size", "True")}),
                   some),
              Ids{});
    EXPECT_EQ(eval(cmp(QueryKind::Gt, "size", "True"), some), Ids{});
    EXPECT_EQ(eval(cmp(QueryKind::Gt, "size", "'a'"), some), Ids{});
    EXPECT_EQ(eval(cmp(QueryKind::Eq, "weight", "1"), some), Ids{});
    EXPECT_EQ(eval(cmp(QueryKind::Ne, "weight", "1"), some), some);
}

TEST_F(QueryEvalTest, AndStopsOnceEmptyButAlwaysEvaluatesItsFirstOperand) {
    const QueryExpr unsupported = QueryExpr::between("colour", value("'a'"), value("'z'"));
    EXPECT_THROW(eval(unsupported, {1}), QueryNotSupported);
    EXPECT_EQ(eval(QueryExpr::all_of({cmp(QueryKind::Eq, "size", "99"), unsupported}), {1, 2}),
              Ids{});
    EXPECT_THROW(eval(QueryExpr::all_of({unsupported}), {}), QueryNotSupported);
    EXPECT_THROW(eval(QueryExpr::any_of({cmp(QueryKind::Eq, "size", "99"), unsupported}), {1}),
                 QueryNotSupported);
}

TEST_F(QueryEvalTest, RunsWithoutTheThreadStateAtAnyDepth) {
    QueryExpr chain = cmp(QueryKind::Le, "size", "2");
    for (int i = 0; i < 200'000; ++i) chain = QueryExpr::negation(std::move(chain));
    QueryExpr nested = cmp(QueryKind::Eq, "colour", "'red'");
    for (int i = 0; i < 100'000; ++i) {
        nested = i % 2 ? QueryExpr::all_of({std::move(nested), QueryExpr::all_of({})})
                       : QueryExpr::any_of({QueryExpr::any_of({}), std::move(nested)});
    }
    std::optional<FilteredView> view;
    Ids chained, combined;
    PyThreadState* saved = PyEval_SaveThread();
    {
        const Bitmap universe = Bitmap::of(Ids{1, 2, 3, 4, 5, 6});
        auto table = core.index->read();
        chained = evaluate_query(*table, universe, chain).to_vector();
        combined = evaluate_query(*table, universe, nested).to_vector();
    }
    view.emplace(core.reduced_query(QueryExpr::negation(chain)));
    PyEval_RestoreThread(saved);
    EXPECT_EQ(chained, (Ids{1, 2}));
    EXPECT_EQ(combined, (Ids{1, 3, 5}));
    EXPECT_EQ(view->allowed.to_vector(), (Ids{3, 4, 5, 6}));
    EXPECT_EQ(view->index, core.index);
    EXPECT_EQ(view->items, core.items);
}

}  // namespace
}  // namespace corvalex
