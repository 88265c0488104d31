// Sorting object ids in linear time.
#pragma once

#include <cstdint>
#include <span>

namespace corvalex {

// Sorts `ids` ascending with up to four counting passes over their bytes,
// skipping a byte that all ids share. The ids of several values come as
// interleaved sorted runs, a poor case for comparison sorts.
void radix_sort(std::span<std::uint32_t> ids);

}  // namespace corvalex
