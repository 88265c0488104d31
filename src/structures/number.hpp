// A plain numeric value as the range tree sees it: the `Int` or `Float` cast
// of an attribute value. The tag order (Int, then Float) matches the cast of
// attribute values.
#pragma once

#include <cstdint>

namespace corvalex {

class Number {
  public:
    enum class Kind : uint8_t { Int, Float };

    static constexpr Number from_int(int64_t v) { return Number(v); }
    static constexpr Number from_float(double v) { return Number(v); }

    constexpr Kind kind() const { return kind_; }
    constexpr bool is_int() const { return kind_ == Kind::Int; }
    constexpr bool is_float() const { return kind_ == Kind::Float; }
    // Only meaningful for the matching kind.
    constexpr int64_t as_int() const { return int_; }
    constexpr double as_float() const { return float_; }

  private:
    constexpr explicit Number(int64_t v) : kind_(Kind::Int), int_(v) {}
    constexpr explicit Number(double v) : kind_(Kind::Float), float_(v) {}

    Kind kind_;
    union {
        int64_t int_;
        double float_;
    };
};

}  // namespace corvalex
