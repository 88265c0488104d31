#include "structures/bitmap.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include <absl/container/inlined_vector.h>

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

// The ids of a few consecutive 64K-id chunks as one bitset, with the number
// of ids in each chunk.
struct ChunkedBitset {
    ChunkedBitset(uint32_t first, uint64_t chunks)
        : first_chunk(first), words(chunks * kChunkWords), counts(chunks) {}

    void mark(uint32_t id) {
        const uint32_t at = id - (first_chunk << 16);
        uint64_t& word = words[at >> 6];
        const uint64_t bit = uint64_t{1} << (at & 63);
        counts[at >> 16] += (word & bit) == 0 ? 1 : 0;
        word |= bit;
    }

    uint32_t first_chunk;
    std::vector<uint64_t> words;
    std::vector<uint32_t> counts;
};

size_t container_bytes(uint32_t count) {
    return count > kMaxArrayIds ? kChunkWords * sizeof(uint64_t) : count * sizeof(uint16_t);
}

// Writes the bitset in CRoaring's portable serialised form (no run
// containers) and reads it back: that makes each container in one step
// through the public API, the same in every CRoaring release.
roaring_bitmap_t* from_bitset(const ChunkedBitset& bits) {
    constexpr uint32_t kCookieWithoutRuns = 12346;
    const auto chunks = static_cast<uint32_t>(bits.counts.size());
    uint32_t containers = 0;
    size_t payload = 0;
    for (const uint32_t count : bits.counts) {
        if (count == 0) continue;
        ++containers;
        payload += container_bytes(count);
    }
    const size_t header = 8 + 8 * static_cast<size_t>(containers);
    const size_t size = header + payload;
    const std::unique_ptr<char[]> buffer(new char[size]);
    char* at = put(buffer.get(), kCookieWithoutRuns);
    at = put(at, containers);
    for (uint32_t c = 0; c < chunks; ++c) {
        if (bits.counts[c] == 0) continue;
        at = put(at, static_cast<uint16_t>(bits.first_chunk + c));
        at = put(at, static_cast<uint16_t>(bits.counts[c] - 1));
    }
    size_t offset = header;
    for (const uint32_t count : bits.counts) {
        if (count == 0) continue;
        at = put(at, static_cast<uint32_t>(offset));
        offset += container_bytes(count);
    }
    for (uint32_t c = 0; c < chunks; ++c) {
        const uint32_t count = bits.counts[c];
        if (count == 0) continue;
        const uint64_t* chunk = bits.words.data() + static_cast<size_t>(c) * kChunkWords;
        if (count > kMaxArrayIds) {
            std::memcpy(at, chunk, kChunkWords * sizeof(uint64_t));
            at += kChunkWords * sizeof(uint64_t);
            continue;
        }
        for (uint32_t w = 0; w < kChunkWords; ++w) {
            for (uint64_t word = chunk[w]; word != 0; word &= word - 1)
                at = put(at, static_cast<uint16_t>(w * 64 + std::countr_zero(word)));
        }
    }
    return roaring_bitmap_portable_deserialize_safe(buffer.get(), size);
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
    ChunkedBitset bits(first_chunk, chunks);
    for (const uint32_t id : ids) bits.mark(id);
    return Bitmap(checked(from_bitset(bits)));
}

Bitmap Bitmap::or_many(std::span<const Bitmap* const> bitmaps, std::span<uint32_t> ids) {
    if (ids.empty()) return or_many(bitmaps);
    Bitmap loose = of_unsorted(ids);
    if (bitmaps.empty()) return loose;
    absl::InlinedVector<const Bitmap*, 64> all(bitmaps.begin(), bitmaps.end());
    all.push_back(&loose);
    return or_many(all);
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
