// The index core: attribute maps, the core's tables, keyword filtering and
// the failing reader/writer lock. Values are real captured Python objects.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "binding/ref.hpp"
#include "index/index_api.hpp"
#include "index/keyword_lookup.hpp"
#include "index/propagation.hpp"
#include "index/query_map.hpp"
#include "index/rw_lock.hpp"
#include "python/indexable.hpp"
#include "python/value_capture.hpp"

namespace corvalex {
namespace {

py::Ref eval(const char* expression) {
    py::Ref globals = py::Ref::steal(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    py::Ref result =
        py::Ref::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
    EXPECT_TRUE(result) << expression;
    return result;
}

PyValue value(const char* expression) {
    return capture_value(eval(expression).get());
}

std::vector<std::uint32_t> ids_of(const Bitmap& bitmap) {
    return bitmap.to_vector();
}

std::vector<std::uint32_t> ids_of(const HybridSet& set) {
    return ids_of(set.as_bitmap());
}

std::vector<std::uint32_t> range_ids(const QueryMap& map, double low, double high) {
    std::vector<std::uint32_t> all(1000);
    for (std::uint32_t id = 0; id < 1000; ++id) all[id] = id;
    const Bitmap universe = Bitmap::of(all);
    return ids_of(map.ranged.query_range(Bound::inclusive(Number::from_float(low)),
                                         Bound::inclusive(Number::from_float(high)), universe));
}

TEST(RwLocked, WriteUnwoundByAFatalErrorFailsTheLockForGood) {
    RwLocked<int> locked(1);
    *locked.write() = 2;
    EXPECT_EQ(*locked.read(), 2);
    EXPECT_THROW(
        {
            auto guard = locked.write();
            *guard = 3;
            panic("Missing child");
        },
        Panic);
    EXPECT_TRUE(locked.failed());
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            auto guard = locked.read();
            FAIL() << "read of a failed lock succeeded";
        } catch (const Panic& error) {
            EXPECT_EQ(error.message(), "called `Result::unwrap()` on an `Err` value");
        }
        EXPECT_THROW(locked.write(), Panic);
    }
}

TEST(RwLocked, ReadersShareAndAnUnwoundReadLeavesTheLockUsable) {
    RwLocked<int> locked(7);
    {
        auto first = locked.read();
        auto second = locked.read();
        EXPECT_EQ(*first + *second, 14);
    }
    EXPECT_THROW(
        {
            auto guard = locked.read();
            panic("boom");
        },
        Panic);
    EXPECT_FALSE(locked.failed());
    *locked.write() = 8;
    EXPECT_EQ(*locked.read(), 8);
}

TEST(QueryMap, EqualHashesShareOneEntryWhileTheTreeKeepsBothNumbers) {
    QueryMap map;
    NestedInsertions done;
    NestingPath path(0, done);
    map.insert(value("1"), 3, nullptr, path);
    map.insert(value("1.0"), 4, nullptr, path);
    map.insert(value("True"), 5, nullptr, path);
    ASSERT_EQ(map.exact.size(), 1u);
    EXPECT_EQ(ids_of(map.exact.begin()->second), (std::vector<std::uint32_t>{3, 4, 5}));
    EXPECT_EQ(map.ranged.size(), 2u);  // True is not a number
    EXPECT_EQ(range_ids(map, 1, 1), (std::vector<std::uint32_t>{3, 4}));
}

TEST(QueryMap, RepeatedInsertsChangeNothing) {
    QueryMap map;
    NestedInsertions done;
    NestingPath path(0, done);
    for (int round = 0; round < 3; ++round) map.insert(value("7.5"), 9, nullptr, path);
    EXPECT_EQ(map.exact.size(), 1u);
    EXPECT_EQ(map.exact.begin()->second.count(), 1u);
    EXPECT_EQ(map.ranged.size(), 1u);
    map.remove_id(value("7.5"), 9);
    EXPECT_EQ(map.ranged.size(), 0u);
}

TEST(QueryMap, NonNumbersOnlyEnterTheExactMap) {
    QueryMap map;
    NestedInsertions done;
    NestingPath path(0, done);
    map.insert(value("'text'"), 1, nullptr, path);
    map.insert(value("[1, 2]"), 2, nullptr, path);
    map.insert(value("''"), 3, nullptr, path);  // hash 0, like the list
    EXPECT_EQ(map.exact.size(), 2u);
    EXPECT_EQ(map.ranged.size(), 0u);
    EXPECT_TRUE(map.nested_ids.empty());
    EXPECT_EQ(ids_of(*map.find(value("0"))), (std::vector<std::uint32_t>{2, 3}));
}

TEST(QueryMap, RemovalLeavesAnEmptyEntryUntilPruned) {
    QueryMap map;
    NestedInsertions done;
    NestingPath path(0, done);
    map.insert(value("5"), 1, nullptr, path);
    map.insert(value("6"), 2, nullptr, path);
    map.remove_id(value("5"), 1);
    ASSERT_NE(map.find(value("5")), nullptr);
    EXPECT_TRUE(map.find(value("5"))->is_empty());
    EXPECT_EQ(range_ids(map, 0, 10), (std::vector<std::uint32_t>{2}));
    map.check_prune(value("5"));
    EXPECT_EQ(map.find(value("5")), nullptr);
    map.check_prune(value("6"));  // not empty: stays
    EXPECT_NE(map.find(value("6")), nullptr);
    try {
        map.check_prune(value("'absent'"));
        FAIL() << "pruning an absent value succeeded";
    } catch (const Panic& error) {
        EXPECT_EQ(error.message(), "no entry found for key");
    }
}

TEST(QueryMap, IndexableValuesGoToNestedIdsAndTheNestedCore) {
    // A minimal type with the Indexable layout stands in for the class.
    static PyType_Slot slots[] = {{0, nullptr}};
    static PyType_Spec holder_spec = {"test.Holder", sizeof(IndexableObject), 0, Py_TPFLAGS_DEFAULT,
                                      slots};
    py::Ref type = py::Ref::steal(PyType_FromSpec(&holder_spec));
    ASSERT_TRUE(type);
    auto* holder_type = reinterpret_cast<PyTypeObject*>(type.get());
    py::Ref holder = py::Ref::steal(PyType_GenericAlloc(holder_type, 0));
    auto* raw = as_indexable(holder.get());
    new (&raw->borrow) py::BorrowFlag();
    new (&raw->record) IndexableRecord{{}, {}, 7};
    PyTypeObject* saved = INDEXABLE_TYPE.exchange(holder_type);
    PyValue owner = capture_value(holder.get());
    INDEXABLE_TYPE.store(saved);
    ASSERT_EQ(owner.kind(), CastKind::Ind);
    ASSERT_EQ(owner.indexable_id(), 7u);

    ObjectSnapshot snapshot;
    snapshot.id = 7;
    snapshot.item = StoredItem::from_borrowed(holder.get());
    snapshot.attrs.set("name", value("'bob'"));
    snapshot.attrs.set("_secret", value("1"));
    snapshot.nested = {{holder.get(), 7, &snapshot}};  // refers to itself
    snapshot.attrs.set("me", owner);
    const Expansions expansions{{holder.get(), 7, &snapshot}};

    QueryMap map;
    for (std::uint32_t id : {1u, 2u}) {
        NestedInsertions done;
        NestingPath path(id, done);
        map.insert(owner, id, &expansions, path);
    }
    ASSERT_EQ(map.nested_ids.size(), 1u);
    EXPECT_EQ(ids_of(map.nested_ids.at(7)), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(map.ranged.size(), 0u);
    EXPECT_EQ(map.nested.items->read()->object(7), holder.get());
    auto nested = map.nested.index->read();
    EXPECT_TRUE(nested->contains("name"));
    EXPECT_FALSE(nested->contains("_secret"));
    // The self-reference is entered by value but not expanded again.
    const QueryMap& me = *nested->at("me");
    EXPECT_EQ(ids_of(me.nested_ids.at(7)), (std::vector<std::uint32_t>{7}));
    EXPECT_TRUE(me.nested.index->read()->empty());
}

TEST(NestingPath, StopsAtCyclesAndAtTheDepthLimit) {
    NestedInsertions done;
    NestingPath path(1, done);
    EXPECT_FALSE(path.may_expand(1));
    EXPECT_TRUE(path.may_expand(2));
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

TEST(NestingPath, RemembersOnlyInsertionsThatWereNotCutShort) {
    NestedInsertions done;
    NestingPath path(1, done);
    ObjectSnapshot complete, cut;
    complete.id = 2;
    cut.id = 3;
    { NestingPath::Step step(path, nullptr, &complete); }
    EXPECT_TRUE(path.already_done(nullptr, &complete));
    {
        NestingPath::Step step(path, nullptr, &cut);
        EXPECT_FALSE(path.may_expand(1));  // closes a cycle back to the root
    }
    EXPECT_FALSE(path.already_done(nullptr, &cut));
    { NestingPath::Step step(path, nullptr, &complete); }
    EXPECT_TRUE(path.already_done(nullptr, &complete));
}

class IndexCoreTest : public ::testing::Test {
  protected:
    StoredItem item() { return StoredItem::from_borrowed(Py_None); }

    AttrMap attrs(std::initializer_list<std::pair<const char*, const char*>> entries) {
        AttrMap map;
        for (const auto& [name, expression] : entries) map.set(name, value(expression));
        return map;
    }

    IndexAPI core;
};

TEST_F(IndexCoreTest, TheObjectTableHoldsTheStoredIdAndPrivateNamesAreSkipped) {
    core.add_object(5, item(), attrs({{"a", "1"}, {"_b", "2"}, {"", "3"}}), nullptr);
    EXPECT_EQ(core.items->read()->count(), 1u);
    for (std::uint32_t id = 0; id < 5; ++id) EXPECT_EQ(core.items->read()->object(id), nullptr);
    EXPECT_EQ(core.items->read()->object(5), Py_None);
    EXPECT_EQ(ids_of(*core.allowed->read()), (std::vector<std::uint32_t>{5}));
    auto table = core.index->read();
    EXPECT_EQ(table->size(), 2u);
    EXPECT_TRUE(table->contains("a"));
    EXPECT_TRUE(table->contains(""));
    EXPECT_FALSE(table->contains("_b"));
}

TEST_F(IndexCoreTest, AddingTwiceKeepsOneEntryEverywhere) {
    core.add_object(2, item(), attrs({{"a", "1"}}), nullptr);
    core.add_object(2, item(), attrs({{"a", "1"}}), nullptr);
    EXPECT_EQ(core.allowed->read()->cardinality(), 1u);
    auto table = core.index->read();
    EXPECT_EQ(table->at("a")->find(value("1"))->count(), 1u);
}

TEST_F(IndexCoreTest, AnObjectWithoutPublicAttributesIsStillStored) {
    core.add_object(3, item(), attrs({{"_x", "1"}}), nullptr);
    EXPECT_TRUE(core.index->read()->empty());
    EXPECT_EQ(core.items->read()->object(3), Py_None);
    EXPECT_TRUE(core.allowed->read()->contains(3));
}

TEST_F(IndexCoreTest, KeywordFilteringIntersectsTermsOfUnitedValues) {
    const char* colours[] = {"'red'", "'blue'", "'red'", "'green'", "'red'", "'red'", "'red'"};
    const char* sizes[] = {"1", "2", "2", "1", "1.0", "3", "1"};
    for (std::uint32_t id = 1; id <= 7; ++id)
        core.add_object(id, item(), attrs({{"colour", colours[id - 1]}, {"size", sizes[id - 1]}}),
                        nullptr);
    auto table = core.index->read();
    using Ids = std::vector<std::uint32_t>;
    auto query = [&](std::vector<std::pair<const char*, std::vector<const char*>>> terms) {
        HashQuery hash_query;
        for (auto& [name, values] : terms) {
            HashTerm term{name, {}};
            for (const char* expression : values) term.hashes.push_back(value(expression).hash());
            hash_query.push_back(std::move(term));
        }
        const Ids from_bitmap = ids_of(filter_index_by_hashes(*table, hash_query));
        const IdList listed = matching_ids(*table, hash_query);
        EXPECT_EQ(Ids(listed.begin(), listed.end()), from_bitmap);
        return from_bitmap;
    };
    EXPECT_EQ(query({}), Ids{});
    EXPECT_EQ(query({{"colour", {"'red'"}}}), (Ids{1, 3, 5, 6, 7}));
    EXPECT_EQ(query({{"colour", {"'red'"}}, {"size", {"1"}}}), (Ids{1, 5, 7}));
    EXPECT_EQ(query({{"colour", {"'blue'"}}}), (Ids{2}));
    EXPECT_EQ(query({{"colour", {"'blue'", "'green'"}}}), (Ids{2, 4}));
    EXPECT_EQ(query({{"size", {"1", "2"}}, {"colour", {"'red'", "'blue'"}}}), (Ids{1, 2, 3, 5, 7}));
    EXPECT_EQ(query({{"colour", {"'red'"}}, {"size", {"9"}}}), Ids{});
    EXPECT_EQ(query({{"colour", {"'red'"}}, {"weight", {"1"}}}), Ids{});
    EXPECT_EQ(query({{"size", {}}}), Ids{});
    EXPECT_EQ(query({{"colour", {"'red'"}}, {"colour2", {}}, {"size", {"1"}}}), Ids{});
}

TEST_F(IndexCoreTest, UpdateMovesAnIdAndDropsAMapWhoseValuesAreGone) {
    core.add_object(1, item(), attrs({{"size", "1"}, {"tag", "'x'"}}), nullptr);
    core.add_object(2, item(), attrs({{"size", "1"}}), nullptr);
    auto table = core.index->write();
    const PyValue one = value("1");
    update_index(*table, "size", &one, value("2.5"), 1, nullptr);
    const QueryMap& size = *table->at("size");
    EXPECT_EQ(ids_of(*size.find(one)), (std::vector<std::uint32_t>{2}));
    EXPECT_EQ(ids_of(*size.find(value("2.5"))), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(range_ids(size, 2, 3), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(range_ids(size, 0, 1.5), (std::vector<std::uint32_t>{2}));
    size.ranged.verify();

    // The last holder of the last value leaves: the whole map goes, then the
    // new value builds a fresh one.
    const PyValue x = value("'x'");
    update_index(*table, "tag", &x, value("'y'"), 1, nullptr);
    EXPECT_EQ(table->at("tag")->exact.size(), 1u);
    EXPECT_EQ(table->at("tag")->find(x), nullptr);

    update_index(*table, "_private", nullptr, value("1"), 1, nullptr);
    update_index(*table, "fresh", nullptr, value("1"), 1, nullptr);
    EXPECT_FALSE(table->contains("_private"));
    EXPECT_EQ(ids_of(*table->at("fresh")->find(one)), (std::vector<std::uint32_t>{1}));
}

TEST(AddIndex, DropsDeadCoresKeepsOneEntryPerCoreAndSortsByCore) {
    std::vector<std::shared_ptr<IndexAPI>> cores;
    for (int i = 0; i < 4; ++i) cores.push_back(std::make_shared<IndexAPI>());
    MetaList meta;
    EXPECT_TRUE(meta.empty());
    auto dead = std::make_shared<IndexAPI>();
    add_index(meta, dead);
    EXPECT_EQ(meta.size(), 1u);
    dead.reset();
    EXPECT_FALSE(meta.empty());  // an expired entry stays until the next registration
    for (auto it = cores.rbegin(); it != cores.rend(); ++it) add_index(meta, *it);
    for (int again = 0; again < 3; ++again) add_index(meta, cores[1]);
    ASSERT_EQ(meta.size(), 4u);
    std::vector<IndexMeta> entries;
    meta.for_each([&](const IndexMeta& entry) { entries.push_back(entry); });
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(), std::owner_less<IndexMeta>()));
    for (const auto& core : cores)
        EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                                [&](const auto& entry) { return entry.lock() == core; }),
                  1);
}

}  // namespace
}  // namespace corvalex
