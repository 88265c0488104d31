// Radix sort of ids, whatever bytes they share.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

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

}  // namespace
}  // namespace corvalex
