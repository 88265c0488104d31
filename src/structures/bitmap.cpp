#include "structures/bitmap.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "structures/id_sort.hpp"

namespace corvalex {

namespace {

constexpr uint32_t kChunkWords = 1 << 10;  // 64-bit words per 64K-id chunk
constexpr uint32_t kMaxArrayIds = 4096;    // larger containers are bitsets

// Ids per chunk of span below which sorting beats marking a bitset: zeroing
// and scanning a chunk's 8 KiB costs about as much as sorting this many.
constexpr uint64_t kIdsPerChunkForBitset = 32;

template <class T>
char* put(char* at, T value) {
    std::memcpy(at, &value, sizeof value);
    return at + sizeof value;
}

// Builds the bitmap from a bitset over the chunks `first_chunk` on, written
// in CRoaring's portable serialised form (no run containers) and read back:
// that makes each container in one step through the public API, the same
// in every CRoaring release.
roaring_bitmap_t* from_bitset(const std::vector<uint64_t>& words, uint32_t first_chunk) {
    constexpr uint32_t kCookieWithoutRuns = 12346;
    const uint32_t chunks = static_cast<uint32_t>(words.size() / kChunkWords);
    std::vector<uint32_t> counts(chunks);
    uint32_t containers = 0;
    size_t payload = 0;
    for (uint32_t c = 0; c < chunks; ++c) {
        uint32_t n = 0;
        for (uint32_t w = 0; w < kChunkWords; ++w) n += std::popcount(words[c * kChunkWords + w]);
        counts[c] = n;
        if (n == 0) continue;
        ++containers;
        payload += n > kMaxArrayIds ? kChunkWords * sizeof(uint64_t) : n * sizeof(uint16_t);
    }
    const size_t header = 8 + 8 * static_cast<size_t>(containers);
    std::vector<char> buffer(header + payload);
    char* at = put(buffer.data(), kCookieWithoutRuns);
    at = put(at, containers);
    for (uint32_t c = 0; c < chunks; ++c) {
        if (counts[c] == 0) continue;
        at = put(at, static_cast<uint16_t>(first_chunk + c));
        at = put(at, static_cast<uint16_t>(counts[c] - 1));
    }
    size_t offset = header;
    for (uint32_t c = 0; c < chunks; ++c) {
        if (counts[c] == 0) continue;
        at = put(at, static_cast<uint32_t>(offset));
        offset += counts[c] > kMaxArrayIds ? kChunkWords * sizeof(uint64_t)
                                           : counts[c] * sizeof(uint16_t);
    }
    for (uint32_t c = 0; c < chunks; ++c) {
        const uint64_t* chunk = words.data() + static_cast<size_t>(c) * kChunkWords;
        if (counts[c] > kMaxArrayIds) {
            std::memcpy(at, chunk, kChunkWords * sizeof(uint64_t));
            at += kChunkWords * sizeof(uint64_t);
            continue;
        }
        for (uint32_t w = 0; w < kChunkWords; ++w) {
            for (uint64_t bits = chunk[w]; bits != 0; bits &= bits - 1)
                at = put(at, static_cast<uint16_t>(w * 64 + std::countr_zero(bits)));
        }
    }
    return roaring_bitmap_portable_deserialize_safe(buffer.data(), buffer.size());
}

}  // namespace

Bitmap Bitmap::of_unsorted(std::span<uint32_t> ids) {
    if (ids.empty()) return Bitmap();
    const auto [low, high] = std::minmax_element(ids.begin(), ids.end());
    const uint32_t first_chunk = *low >> 16;
    const uint64_t chunks = (*high >> 16) - first_chunk + 1;
    if (std::endian::native != std::endian::little || chunks * kIdsPerChunkForBitset > ids.size()) {
        radix_sort(ids);
        return of(ids);
    }
    std::vector<uint64_t> words(chunks * kChunkWords);
    const uint32_t base = first_chunk << 16;
    for (const uint32_t id : ids) words[(id - base) >> 6] |= uint64_t{1} << (id & 63);
    return Bitmap(checked(from_bitset(words, first_chunk)));
}

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
