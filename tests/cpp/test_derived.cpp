// Merging attribute maps, the union of index cores, narrowing an attribute
// table in place and indexing a rebased core.
#include <Python.h>
#include <gtest/gtest.h>

#include <vector>

#include "binding/ref.hpp"
#include "index/index_union.hpp"
#include "index/keyword_lookup.hpp"
#include "index/propagation.hpp"
#include "index/query_map.hpp"
#include "index/rebase.hpp"
#include "index/reduction.hpp"
#include "python/value_capture.hpp"

namespace corvalex {
namespace {

using Ids = std::vector<std::uint32_t>;

PyValue value(long number) {
    py::Ref object = py::Ref::steal(PyLong_FromLong(number));
    return capture_value(object.get());
}

PyValue text(const char* content) {
    py::Ref object = py::Ref::steal(PyUnicode_FromString(content));
    return capture_value(object.get());
}

Ids ids_of(const HybridSet* set) {
    return set == nullptr ? Ids{} : set->as_bitmap().to_vector();
}

AttrMap attrs(std::initializer_list<std::pair<const char*, PyValue>> entries) {
    AttrMap map;
    for (const auto& [name, captured] : entries) map.set(name, captured);
    return map;
}

HashQuery query(const char* name, const PyValue& wanted) {
    HashQuery hash_query;
    hash_query.push_back({name, {wanted.hash()}});
    return hash_query;
}

Ids lookup(IndexAPI& core, const char* name, const PyValue& wanted) {
    return filter_index_by_hashes(*core.index->read(), query(name, wanted)).to_vector();
}

TEST(Union, BringsTheSetsOfSharedObjectsButNoObjects) {
    IndexAPI target, other;
    StoredItem none = StoredItem::from_borrowed(Py_None);
    target.add_object(1, none, attrs({{"colour", text("red")}, {"mine", value(1)}}), nullptr);
    target.add_object(2, none, attrs({{"colour", text("green")}}), nullptr);
    target.add_object(4, none, attrs({{"colour", text("red")}}), nullptr);
    other.add_object(2, none, attrs({{"colour", text("red")}, {"theirs", value(1)}}), nullptr);
    other.add_object(3, none, attrs({{"colour", text("blue")}, {"only", value(1)}}), nullptr);
    for (std::uint32_t id = 10; id < 20; ++id) {  // a bitmap set, partly shared
        target.add_object(id, none, attrs({{"size", value(7)}}), nullptr);
        other.add_object(id + 5, none, attrs({{"size", value(7)}}), nullptr);
    }
    union_with(target, other);
    EXPECT_EQ(lookup(target, "colour", text("red")), (Ids{1, 2, 4}));
    EXPECT_EQ(lookup(target, "colour", text("green")), (Ids{2}));
    // Object 3 is not stored here: neither its value nor its name arrives.
    EXPECT_EQ(lookup(target, "colour", text("blue")), Ids{});
    EXPECT_EQ(target.index->read()->count("only"), 0u);
    EXPECT_EQ(lookup(target, "theirs", value(1)), (Ids{2}));
    EXPECT_EQ(lookup(target, "mine", value(1)), (Ids{1}));
    EXPECT_EQ(lookup(target, "size", value(7)).size(), 10u);
    EXPECT_EQ(target.allowed->read()->to_vector().size(), 13u);
    EXPECT_EQ(target.items->read()->count(), 13u);
    EXPECT_EQ(target.index->read()->at("theirs")->ranged.size(), 0u);
    EXPECT_EQ(lookup(other, "colour", text("red")), (Ids{2}));
    union_with(target, target);  // one table: nothing to do, and no self-deadlock
    EXPECT_EQ(lookup(target, "colour", text("red")), (Ids{1, 2, 4}));
}

TEST(Reduction, NarrowsEverySetButKeepsEntriesAndInlineSets) {
    IndexAPI core;
    StoredItem none = StoredItem::from_borrowed(Py_None);
    for (std::uint32_t id = 1; id <= 6; ++id)
        core.add_object(id, none, attrs({{"size", value(id % 2)}, {"name", value(id * 10)}}),
                        nullptr);
    auto table = core.index->write();
    narrow_exact_sets(*table, Bitmap{1, 2, 3});
    const QueryMap& size = *table->at("size");
    EXPECT_EQ(ids_of(size.find(value(1))), (Ids{1, 3}));
    EXPECT_EQ(ids_of(size.find(value(0))), (Ids{2}));
    const QueryMap& name = *table->at("name");
    EXPECT_EQ(name.exact.size(), 6u);
    EXPECT_TRUE(name.find(value(60))->is_empty());
    EXPECT_EQ(name.find(value(10))->kind(), HybridSet::Kind::Small);
    EXPECT_EQ(size.ranged.size(), 6u);
    narrow_exact_sets(*table, Bitmap{});
    EXPECT_TRUE(size.find(value(1))->is_empty());
}

TEST(Reduction, ChangesNothingWhenTheMatchingIdsMoved) {
    IndexAPI core;
    StoredItem none = StoredItem::from_borrowed(Py_None);
    core.add_object(1, none, attrs({{"colour", text("red")}}), nullptr);
    core.add_object(2, none, attrs({{"colour", text("blue")}}), nullptr);
    const HashQuery red = query("colour", text("red"));
    EXPECT_FALSE(reduce_if_unchanged(core, red, Bitmap{1, 2}, {}));
    EXPECT_EQ(lookup(core, "colour", text("blue")), (Ids{2}));
    EXPECT_TRUE(reduce_if_unchanged(core, red, Bitmap{1}, {}));
    EXPECT_EQ(lookup(core, "colour", text("blue")), Ids{});
    EXPECT_EQ(lookup(core, "colour", text("red")), (Ids{1}));
}

TEST(Reduction, EntersTheKeptObjectsAgain) {
    IndexAPI core;
    StoredItem none = StoredItem::from_borrowed(Py_None);
    IndexableRecord kept{
        {}, attrs({{"colour", text("red")}, {"size", value(3)}, {"_p", value(1)}}), 1};
    core.add_object(1, none, attrs({{"colour", text("red")}}), nullptr);
    core.add_object(2, none, attrs({{"colour", text("blue")}}), nullptr);
    const BatchObject batch[] = {{Py_None, &kept, nullptr}};
    EXPECT_TRUE(reduce_if_unchanged(core, query("colour", text("red")), Bitmap{1}, batch));
    EXPECT_EQ(lookup(core, "size", value(3)), (Ids{1}));
    EXPECT_FALSE(core.index->read()->contains("_p"));
}

TEST(Rebase, IndexesEveryNameAndFillsAllowed) {
    IndexAPI core;
    IndexableRecord first{{}, attrs({{"a", value(1)}, {"_hidden", value(2)}}), 3};
    IndexableRecord second{{}, attrs({{"a", value(1)}, {"b", text("x")}}), 9};
    const BatchObject batch[] = {{Py_None, &first, nullptr}, {Py_None, &second, nullptr}};
    index_rebased_objects(core, batch);
    EXPECT_EQ(core.allowed->read()->to_vector(), (Ids{3, 9}));
    EXPECT_EQ(lookup(core, "a", value(1)), (Ids{3, 9}));
    EXPECT_EQ(lookup(core, "_hidden", value(2)), (Ids{3}));
    EXPECT_EQ(lookup(core, "b", text("x")), (Ids{9}));
}

}  // namespace
}  // namespace corvalex

namespace corvalex {
namespace {

TEST(Reduction, AWriteOfADroppedObjectLeavesNoOldRangePairBehind) {
    IndexAPI core;
    StoredItem none = StoredItem::from_borrowed(Py_None);
    core.add_object(1, none, attrs({{"size", value(1)}, {"colour", text("red")}}), nullptr);
    core.add_object(2, none, attrs({{"size", value(1)}, {"colour", text("blue")}}), nullptr);
    auto table = core.index->write();
    narrow_exact_sets(*table, Bitmap{1});
    const PyValue one = value(1);
    update_index(*table, "size", &one, value(5), 1, nullptr);  // prunes the entry of 1
    ASSERT_EQ(table->at("size")->find(one), nullptr);
    update_index(*table, "size", &one, value(7), 2, nullptr);
    const QueryMap& size = *table->at("size");
    EXPECT_EQ(size.ranged.size(), 2u);  // (5, 1) and (7, 2) only
    EXPECT_EQ(ids_of(size.find(value(7))), (Ids{2}));
    size.ranged.verify();
}

}  // namespace
}  // namespace corvalex
