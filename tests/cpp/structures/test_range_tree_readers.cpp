// Readers sharing a range tree whose leaves must first make their unions of
// heavy values: each union is made once, and every reader gets the same ids.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "structures/ranged_b_tree.hpp"

namespace corvalex {
namespace {

TEST(RangeTreeReaders, ConcurrentQueriesMakeStaleUnionsOnceAndAgree) {
    // 2,000 values of 100 ids each: every value is heavy, the leaves hold
    // tens of them, and a wide range covers most leaves whole.
    constexpr uint32_t kValues = 2000, kIdsPerValue = 100;
    BitMapBTree tree;
    std::vector<CompositeKey128> keys;
    for (uint32_t id = 1; id <= kValues * kIdsPerValue; ++id)
        keys.emplace_back(Number::from_int(id % kValues), id);
    tree.insert_many(keys);
    ASSERT_FALSE(tree.root().is_leaf());

    Bitmap universe;
    for (uint32_t id = 1; id <= kValues * kIdsPerValue; ++id) universe.add(id);
    const Bound lower = Bound::inclusive(Number::from_int(100));
    const Bound upper = Bound::exclusive(Number::from_int(1900));
    Bitmap want;
    for (uint32_t id = 1; id <= kValues * kIdsPerValue; ++id)
        if (id % kValues >= 100 && id % kValues < 1900) want.add(id);

    for (int round = 0; round < 20; ++round) {
        // A write between rounds leaves every union stale again.
        for (uint32_t id = 1; id <= kValues; ++id)
            ASSERT_TRUE(tree.remove(Number::from_int(id % kValues), id).changed);
        for (uint32_t id = 1; id <= kValues; ++id) tree.insert(Number::from_int(id % kValues), id);
        std::vector<Bitmap> got(4);
        std::vector<std::thread> readers;
        for (Bitmap& out : got)
            readers.emplace_back([&] { out = tree.query_range(lower, upper, universe); });
        for (std::thread& reader : readers) reader.join();
        for (const Bitmap& result : got) ASSERT_EQ(result, want) << "round " << round;
        tree.verify();
    }
}

}  // namespace
}  // namespace corvalex
