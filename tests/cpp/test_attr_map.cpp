#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/ref.hpp"
#include "index/attr_map.hpp"
#include "index/indexable_record.hpp"
#include "python/value_capture.hpp"

namespace corvalex {
namespace {

PyValue number(long value) {
    py::Ref object = py::Ref::steal(PyLong_FromLong(value));
    return capture_value(object.get());
}

std::vector<std::string> names_of(const AttrMap& map) {
    std::vector<std::string> names;
    for (const auto& [name, value] : map) names.push_back(name);
    return names;
}

TEST(AttrMap, SetFindReplaceAndIterateInAssignmentOrder) {
    AttrMap map;
    EXPECT_EQ(map.find("a"), nullptr);
    map.set("zeta", number(1));
    map.set("alpha", number(2));
    map.set("zeta", number(3));
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.find("zeta")->as_int(), 3);
    EXPECT_EQ(map.find("alpha")->as_int(), 2);
    EXPECT_EQ(map.find("alph"), nullptr);
    EXPECT_EQ(names_of(map), (std::vector<std::string>{"zeta", "alpha"}));
}

TEST(AttrMap, ObjectsAssignedTheSameNamesShareOneShape) {
    AttrMap first, second, other;
    for (AttrMap* map : {&first, &second}) {
        map->set("colour", number(1));
        map->set("size", number(2));
    }
    other.set("size", number(2));
    other.set("colour", number(1));
    EXPECT_EQ(first.shape(), second.shape());
    EXPECT_NE(first.shape(), other.shape());
    second.set("size", number(9));  // replacing keeps the shape
    EXPECT_EQ(first.shape(), second.shape());
    second.set("extra", number(0));
    EXPECT_NE(first.shape(), second.shape());
    EXPECT_EQ(names_of(second), (std::vector<std::string>{"colour", "size", "extra"}));
    EXPECT_EQ(names_of(first), (std::vector<std::string>{"colour", "size"}));
}

TEST(AttrMap, CopiesAreIndependent) {
    AttrMap map;
    map.set("a", number(1));
    AttrMap copy = map;
    copy.set("a", number(2));
    copy.set("b", number(3));
    EXPECT_EQ(map.find("a")->as_int(), 1);
    EXPECT_EQ(map.find("b"), nullptr);
    EXPECT_EQ(copy.size(), 2u);
}

TEST(AttrMap, ManyNamesStayFindableAndCopiesOfLargeMapsStayIndependent) {
    constexpr long kNames = 3 * kMaxSharedNames;
    AttrMap map;
    for (long i = 0; i < kNames; ++i) map.set("n" + std::to_string(i), number(i));
    AttrMap copy = map;
    copy.set("extra", number(-1));  // must not grow the original's names
    copy.set("n0", number(-2));
    map.set("other", number(-3));
    ASSERT_EQ(map.size(), std::size_t(kNames) + 1);
    ASSERT_EQ(copy.size(), std::size_t(kNames) + 1);
    for (long i = 0; i < kNames; ++i) {
        const std::string name = "n" + std::to_string(i);
        EXPECT_EQ(map.find(name)->as_int(), i);
        EXPECT_EQ(copy.find(name)->as_int(), i == 0 ? -2 : i);
    }
    EXPECT_EQ(map.find("extra"), nullptr);
    EXPECT_EQ(copy.find("other"), nullptr);
    EXPECT_EQ(names_of(map).back(), "other");
    EXPECT_EQ(names_of(copy).back(), "extra");
    EXPECT_EQ(names_of(map)[kMaxSharedNames], "n" + std::to_string(kMaxSharedNames));
}

}  // namespace
}  // namespace corvalex

namespace corvalex {
namespace {

TEST(Ids, AreNeverReusedOnceTheIdSpaceIsSpent) {
    const std::uint64_t saved = GLOBAL_ID_COUNTER.load();
    GLOBAL_ID_COUNTER.store(UINT32_MAX - 1);
    EXPECT_EQ(take_next_id(), std::optional<std::uint32_t>(UINT32_MAX - 1));
    EXPECT_EQ(take_next_id(), std::optional<std::uint32_t>(UINT32_MAX));
    EXPECT_EQ(take_next_id(), std::nullopt);
    EXPECT_EQ(take_next_id(), std::nullopt);  // stays spent, never wraps to 0 or 1
    GLOBAL_ID_COUNTER.store(saved);
    EXPECT_EQ(take_next_id(), std::optional<std::uint32_t>(static_cast<std::uint32_t>(saved)));
}

}  // namespace
}  // namespace corvalex
