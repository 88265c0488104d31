#include "structures/bitmap.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace corvalex {

Bitmap Bitmap::or_many(std::span<const Bitmap* const> bitmaps) {
    if (bitmaps.empty()) return Bitmap();
    if (bitmaps.size() == 1) return bitmaps[0]->copy();
    if (bitmaps.size() == 2) return or_of(*bitmaps[0], *bitmaps[1]);

    // CRoaring's many-way union turns every touched container into an 8 KiB
    // bitset and converts it back at the end: cheap per id, but a poor deal
    // when the inputs are sparse. Merging one by one costs about (inputs x
    // result size) instead. Pick by a rough cost estimate, counting one
    // bitset round trip per 64K-id chunk as ~2048 merged ids.
    uint64_t total = 0;
    uint32_t low = UINT32_MAX, high = 0;
    for (const Bitmap* b : bitmaps) {
        if (b->is_empty()) continue;
        total += b->cardinality();
        low = std::min(low, b->minimum());
        high = std::max(high, b->maximum());
    }
    if (total == 0) return Bitmap();
    const uint64_t chunks = (high >> 16) - (low >> 16) + 1;
    if (bitmaps.size() * total < 2048 * chunks) {
        Bitmap result = bitmaps[0]->copy();
        for (const Bitmap* b : bitmaps.subspan(1)) result.or_inplace(*b);
        return result;
    }

    // The C API wants a plain array of pointers: use the stack for the usual
    // handful, the heap only for very wide unions.
    constexpr size_t kInline = 128;
    std::array<const roaring_bitmap_t*, kInline> inline_ptrs;
    std::vector<const roaring_bitmap_t*> heap_ptrs;
    const roaring_bitmap_t** ptrs = inline_ptrs.data();
    if (bitmaps.size() > kInline) {
        heap_ptrs.resize(bitmaps.size());
        ptrs = heap_ptrs.data();
    }
    for (size_t i = 0; i < bitmaps.size(); ++i) ptrs[i] = bitmaps[i]->ptr_;
    return Bitmap(checked(roaring_bitmap_or_many(bitmaps.size(), ptrs)));
}

}  // namespace corvalex
