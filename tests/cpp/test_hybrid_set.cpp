#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/hybrid_set.hpp"
#include "core/panic.hpp"

namespace corvalex {
namespace {

using Ids = std::vector<uint32_t>;
using Kind = HybridSet::Kind;

HybridSet small_of(std::initializer_list<uint32_t> ids) {
    HybridSet s = HybridSet::make_small();
    for (uint32_t id : ids) s.add(id);
    return s;
}
Ids inline_ids(const HybridSet& s) {
    return Ids(s.small_ids().begin(), s.small_ids().end());
}
Ids ids_of(const HybridSet& s) {
    return s.as_bitmap().to_vector();
}

TEST(HybridSet, StaysInlineUpToFourIdsInArrivalOrder) {
    static_assert(sizeof(HybridSet) <= 24);
    HybridSet s = small_of({4, 2, 3, 1});
    EXPECT_EQ(s.kind(), Kind::Small);
    EXPECT_EQ(inline_ids(s), (Ids{4, 2, 3, 1}));
    s.add(2);  // already held, also when full
    EXPECT_EQ(s.kind(), Kind::Small);
    EXPECT_EQ(s.count(), 4u);
    s.add(5);
    ASSERT_EQ(s.kind(), Kind::Large);
    EXPECT_EQ(s.large()->to_vector(), (Ids{1, 2, 3, 4, 5}));
    EXPECT_TRUE(s.small_ids().empty());
}

TEST(HybridSet, RemoveKeepsOrderAndNeverConvertsBack) {
    HybridSet s = small_of({7, 8, 9});
    s.remove(8);
    EXPECT_EQ(inline_ids(s), (Ids{7, 9}));
    s.remove(42);
    EXPECT_EQ(inline_ids(s), (Ids{7, 9}));
    EXPECT_TRUE(s.contains(9));
    EXPECT_FALSE(s.contains(8));

    HybridSet large = small_of({1, 2, 3, 4, 5});
    for (uint32_t id = 1; id <= 5; ++id) large.remove(id);
    EXPECT_EQ(large.kind(), Kind::Large);
    EXPECT_TRUE(large.is_empty());
    // Oscillating around four ids stays Large.
    for (uint32_t id = 1; id <= 3; ++id) large.add(id);
    EXPECT_EQ(large.kind(), Kind::Large);
    EXPECT_EQ(large.count(), 3u);
}

TEST(HybridSet, AsBitmapIsAnIndependentCopy) {
    EXPECT_TRUE(HybridSet::make_small().as_bitmap().is_empty());
    EXPECT_TRUE(HybridSet().as_bitmap().is_empty());
    EXPECT_EQ(ids_of(HybridSet::make_single(9)), (Ids{9}));
    HybridSet large = small_of({1, 2, 3, 4, 5});
    Bitmap copy = large.as_bitmap();
    copy.add(6);
    EXPECT_EQ(large.count(), 5u);
    Bitmap into{100};
    large.add_to(into);
    small_of({7}).add_to(into);
    EXPECT_EQ(into.to_vector(), (Ids{1, 2, 3, 4, 5, 7, 100}));
}

TEST(HybridSet, CopyAndMoveSemantics) {
    HybridSet large = small_of({1, 2, 3, 4, 5});
    HybridSet copy = large;
    copy.add(6);
    EXPECT_EQ(large.count(), 5u);
    HybridSet target = small_of({1});
    target = large;  // Small <- Large
    EXPECT_EQ(ids_of(target), (Ids{1, 2, 3, 4, 5}));
    copy = large;  // Large <- Large
    EXPECT_EQ(copy.count(), 5u);
    HybridSet moved = std::move(large);
    EXPECT_EQ(moved.count(), 5u);
    EXPECT_EQ(large.kind(), Kind::Empty);  // NOLINT(bugprone-use-after-move)
    target = small_of({3, 4});
    EXPECT_EQ(inline_ids(target), (Ids{3, 4}));
}

TEST(HybridSet, UnionFollowsTheFormTable) {
    auto u = small_of({1, 2});
    u.or_inplace(small_of({2, 3}));
    EXPECT_EQ(u.kind(), Kind::Small);
    EXPECT_EQ(inline_ids(u), (Ids{1, 2, 3}));

    u = small_of({1, 2, 3});
    u.or_inplace(small_of({4, 5}));
    EXPECT_EQ(u.kind(), Kind::Large);
    EXPECT_EQ(ids_of(u), (Ids{1, 2, 3, 4, 5}));

    HybridSet empty;
    empty.or_inplace(small_of({5, 4}));
    EXPECT_EQ(inline_ids(empty), (Ids{5, 4}));
    HybridSet empty2;
    empty2.or_inplace(u);
    EXPECT_EQ(empty2.kind(), Kind::Large);
    EXPECT_EQ(ids_of(empty2), ids_of(u));

    auto small = small_of({8});
    small.or_inplace(HybridSet());
    EXPECT_EQ(inline_ids(small), (Ids{8}));
    auto large = small_of({1, 2, 3, 4, 5});
    large.or_inplace(HybridSet());
    EXPECT_EQ(ids_of(large), (Ids{1, 2, 3, 4, 5}));

    small.or_inplace(large);  // Small | Large
    EXPECT_EQ(small.kind(), Kind::Large);
    EXPECT_EQ(ids_of(small), (Ids{1, 2, 3, 4, 5, 8}));
    large.or_inplace(small_of({9, 1}));  // Large | Small
    EXPECT_EQ(ids_of(large), (Ids{1, 2, 3, 4, 5, 9}));
    large.or_inplace(small);  // Large | Large
    EXPECT_EQ(ids_of(large), (Ids{1, 2, 3, 4, 5, 8, 9}));
    large.or_inplace(large);
    EXPECT_EQ(large.count(), 7u);
}

TEST(HybridSet, OrInplaceSmallKeepsArrivalOrder) {
    const uint32_t a[] = {3, 1}, b[] = {1, 4, 2};
    HybridSet r = HybridSet::or_inplace_small(a, b);
    EXPECT_EQ(inline_ids(r), (Ids{3, 1, 4, 2}));
    const uint32_t c[] = {5};
    r = HybridSet::or_inplace_small(std::span<const uint32_t>(a), std::span<const uint32_t>(c));
    EXPECT_EQ(inline_ids(r), (Ids{3, 1, 5}));
    const uint32_t full[] = {1, 2, 3, 4}, more[] = {4, 5};
    r = HybridSet::or_inplace_small(full, more);
    EXPECT_EQ(r.kind(), Kind::Large);
    EXPECT_EQ(ids_of(r), (Ids{1, 2, 3, 4, 5}));
}

TEST(HybridSet, IntersectionAlwaysEndsLarge) {
    auto s = small_of({1, 2, 3});
    s.and_inplace(HybridSet::make_large(Bitmap{2, 3, 9}));
    EXPECT_EQ(s.kind(), Kind::Large);
    EXPECT_EQ(ids_of(s), (Ids{2, 3}));

    auto t = small_of({1, 2, 3});
    t.and_inplace(small_of({2, 3, 9, 10, 11}));
    EXPECT_EQ(ids_of(t), (Ids{2, 3}));

    auto large = small_of({1, 2, 3, 4, 5});
    large.and_inplace(small_of({5, 6}));
    EXPECT_EQ(ids_of(large), (Ids{5}));
    large.and_inplace(small_of({10, 11, 12, 13, 14}));
    EXPECT_EQ(large.kind(), Kind::Large);
    EXPECT_TRUE(large.is_empty());

    auto self = small_of({4});
    self.and_inplace(self);
    EXPECT_EQ(self.kind(), Kind::Large);
    EXPECT_EQ(ids_of(self), (Ids{4}));
}

TEST(HybridSet, EmptyFormIsAnInternalErrorWhereUnreachable) {
    HybridSet empty;
    EXPECT_EQ(empty.count(), 0u);
    EXPECT_FALSE(empty.contains(1));
    auto message = [](auto&& op) -> std::string {
        try {
            op();
        } catch (const Panic& p) {
            return p.message();
        }
        return "";
    };
    EXPECT_EQ(message([&] { empty.add(1); }), "not implemented");
    EXPECT_EQ(message([&] { empty.remove(1); }), "not yet implemented");
    EXPECT_EQ(message([&] { empty.and_inplace(small_of({1})); }), "not implemented");
    auto s = small_of({1});
    EXPECT_EQ(message([&] { s.and_inplace(HybridSet()); }), "not implemented");
    EXPECT_EQ(inline_ids(s), (Ids{1}));  // left untouched
}

}  // namespace
}  // namespace corvalex
