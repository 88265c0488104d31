#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "structures/composite_key.hpp"

namespace corvalex {
namespace {

using limits = std::numeric_limits<double>;
constexpr u128 kZero = u128{1} << 95;

Number I(int64_t v) {
    return Number::from_int(v);
}
Number F(double v) {
    return Number::from_float(v);
}
u128 P(Number n) {
    return sort_prefix(n);
}

// Exact comparison of two numbers (x86-64 long double holds every int64 and
// every double exactly).
long double exact(Number n) {
    return n.is_int() ? static_cast<long double>(n.as_int())
                      : static_cast<long double>(n.as_float());
}

TEST(SortPrefix, ZeroesShareTheMiddlePrefix) {
    EXPECT_EQ(P(I(0)), kZero);
    EXPECT_EQ(P(F(0.0)), kZero);
    EXPECT_EQ(P(F(-0.0)), kZero);
}

TEST(SortPrefix, IntAndFloatOfEqualValueAreEqual) {
    const int64_t values[] = {1,
                              -1,
                              3,
                              -2,
                              1 << 30,
                              int64_t{1} << 53,
                              -(int64_t{1} << 53),
                              int64_t{3} << 60,
                              std::numeric_limits<int64_t>::min()};
    for (int64_t v : values) {
        EXPECT_EQ(P(I(v)), P(F(static_cast<double>(v)))) << v;
    }
}

TEST(SortPrefix, FollowsTheDocumentedOrder) {
    const double nan = limits::quiet_NaN();
    const std::vector<Number> ascending = {
        F(-nan),
        F(-limits::infinity()),
        F(-limits::max()),
        F(-9223372036854775808.0 * 2),
        I(std::numeric_limits<int64_t>::min()),
        I(std::numeric_limits<int64_t>::min() + 1),
        I(-2),
        F(-1.5),
        I(-1),
        F(-limits::denorm_min()),
        I(0),
        F(limits::denorm_min()),
        F(2 * limits::denorm_min()),
        F(limits::min()),
        F(0.5),
        I(1),
        F(std::nextafter(1.0, 2.0)),
        I(2),
        I((int64_t{1} << 53) + 1),
        F(9007199254740994.0),
        I(std::numeric_limits<int64_t>::max() - 1),
        I(std::numeric_limits<int64_t>::max()),
        F(9223372036854775808.0),
        F(limits::max()),
        F(limits::infinity()),
        F(nan),
        F(std::bit_cast<double>(uint64_t{0x7FFFFFFFFFFFFFFF})),
    };
    for (size_t i = 1; i < ascending.size(); ++i) {
        EXPECT_LT(P(ascending[i - 1]), P(ascending[i])) << "position " << i;
    }
    // Negative values sort below the zero prefix, positive ones above it.
    EXPECT_LT(P(F(-limits::denorm_min())), kZero);
    EXPECT_GT(P(F(limits::denorm_min())), kZero);
    EXPECT_LT(P(F(-nan)), P(F(-limits::infinity())));
}

TEST(SortPrefix, RandomPairsCompareLikeTheirExactValues) {
    std::mt19937_64 rng(12345);
    auto random_number = [&]() -> Number {
        switch (rng() % 4) {
            case 0:
                return I(static_cast<int64_t>(rng()));
            case 1:
                return I(static_cast<int64_t>(rng() % 2001) - 1000);
            case 2: {
                double d;
                do d = std::bit_cast<double>(rng());
                while (std::isnan(d));
                return F(d);
            }
            default:
                return F(static_cast<double>(static_cast<int64_t>(rng() % 2001) - 1000) / 4);
        }
    };
    for (int i = 0; i < 200000; ++i) {
        const Number a = random_number();
        const Number b = random_number();
        const long double x = exact(a), y = exact(b);
        if (x < y) {
            ASSERT_LT(P(a), P(b)) << static_cast<double>(x) << " " << static_cast<double>(y);
        } else if (x > y) {
            ASSERT_GT(P(a), P(b)) << static_cast<double>(x) << " " << static_cast<double>(y);
        } else {
            ASSERT_EQ(P(a), P(b)) << static_cast<double>(x);
        }
    }
}

TEST(CompositeKey128, OrdersByValueThenId) {
    const CompositeKey128 int3(I(3), 7);
    const CompositeKey128 float3(F(3.0), 5);
    EXPECT_LT(float3, int3);
    EXPECT_EQ(int3.prefix(), float3.prefix());
    EXPECT_EQ(int3.id(), 7u);
    EXPECT_LT(CompositeKey128(I(2), 0xFFFFFFFFu), CompositeKey128(F(2.5), 0));
    EXPECT_EQ(CompositeKey128::first_of(int3.prefix()), CompositeKey128(I(3), 0));
    EXPECT_EQ(CompositeKey128::last_of(int3.prefix()), CompositeKey128(F(3.0), 0xFFFFFFFFu));
}

}  // namespace
}  // namespace corvalex
