// The range tree's key: an order-preserving 96-bit image of a number above a
// 32-bit object id, compared as one unsigned 128-bit integer.
//
//   bit 127 .. 32   sort_prefix(value)
//   bit  31 ..  0   id
//
// sort_prefix(x), 96 bits:
//   x == 0 (Int 0, +0.0, -0.0)  -> 1 << 95
//   otherwise, with |x| = m * 2^e, 1 <= m < 2 (infinities and NaNs: e = 1024,
//   m = 1 + fraction / 2^52):
//     bit 95       sign of x
//     bit 94 .. 80 e + 16383
//     bit 79 .. 0  m, its leading 1 in bit 79, then its fraction bits
//   then: a clear sign bit is set; a set sign bit inverts all 96 bits.
//
// This is exact for every int64_t (INT64_MIN included) and every double
// (subnormals too), so an Int and a Float of equal value get equal prefixes.
// Order: -NaN < -inf < negatives < 0 < positives < +inf < +NaN.
#pragma once

#include <cstdint>

#include "structures/number.hpp"

namespace corvalex {

__extension__ typedef unsigned __int128 u128;

// The 96-bit prefix, in the low bits of the result.
u128 sort_prefix(Number value);

struct CompositeKey128 {
    u128 key;

    CompositeKey128() = default;
    constexpr explicit CompositeKey128(u128 k) : key(k) {}
    CompositeKey128(Number value, uint32_t id) : key(sort_prefix(value) << 32 | id) {}

    constexpr uint32_t id() const { return static_cast<uint32_t>(key); }
    constexpr u128 prefix() const { return key >> 32; }

    // The smallest and largest keys whose prefix is `prefix`.
    static constexpr CompositeKey128 first_of(u128 prefix) { return CompositeKey128(prefix << 32); }
    static constexpr CompositeKey128 last_of(u128 prefix) {
        return CompositeKey128(prefix << 32 | 0xFFFFFFFFu);
    }

    friend constexpr bool operator==(CompositeKey128 a, CompositeKey128 b) {
        return a.key == b.key;
    }
    friend constexpr bool operator<(CompositeKey128 a, CompositeKey128 b) { return a.key < b.key; }
    friend constexpr bool operator<=(CompositeKey128 a, CompositeKey128 b) {
        return a.key <= b.key;
    }
    friend constexpr bool operator>(CompositeKey128 a, CompositeKey128 b) { return a.key > b.key; }
    friend constexpr bool operator>=(CompositeKey128 a, CompositeKey128 b) {
        return a.key >= b.key;
    }
};

}  // namespace corvalex
