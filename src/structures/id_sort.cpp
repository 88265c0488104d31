#include "structures/id_sort.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include <absl/container/inlined_vector.h>

namespace corvalex {

void radix_sort(std::span<std::uint32_t> ids) {
    const std::size_t size = ids.size();
    if (size < 2) return;
    std::array<std::array<std::uint32_t, 256>, 4> counts{};
    for (const std::uint32_t id : ids)
        for (int digit = 0; digit < 4; ++digit) ++counts[digit][(id >> (8 * digit)) & 0xff];
    absl::InlinedVector<std::uint32_t, 16> scratch(size);
    std::uint32_t* from = ids.data();
    std::uint32_t* to = scratch.data();
    for (int digit = 0; digit < 4; ++digit) {
        auto& count = counts[digit];
        if (count[(from[0] >> (8 * digit)) & 0xff] == size) continue;  // all in one bucket
        std::uint32_t offset = 0;
        for (auto& bucket : count) offset += std::exchange(bucket, offset);
        for (std::size_t i = 0; i < size; ++i)
            to[count[(from[i] >> (8 * digit)) & 0xff]++] = from[i];
        std::swap(from, to);
    }
    if (from != ids.data()) std::copy(from, from + size, ids.data());
}

}  // namespace corvalex
