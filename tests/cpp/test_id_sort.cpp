#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "structures/id_sort.hpp"

namespace corvalex {
namespace {

std::vector<std::uint32_t> radix_sorted(std::vector<std::uint32_t> ids) {
    radix_sort(ids);
    return ids;
}

std::vector<std::uint32_t> sorted(std::vector<std::uint32_t> ids) {
    std::sort(ids.begin(), ids.end());
    return ids;
}

TEST(RadixSort, EmptyAndSingleListsAreLeftAlone) {
    radix_sort(std::span<std::uint32_t>());  // no element to look at, not even the first
    EXPECT_EQ(radix_sorted({7}), (std::vector<std::uint32_t>{7}));
}

TEST(RadixSort, MatchesAComparisonSortWhateverBytesTheIdsShare) {
    std::mt19937 random(17);
    const std::vector<std::vector<std::uint32_t>> cases = {
        {5, 5, 5},
        {0xffffffff, 0, 0x80000000, 1},
        {0x0300, 0x0100, 0x0200},              // only the second byte differs
        {0x03000001, 0x01000001, 0x02000001},  // only the top byte differs
        {1, 4, 7, 2, 5, 8, 3, 6, 9},           // interleaved sorted runs
    };
    for (const auto& ids : cases) EXPECT_EQ(radix_sorted(ids), sorted(ids));
    for (const std::uint32_t mask : {0xffu, 0xffffu, 0xff00ff00u, 0xffffffffu}) {
        std::vector<std::uint32_t> ids(1000);
        for (auto& id : ids) id = random() & mask;
        EXPECT_EQ(radix_sorted(ids), sorted(ids)) << mask;
    }
}

}  // namespace
}  // namespace corvalex
