// What the Python tests cannot reach: failing allocations, steps that must
// not allocate while they unwind, a lock failed by an internal error,
// references dropped on a thread without a thread state, the end of the id
// space and names shared between objects.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include "allocation_hooks.hpp"
#include "base/panic.hpp"
#include "binding/deferred_release.hpp"
#include "binding/ref.hpp"
#include "index/attr_map.hpp"
#include "index/indexable_record.hpp"
#include "index/object_snapshot.hpp"
#include "index/query_expr.hpp"
#include "index/rw_lock.hpp"
#include "index/value.hpp"
#include "python/value_capture.hpp"

namespace corvalex {
namespace {

using testing::allocations_on_this_thread;
using testing::FailingAllocations;

TEST(SharedRef, AFailedAllocationTakesNoReference) {
    py::Ref object = py::Ref::steal(PyList_New(0));
    const Py_ssize_t before = Py_REFCNT(object.get());
    {
        FailingAllocations failing;
        EXPECT_THROW(py::SharedRef::from_borrowed(object.get()), std::bad_alloc);
    }
    EXPECT_EQ(Py_REFCNT(object.get()), before);
    {
        py::SharedRef shared = py::SharedRef::from_borrowed(object.get());
        EXPECT_EQ(Py_REFCNT(object.get()), before + 1);
    }
    EXPECT_EQ(Py_REFCNT(object.get()), before);
}

// Leaving a step runs in a destructor, where a throwing allocation would end
// the process; a step cut short by a cycle, or never entered or left by an
// exception, is not remembered as done.
TEST(NestingPath, RemembersCompleteStepsAndLeavesWithoutAllocating) {
    NestedInsertions done;
    NestingPath path(1, done);
    ObjectSnapshot complete, cut, failed;
    complete.id = 2;
    cut.id = 3;
    failed.id = 4;
    std::optional<NestingPath::Step> step;
    step.emplace(path, nullptr, &complete);
    std::size_t before = allocations_on_this_thread();
    step.reset();
    EXPECT_EQ(allocations_on_this_thread(), before);
    EXPECT_TRUE(path.already_done(nullptr, &complete));

    step.emplace(path, nullptr, &cut);
    EXPECT_TRUE(path.may_expand(1));   // the root is entered once more
    EXPECT_FALSE(path.may_expand(3));  // closes a cycle
    before = allocations_on_this_thread();
    step.reset();
    EXPECT_EQ(allocations_on_this_thread(), before);
    EXPECT_FALSE(path.already_done(nullptr, &cut));
    {
        FailingAllocations failing;
        EXPECT_THROW(NestingPath::Step(path, nullptr, &failed), std::bad_alloc);
    }
    try {
        NestingPath::Step unwound(path, nullptr, &failed);
        throw std::runtime_error("insertion failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(path.already_done(nullptr, &failed));
    EXPECT_EQ(path.depth(), 1u);
}

TEST(NestingPath, StopsAtCyclesAndAtTheDepthLimit) {
    NestedInsertions done;
    NestingPath path(1, done);
    std::vector<ObjectSnapshot> snapshots(kMaxNestingDepth + 2);
    std::vector<std::unique_ptr<NestingPath::Step>> steps;
    for (std::uint32_t id = 2; id <= kMaxNestingDepth + 1; ++id) {
        ASSERT_TRUE(path.may_expand(id)) << id;
        snapshots[id].id = id;
        steps.push_back(std::make_unique<NestingPath::Step>(path, nullptr, &snapshots[id]));
    }
    EXPECT_FALSE(path.may_expand(1000));
    steps.pop_back();
    EXPECT_TRUE(path.may_expand(1000));
    EXPECT_FALSE(path.may_expand(5));
}

TEST(RwLocked, AWriteUnwoundByAnInternalErrorFailsTheLockForGood) {
    RwLocked<int> locked(1);
    EXPECT_THROW(
        (void)[&] {
            auto guard = locked.read();
            panic("boom");
        }(),
        Panic);
    EXPECT_FALSE(locked.failed());  // an unwound read changed nothing
    EXPECT_THROW(
        (void)[&] {
            auto guard = locked.write();
            *guard = 3;
            panic("Missing child");
        }(),
        Panic);
    EXPECT_TRUE(locked.failed());
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            auto guard = locked.read();
            FAIL() << "read of a failed lock succeeded";
        } catch (const Panic& error) {
            EXPECT_EQ(error.message(), kPoisonedLockMessage);
        }
        EXPECT_THROW(locked.write(), Panic);
        EXPECT_FALSE(locked.try_read().has_value());
    }
}

// Values and query trees dropped on a detached thread are released by the
// next drain; copying a value there is refused.
TEST(DeferredRelease, DropsOnADetachedThreadWaitForTheNextDrain) {
    py::Ref object = py::Ref::steal(PyList_New(0));
    const Py_ssize_t before = Py_REFCNT(object.get());
    std::optional<PyValue> value(capture_value(object.get()));
    std::optional<QueryExpr> tree(
        QueryExpr::negation(QueryExpr::compare(QueryKind::Eq, "a", value->clone())));
    bool refused = false;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        PyValue copy = value->clone();
    } catch (const Panic&) {
        refused = true;
    }
    value.reset();
    tree.reset();
    PyEval_RestoreThread(saved);
    EXPECT_TRUE(refused);
    EXPECT_EQ(Py_REFCNT(object.get()), before + 2);
    py::drain_deferred_releases();
    EXPECT_EQ(Py_REFCNT(object.get()), before);
}

// A garbage-collector walk visits a value only through nodes no other tree
// shares, and gives up on very wide trees instead of growing its bookkeeping.
TEST(QueryExpr, TraversalVisitsOnlyValuesHeldThroughUnsharedNodes) {
    auto visited = [](const QueryExpr& expr) {
        std::vector<PyObject*> seen;
        expr.visit_owned_values([&](PyObject* object) {
            seen.push_back(object);
            return 0;
        });
        return seen;
    };
    py::Ref first = py::Ref::steal(PyList_New(0)), second = py::Ref::steal(PyList_New(0));
    auto eq = [](const char* attr, PyObject* object) {
        return QueryExpr::compare(QueryKind::Eq, attr, capture_value(object));
    };
    QueryExpr tree =
        QueryExpr::negation(QueryExpr::any_of({eq("a", first.get()), eq("b", second.get())}));
    EXPECT_EQ(visited(tree), (std::vector<PyObject*>{second.get(), first.get()}));
    QueryExpr copy = tree;
    EXPECT_TRUE(visited(tree).empty());
    QueryExpr shared = eq("c", first.get());
    const QueryExpr outer = QueryExpr::all_of({shared, eq("d", second.get())});
    EXPECT_EQ(visited(outer), (std::vector<PyObject*>{second.get()}));
    QueryExpr wide = eq("e", first.get());
    for (int i = 0; i < 1000; ++i)
        wide = QueryExpr::all_of({eq("e", second.get()), std::move(wide)});
    const std::size_t count = visited(wide).size();
    EXPECT_GT(count, 60u);
    EXPECT_LT(count, 1001u);
}

TEST(Ids, AreNeverReusedOnceTheIdSpaceIsSpent) {
    const std::uint64_t saved = GLOBAL_ID_COUNTER.load();
    GLOBAL_ID_COUNTER.store(UINT32_MAX - 1);
    EXPECT_EQ(take_next_id(), std::optional<std::uint32_t>(UINT32_MAX - 1));
    EXPECT_EQ(take_next_id(), std::optional<std::uint32_t>(UINT32_MAX));
    EXPECT_EQ(take_next_id(), std::nullopt);
    EXPECT_EQ(take_next_id(), std::nullopt);  // stays spent, never wraps to 0 or 1
    GLOBAL_ID_COUNTER.store(saved);
}

// Memory per object: objects assigned the same names in the same order keep
// one shape between them, which a replaced value does not leave.
TEST(AttrMap, ObjectsAssignedTheSameNamesShareOneShape) {
    py::Ref one = py::Ref::steal(PyLong_FromLong(1));
    AttrMap first, second, reversed;
    for (AttrMap* map : {&first, &second}) {
        map->set("colour", capture_value(one.get()));
        map->set("size", capture_value(one.get()));
    }
    reversed.set("size", capture_value(one.get()));
    reversed.set("colour", capture_value(one.get()));
    second.set("size", capture_value(Py_None));
    EXPECT_EQ(first.shape(), second.shape());
    EXPECT_NE(first.shape(), reversed.shape());
}

}  // namespace
}  // namespace corvalex
