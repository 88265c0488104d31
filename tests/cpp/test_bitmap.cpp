#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/bitmap.hpp"

namespace corvalex {
namespace {

using Ids = std::vector<uint32_t>;

TEST(Bitmap, BasicMembershipAndExtremes) {
    Bitmap b;
    EXPECT_TRUE(b.is_empty());
    EXPECT_EQ(b.minimum(), UINT32_MAX);
    EXPECT_EQ(b.maximum(), 0u);
    const uint32_t ids[] = {7, 3, 0xFFFFFFFFu, 3, 65536};
    b.add_many(ids, 5);
    b.add(1);
    EXPECT_EQ(b.cardinality(), 5u);
    EXPECT_TRUE(b.contains(0xFFFFFFFFu));
    EXPECT_EQ(b.minimum(), 1u);
    EXPECT_EQ(b.maximum(), 0xFFFFFFFFu);
    b.remove(3);
    b.remove(4);
    EXPECT_EQ(b.to_vector(), (Ids{1, 7, 65536, 0xFFFFFFFFu}));
    b.clear();
    EXPECT_TRUE(b.is_empty());
}

TEST(Bitmap, MoveCopyAndOverwriteAreIndependent) {
    Bitmap a{1, 2, 3};
    Bitmap c = a.copy();
    c.add(4);
    EXPECT_EQ(a.cardinality(), 3u);
    Bitmap moved = std::move(a);
    a = Bitmap{9};  // a moved-from bitmap can be assigned again
    EXPECT_EQ(moved.to_vector(), (Ids{1, 2, 3}));
    EXPECT_EQ(a.to_vector(), (Ids{9}));
    a.overwrite_from(c);
    c.clear();
    EXPECT_EQ(a.to_vector(), (Ids{1, 2, 3, 4}));
    a.overwrite_from(a);
    EXPECT_EQ(a.cardinality(), 4u);
}

TEST(Bitmap, SetAlgebra) {
    const Bitmap a{1, 2, 3, 100000};
    const Bitmap b{2, 3, 4};
    EXPECT_EQ(Bitmap::and_of(a, b).to_vector(), (Ids{2, 3}));
    EXPECT_EQ(Bitmap::andnot_of(a, b).to_vector(), (Ids{1, 100000}));
    EXPECT_EQ(Bitmap::or_of(a, b).to_vector(), (Ids{1, 2, 3, 4, 100000}));
    Bitmap x = a.copy();
    x.and_inplace(b);
    EXPECT_EQ(x, (Bitmap{2, 3}));
    x.or_inplace(Bitmap{8});
    x.andnot_inplace(Bitmap{3});
    EXPECT_EQ(x, (Bitmap{2, 8}));
    EXPECT_FALSE(x == a);
}

TEST(Bitmap, OrManyCoversEmptySmallAndWideInputs) {
    EXPECT_TRUE(Bitmap::or_many({}).is_empty());
    // More inputs than the inline pointer buffer holds.
    std::vector<Bitmap> parts;
    for (uint32_t i = 0; i < 300; ++i) parts.push_back(Bitmap{i * 1000, i});
    for (size_t n : {size_t{1}, size_t{2}, size_t{3}, size_t{300}}) {
        std::vector<const Bitmap*> ptrs;
        Bitmap expected;
        for (size_t i = 0; i < n; ++i) {
            ptrs.push_back(&parts[i]);
            expected.or_inplace(parts[i]);
        }
        Bitmap u = Bitmap::or_many(ptrs);
        EXPECT_EQ(u, expected) << n;
        u.add(123456789);  // never aliases an input
        EXPECT_FALSE(parts[0].contains(123456789));
    }
}

TEST(Bitmap, IterationInOrderWithEarlyStopAndExceptions) {
    Bitmap b{5, 1, 70000, 3};
    Ids seen;
    b.for_each([&](uint32_t id) { seen.push_back(id); });
    EXPECT_EQ(seen, (Ids{1, 3, 5, 70000}));
    seen.clear();
    b.for_each([&](uint32_t id) -> bool {
        seen.push_back(id);
        return id < 3;
    });
    EXPECT_EQ(seen, (Ids{1, 3}));
    int calls = 0;
    EXPECT_THROW(b.for_each([&](uint32_t) {
        ++calls;
        throw std::runtime_error("stop");
    }),
                 std::runtime_error);
    EXPECT_EQ(calls, 1);
}

TEST(Bitmap, CopyRangeReadsChunks) {
    Bitmap b;
    for (uint32_t i = 0; i < 1000; ++i) b.add(i * 3);
    Ids all;
    uint32_t chunk[64];
    for (size_t offset = 0;;) {
        const size_t n = b.copy_range(offset, chunk);
        if (n == 0) break;
        all.insert(all.end(), chunk, chunk + n);
        offset += n;
    }
    EXPECT_EQ(all, b.to_vector());
    EXPECT_EQ(b.copy_range(1000, chunk), 0u);
    EXPECT_EQ(b.copy_range(999, chunk), 1u);
    EXPECT_EQ(chunk[0], 2997u);
}

}  // namespace
}  // namespace corvalex
