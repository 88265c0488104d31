#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "structures/bitmap.hpp"

namespace corvalex {
namespace {

using Ids = std::vector<uint32_t>;

TEST(Bitmap, MembershipAlgebraAndOwnership) {
    Bitmap b;
    EXPECT_EQ(b.minimum(), UINT32_MAX);
    EXPECT_EQ(b.maximum(), 0u);
    const uint32_t ids[] = {7, 3, 0xFFFFFFFFu, 3, 65536};
    b.add_many(ids, 5);
    b.remove(3);
    EXPECT_EQ(b.to_vector(), (Ids{7, 65536, 0xFFFFFFFFu}));
    EXPECT_EQ(b.minimum(), 7u);

    const Bitmap x{1, 2, 3, 100000}, y{2, 3, 4};
    EXPECT_EQ(Bitmap::and_of(x, y).to_vector(), (Ids{2, 3}));
    EXPECT_EQ(Bitmap::andnot_of(x, y).to_vector(), (Ids{1, 100000}));
    Bitmap z = x.copy();
    z.or_inplace(y);
    z.andnot_inplace(Bitmap{3});
    EXPECT_EQ(z, (Bitmap{1, 2, 4, 100000}));
    EXPECT_EQ(x.cardinality(), 4u);  // the copy is independent

    Bitmap moved = std::move(z);
    z = Bitmap{9};  // a moved-from bitmap can be assigned again
    z.overwrite_from(moved);
    moved.clear();
    EXPECT_EQ(z.cardinality(), 4u);
    EXPECT_TRUE(moved.is_empty());
}

TEST(Bitmap, OrManyMatchesPairwiseUnionForSparseAndDenseInputs) {
    EXPECT_TRUE(Bitmap::or_many({}).is_empty());
    // Sparse inputs are merged one by one, dense ones by CRoaring's lazy union;
    // more than 128 inputs also take the heap path for the pointer array.
    std::vector<Bitmap> sparse, dense;
    for (uint32_t i = 0; i < 300; ++i) {
        sparse.push_back(Bitmap{i * 1000, i});
        Bitmap d;
        for (uint32_t k = 0; k < 2000; ++k) d.add(i * 7 + k * 3);
        dense.push_back(std::move(d));
    }
    for (auto* inputs : {&sparse, &dense}) {
        for (size_t n : {size_t{1}, size_t{3}, size_t{300}}) {
            std::vector<const Bitmap*> ptrs;
            Bitmap expected;
            for (size_t i = 0; i < n; ++i) {
                ptrs.push_back(&(*inputs)[i]);
                expected.or_inplace((*inputs)[i]);
            }
            Bitmap u = Bitmap::or_many(ptrs);
            EXPECT_EQ(u, expected) << n;
            u.add(0xFFFFFFF0u);  // never aliases an input
            EXPECT_FALSE((*inputs)[0].contains(0xFFFFFFF0u));
        }
    }
}

TEST(Bitmap, IterationInOrderWithEarlyStopAndExceptions) {
    Bitmap b{5, 1, 70000, 3};
    Ids seen;
    b.for_each([&](uint32_t id) -> bool {
        seen.push_back(id);
        return id < 5;
    });
    EXPECT_EQ(seen, (Ids{1, 3, 5}));
    int calls = 0;
    auto throwing = [&](uint32_t) {
        ++calls;
        throw std::runtime_error("stop");
    };
    EXPECT_THROW(b.for_each(throwing), std::runtime_error);
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace corvalex
