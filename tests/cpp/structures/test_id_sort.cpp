// Sorting ids, and building bitmaps from ids in any order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "structures/bitmap.hpp"
#include "structures/id_sort.hpp"

namespace corvalex {
namespace {

TEST(RadixSort, MatchesAComparisonSortWhateverBytesTheIdsShare) {
    std::mt19937 random(17);
    for (const std::uint32_t mask :
         {0u, 0xffu, 0xff00u, 0xff0000u, 0xff000000u, 0xff00ff00u, ~0u}) {
        for (const std::size_t size : {0u, 1u, 2u, 1000u}) {
            std::vector<std::uint32_t> ids(size), sorted;
            for (auto& id : ids) id = random() & mask;
            sorted = ids;
            std::sort(sorted.begin(), sorted.end());
            radix_sort(ids);
            EXPECT_EQ(ids, sorted) << mask << " " << size;
        }
    }
}

// Both paths (sorting for sparse ids, a bitset for dense ones), array and
// bitset containers, a full chunk, duplicates, and the top of the id space.
TEST(BitmapOfUnsorted, HoldsExactlyTheIdsGiven) {
    std::mt19937 random(23);
    auto ids_in = [&](std::uint32_t first, std::uint32_t span, std::size_t count) {
        std::vector<std::uint32_t> ids(count);
        for (auto& id : ids) id = first + static_cast<std::uint32_t>(random() % span);
        return ids;
    };
    std::vector<std::vector<std::uint32_t>> cases = {
        {},
        {7},
        ids_in(0, 1u << 20, 100),       // sparse: sorted
        ids_in(0, 1u << 20, 200000),    // dense: bitset, some chunks over 4096
        ids_in(5u << 16, 70000, 3000),  // dense, every chunk an array
        ids_in(0xffff0000u, 1u << 16, 50000),
        ids_in(0, 0xffffffffu, 5000),  // spread over the whole id space
    };
    std::vector<std::uint32_t> full(1u << 16);
    for (std::uint32_t i = 0; i < full.size(); ++i) full[i] = (3u << 16) + i;
    std::shuffle(full.begin(), full.end(), random);
    full.push_back(3u << 16);  // a duplicate
    cases.push_back(full);
    for (auto& ids : cases) {
        std::vector<std::uint32_t> want = ids;
        std::sort(want.begin(), want.end());
        want.erase(std::unique(want.begin(), want.end()), want.end());
        const Bitmap got = Bitmap::of_unsorted(ids);
        EXPECT_EQ(got.to_vector(), want) << ids.size();
        EXPECT_EQ(got.cardinality(), want.size());
    }
}

}  // namespace
}  // namespace corvalex
