// The paged object table: lookups across sparse and dense pages, ascending
// listing, references released on re-store and on destruction, and memory
// that follows the objects held rather than the highest id.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "binding/ref.hpp"
#include "index/object_table.hpp"

namespace corvalex {
namespace {

using Ids = std::vector<std::uint32_t>;

py::Ref fresh_object() {
    return py::Ref::steal(PyList_New(0));
}

Ids listed_ids(const ObjectTable& table) {
    Ids ids;
    table.for_each([&](std::uint32_t id, PyObject*) { ids.push_back(id); });
    return ids;
}

TEST(ObjectTable, LooksUpAndListsIdsAcrossSparseAndDensePages) {
    // Page 0 turns dense, page 1 stays sparse, and ids reach a second chunk
    // and the very top of the id range; stored in shuffled order.
    Ids ids;
    for (std::uint32_t id = 0; id < 3 * ObjectTable::kSparseLimit; id += 2) ids.push_back(id);
    for (std::uint32_t id = ObjectTable::kPageSlots; id < ObjectTable::kPageSlots + 40; id += 3)
        ids.push_back(id);
    for (std::uint32_t id : {1u << 20, (1u << 20) + 1, 4'000'000'000u, 0xffffffffu})
        ids.push_back(id);
    std::mt19937 random(7);
    std::shuffle(ids.begin(), ids.end(), random);

    py::Ref object = fresh_object();
    const Py_ssize_t base = Py_REFCNT(object.get());
    std::map<std::uint32_t, bool> stored;
    {
        ObjectTable table;
        for (std::uint32_t id : ids) {
            table.store_owned(id, Py_NewRef(object.get()));
            stored[id] = true;
        }
        EXPECT_EQ(table.count(), ids.size());
        EXPECT_EQ(Py_REFCNT(object.get()), base + Py_ssize_t(ids.size()));

        Ids ascending = ids;
        std::sort(ascending.begin(), ascending.end());
        EXPECT_EQ(listed_ids(table), ascending);

        ObjectTable::Cursor cursor(table.slots());
        for (std::uint32_t id : ascending) {
            EXPECT_EQ(table.object(id), object.get()) << id;
            EXPECT_EQ(cursor.object(id), object.get()) << id;
        }
        ObjectTable::Cursor backwards(table.slots()), every_id(table.slots());
        for (auto id = ascending.rbegin(); id != ascending.rend(); ++id)
            EXPECT_EQ(backwards.object(*id), object.get()) << *id;
        for (std::uint32_t id = 0; id < 2 * ObjectTable::kPageSlots; ++id)
            EXPECT_EQ(every_id.object(id), stored.contains(id) ? object.get() : nullptr) << id;
        for (std::uint32_t id : {1u, 3u, 4095u, 4097u, 4096u + 41u, 8192u, 1u << 21, 0xfffffffeu}) {
            EXPECT_EQ(table.object(id), nullptr) << id;
            EXPECT_EQ(cursor.object(id), nullptr) << id;  // jumps back and forth between pages
        }
    }
    EXPECT_EQ(Py_REFCNT(object.get()), base);  // the table released every reference
}

TEST(ObjectTable, RestoringAnIdReleasesTheObjectItHeld) {
    for (std::uint32_t filler : {0u, 2 * std::uint32_t(ObjectTable::kSparseLimit)}) {
        ObjectTable table;
        for (std::uint32_t id = 1; id <= filler; ++id)
            table.store_owned(id + 10'000, Py_NewRef(Py_None));
        py::Ref first = fresh_object(), second = fresh_object();
        const Py_ssize_t base = Py_REFCNT(first.get());
        table.store_owned(10'000, Py_NewRef(first.get()));
        table.store_owned(10'000, Py_NewRef(second.get()));
        EXPECT_EQ(Py_REFCNT(first.get()), base) << filler;
        EXPECT_EQ(table.object(10'000), second.get());
        EXPECT_EQ(table.count(), filler + 1);

        // A shared handle owns the reference; re-storing drops the handle.
        StoredItem shared = StoredItem::from_borrowed(first.get());
        table.store(10'000, shared);
        EXPECT_EQ(Py_REFCNT(second.get()), base);
        table.store(10'000, StoredItem::from_borrowed(second.get()));
        EXPECT_TRUE(shared.unique());
        EXPECT_EQ(table.count(), filler + 1);
    }
}

TEST(ObjectTable, VisitOwnedSkipsHandlesHeldElsewhereAndStops) {
    ObjectTable table;
    py::Ref a = fresh_object(), b = fresh_object(), c = fresh_object();
    StoredItem held_elsewhere = StoredItem::from_borrowed(b.get());
    table.store(3, StoredItem::from_borrowed(a.get()));  // unique: the slot owns it
    table.store(5'000'000, held_elsewhere);
    table.store(9, StoredItem::from_borrowed(c.get()));
    std::vector<PyObject*> seen;
    EXPECT_EQ(table.visit_owned([&](PyObject* object) {
        seen.push_back(object);
        return 0;
    }),
              0);
    EXPECT_EQ(seen, (std::vector<PyObject*>{a.get(), c.get()}));
    seen.clear();
    EXPECT_EQ(table.visit_owned([&](PyObject* object) {
        seen.push_back(object);
        return 4;
    }),
              4);
    EXPECT_EQ(seen.size(), 1u);
}

TEST(ObjectTable, TurnsPagedForAFarIdAndFlatAgainWhenFilled) {
    ObjectTable table;
    py::Ref object = fresh_object();
    const Py_ssize_t base = Py_REFCNT(object.get());
    auto expect_holds = [&](const Ids& ids) {
        EXPECT_EQ(listed_ids(table), ids);
        ObjectTable::Cursor cursor(table.slots());
        for (std::uint32_t id : ids) {
            EXPECT_EQ(table.object(id), object.get()) << id;
            EXPECT_EQ(cursor.object(id), object.get()) << id;
        }
        EXPECT_EQ(table.object(ids.back() + 1), nullptr);
        EXPECT_EQ(Py_REFCNT(object.get()), base + Py_ssize_t(ids.size()));
    };
    Ids ids;
    for (std::uint32_t id = 0; id < 10; ++id) {
        table.store_owned(id, Py_NewRef(object.get()));
        ids.push_back(id);
    }
    EXPECT_FALSE(table.paged());
    expect_holds(ids);

    table.store_owned(1'000'000, Py_NewRef(object.get()));
    ids.push_back(1'000'000);
    EXPECT_TRUE(table.paged());
    expect_holds(ids);

    ids.pop_back();
    for (std::uint32_t id = 10; id < 16'000; ++id) {
        table.store_owned(id, Py_NewRef(object.get()));
        ids.push_back(id);
    }
    ids.push_back(1'000'000);
    EXPECT_FALSE(table.paged());  // 16,000 objects fill a million ids densely enough
    expect_holds(ids);
}

TEST(ObjectTable, MemoryFollowsTheObjectsHeldNotTheHighestId) {
    ObjectTable lone;
    lone.store_owned(3'000'000, Py_NewRef(Py_None));
    EXPECT_LT(lone.footprint(), 4'096u);

    ObjectTable high;  // a thousand objects whose ids lie above 10^9
    for (std::uint32_t i = 0; i < 1'000; ++i)
        high.store_owned(1'000'000'000u + 7 * i, Py_NewRef(Py_None));
    EXPECT_LT(high.footprint(), 200'000u);

    ObjectTable scattered;  // no two in one page
    for (std::uint32_t i = 0; i < 1'000; ++i)
        scattered.store_owned(1'000'000'000u + (i << 14), Py_NewRef(Py_None));
    EXPECT_LT(scattered.footprint(), 1'000'000u);

    ObjectTable dense;  // dense ids cost little more than one slot each
    constexpr std::uint32_t kDense = 100'000;
    dense.reserve(kDense - 1, kDense);
    for (std::uint32_t id = 0; id < kDense; ++id) dense.store_owned(id, Py_NewRef(Py_None));
    EXPECT_FALSE(dense.paged());
    EXPECT_LT(dense.footprint(), std::size_t(kDense) * sizeof(PyObject*) * 11 / 10);
}

}  // namespace
}  // namespace corvalex
