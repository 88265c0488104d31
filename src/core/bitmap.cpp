#include "core/bitmap.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace corvalex {

Bitmap Bitmap::or_many(std::span<const Bitmap* const> bitmaps) {
    if (bitmaps.empty()) return Bitmap();
    if (bitmaps.size() == 1) return bitmaps[0]->copy();
    if (bitmaps.size() == 2) return or_of(*bitmaps[0], *bitmaps[1]);

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

size_t Bitmap::copy_range(size_t offset, std::span<uint32_t> out) const {
    const uint64_t total = cardinality();
    if (offset >= total || out.empty()) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), total - offset));
    ensure(roaring_bitmap_range_uint32_array(ptr_, offset, n, out.data()),
           "assertion failed: success");
    return n;
}

}  // namespace corvalex
