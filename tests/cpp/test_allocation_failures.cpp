// What a failed allocation leaves behind: nothing leaked, nothing half done,
// and no allocation at all where failing could only end the process.
#include <Python.h>
#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <stdexcept>

#include "allocation_hooks.hpp"
#include "binding/ref.hpp"
#include "index/object_snapshot.hpp"

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

// Leaving a step runs in a destructor, where a throwing allocation would
// end the process.
TEST(NestingPath, LeavingAStepNeverAllocates) {
    NestedInsertions done;
    NestingPath path(1, done);
    ObjectSnapshot complete, cut;
    complete.id = 2;
    cut.id = 3;

    std::optional<NestingPath::Step> step;
    step.emplace(path, nullptr, &complete);
    std::size_t before = allocations_on_this_thread();
    step.reset();
    EXPECT_EQ(allocations_on_this_thread(), before);
    EXPECT_TRUE(path.already_done(nullptr, &complete));

    step.emplace(path, nullptr, &cut);
    EXPECT_FALSE(path.may_expand(1));  // closes a cycle back to the root
    before = allocations_on_this_thread();
    step.reset();
    EXPECT_EQ(allocations_on_this_thread(), before);
    EXPECT_FALSE(path.already_done(nullptr, &cut));
}

TEST(NestingPath, AStepNeverEnteredOrLeftByAnExceptionIsNotRemembered) {
    NestedInsertions done;  // empty: remembering a step has to allocate
    NestingPath path(1, done);
    ObjectSnapshot snapshot;
    snapshot.id = 2;
    {
        FailingAllocations failing;
        EXPECT_THROW(NestingPath::Step(path, nullptr, &snapshot), std::bad_alloc);
    }
    EXPECT_FALSE(path.already_done(nullptr, &snapshot));
    EXPECT_EQ(path.depth(), 1u);
    EXPECT_TRUE(path.may_expand(2));

    try {
        NestingPath::Step step(path, nullptr, &snapshot);
        throw std::runtime_error("insertion failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(path.already_done(nullptr, &snapshot));
    EXPECT_EQ(path.depth(), 1u);
}

}  // namespace
}  // namespace corvalex
