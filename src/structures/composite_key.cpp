#include "structures/composite_key.hpp"

#include <bit>

namespace corvalex {
namespace {

constexpr int kExponentBias = 16383;
constexpr u128 kSignBit = u128{1} << 95;
constexpr u128 kMask96 = (u128{1} << 96) - 1;

// `mantissa` carries m with its leading 1 in bit 63.
u128 layout(bool negative, int exponent, uint64_t mantissa) {
    u128 bits = u128{static_cast<uint32_t>(exponent + kExponentBias)} << 80;
    bits |= u128{mantissa} << 16;
    if (!negative) return bits | kSignBit;
    return ~(bits | kSignBit) & kMask96;
}

}  // namespace

u128 sort_prefix(Number value) {
    if (value.is_int()) {
        const int64_t v = value.as_int();
        if (v == 0) return kSignBit;
        const bool negative = v < 0;
        // Unsigned negation keeps INT64_MIN exact.
        const uint64_t magnitude =
            negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        const int lead = std::countl_zero(magnitude);
        return layout(negative, 63 - lead, magnitude << lead);
    }

    const uint64_t bits = std::bit_cast<uint64_t>(value.as_float());
    const bool negative = (bits >> 63) != 0;
    const int exponent_field = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    if (exponent_field == 0) {
        if (fraction == 0) return kSignBit;
        // Subnormal: fraction * 2^-1074, normalised.
        const int lead = std::countl_zero(fraction);
        return layout(negative, (63 - lead) - 1074, fraction << lead);
    }
    // Normal numbers, and infinities and NaNs as if normal with e = 1024.
    return layout(negative, exponent_field - 1023, uint64_t{1} << 63 | fraction << 11);
}

}  // namespace corvalex
