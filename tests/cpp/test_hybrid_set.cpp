#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/panic.hpp"
#include "structures/hybrid_set.hpp"

namespace corvalex {
namespace {

using Ids = std::vector<uint32_t>;
using Kind = HybridSet::Kind;

HybridSet small_of(std::initializer_list<uint32_t> ids) {
    HybridSet s = HybridSet::make_small();
    for (uint32_t id : ids) s.add(id);
    return s;
}
HybridSet large_of(std::initializer_list<uint32_t> ids) {
    return HybridSet::make_large(Bitmap(ids));
}
Ids inline_ids(const HybridSet& s) {
    return Ids(s.small_ids().begin(), s.small_ids().end());
}
Ids ids_of(const HybridSet& s) {
    return s.as_bitmap().to_vector();
}

TEST(HybridSet, StaysInlineUpToFourIdsAndNeverConvertsBack) {
    HybridSet s = small_of({4, 2, 3, 1});
    s.add(2);  // already held, also when full
    EXPECT_EQ(s.kind(), Kind::Small);
    EXPECT_EQ(inline_ids(s), (Ids{4, 2, 3, 1}));
    s.add(5);
    ASSERT_EQ(s.kind(), Kind::Large);
    EXPECT_EQ(s.large()->to_vector(), (Ids{1, 2, 3, 4, 5}));
    for (uint32_t id = 1; id <= 5; ++id) s.remove(id);
    s.add(9);
    EXPECT_EQ(s.kind(), Kind::Large);
    EXPECT_EQ(s.count(), 1u);

    HybridSet r = small_of({7, 8, 9});
    r.remove(8);
    r.remove(42);
    EXPECT_EQ(inline_ids(r), (Ids{7, 9}));
    EXPECT_TRUE(r.contains(9));
    EXPECT_FALSE(r.contains(8));
}

TEST(HybridSet, BitmapsAndCopiesAreIndependent) {
    EXPECT_TRUE(HybridSet::make_small().as_bitmap().is_empty());
    EXPECT_EQ(ids_of(HybridSet::make_single(9)), (Ids{9}));
    HybridSet large = large_of({1, 2, 3, 4, 5});
    Bitmap b = large.as_bitmap();
    b.add(6);
    HybridSet copy = large;
    copy.add(7);
    HybridSet target = small_of({1});
    target = large;  // Small <- Large
    large.add_to(b);
    small_of({8}).add_to(b);
    EXPECT_EQ(large.count(), 5u);
    EXPECT_EQ(target.count(), 5u);
    EXPECT_EQ(b.to_vector(), (Ids{1, 2, 3, 4, 5, 6, 8}));
    HybridSet moved = std::move(large);
    EXPECT_EQ(moved.count(), 5u);
    EXPECT_EQ(large.kind(), Kind::Empty);  // NOLINT(bugprone-use-after-move)
}

TEST(HybridSet, UnionFollowsTheFormTable) {
    auto u = small_of({1, 2});
    u.or_inplace(small_of({2, 3}));
    EXPECT_EQ(inline_ids(u), (Ids{1, 2, 3}));
    u.or_inplace(small_of({4, 5}));
    EXPECT_EQ(u.kind(), Kind::Large);
    EXPECT_EQ(ids_of(u), (Ids{1, 2, 3, 4, 5}));

    HybridSet empty, empty2;
    empty.or_inplace(small_of({5, 4}));
    EXPECT_EQ(inline_ids(empty), (Ids{5, 4}));
    empty2.or_inplace(u);
    EXPECT_EQ(empty2.kind(), Kind::Large);
    EXPECT_EQ(ids_of(empty2), ids_of(u));

    auto small = small_of({8});
    small.or_inplace(HybridSet());
    u.or_inplace(HybridSet());
    EXPECT_EQ(inline_ids(small), (Ids{8}));
    EXPECT_EQ(u.count(), 5u);
    small.or_inplace(u);  // Small | Large
    EXPECT_EQ(ids_of(small), (Ids{1, 2, 3, 4, 5, 8}));
    u.or_inplace(small_of({9, 1}));  // Large | Small
    u.or_inplace(small);             // Large | Large
    u.or_inplace(u);
    EXPECT_EQ(ids_of(u), (Ids{1, 2, 3, 4, 5, 8, 9}));

    const uint32_t a[] = {3, 1}, b[] = {1, 4, 2}, full[] = {1, 2, 3, 4};
    EXPECT_EQ(inline_ids(HybridSet::or_inplace_small(a, b)), (Ids{3, 1, 4, 2}));
    EXPECT_EQ(ids_of(HybridSet::or_inplace_small(full, b)), (Ids{1, 2, 3, 4}));
    EXPECT_EQ(HybridSet::or_inplace_small(full, a).kind(), Kind::Small);
    const uint32_t c[] = {5, 6};
    EXPECT_EQ(HybridSet::or_inplace_small(b, c).kind(), Kind::Large);
    EXPECT_EQ(ids_of(HybridSet::or_inplace_small(b, c)), (Ids{1, 2, 4, 5, 6}));
}

TEST(HybridSet, IntersectionAlwaysEndsLarge) {
    auto s = small_of({1, 2, 3});
    s.and_inplace(large_of({2, 3, 9}));
    EXPECT_EQ(s.kind(), Kind::Large);
    EXPECT_EQ(ids_of(s), (Ids{2, 3}));
    auto t = small_of({1, 2, 3});
    t.and_inplace(small_of({3, 1, 7}));
    EXPECT_EQ(t.kind(), Kind::Large);
    EXPECT_EQ(ids_of(t), (Ids{1, 3}));
    auto large = large_of({1, 2, 3, 4, 5});
    large.and_inplace(small_of({5, 6}));
    EXPECT_EQ(ids_of(large), (Ids{5}));
    large.and_inplace(large_of({10, 11}));
    EXPECT_EQ(large.kind(), Kind::Large);
    EXPECT_TRUE(large.is_empty());
    auto self = small_of({4});
    self.and_inplace(self);
    EXPECT_EQ(self.kind(), Kind::Large);
    EXPECT_EQ(ids_of(self), (Ids{4}));
}

TEST(HybridSet, EmptyFormIsAnInternalErrorWhereUnreachable) {
    auto message = [](auto&& op) -> std::string {
        try {
            op();
        } catch (const Panic& p) {
            return p.message();
        }
        return "";
    };
    HybridSet empty;
    EXPECT_EQ(message([&] { empty.add(1); }), "not implemented");
    EXPECT_EQ(message([&] { empty.remove(1); }), "not yet implemented");
    EXPECT_EQ(message([&] { empty.and_inplace(small_of({1})); }), "not implemented");
    auto s = small_of({1});
    EXPECT_EQ(message([&] { s.and_inplace(HybridSet()); }), "not implemented");
    EXPECT_EQ(inline_ids(s), (Ids{1}));  // left untouched
}

}  // namespace
}  // namespace corvalex
