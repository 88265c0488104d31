// The id set kept per distinct attribute value.
//
//   HybridSet { Kind kind; u32 len; union { u32 ids[4]; Bitmap bitmap; } }   24 bytes
//     Empty (tag 0)  no ids
//     Small (tag 1)  ids[0 .. len-1] in arrival order, len <= 4
//     Large (tag 2)  the bitmap (len unused)
//
// Most values are held by a handful of objects, so a set starts inline and
// becomes a bitmap when a fifth id arrives, when a union does not fit in four
// slots, or when it is intersected. It never converts back. `Empty` only
// exists while a set's contents are taken out during a union or intersection
// (and as a receiver of a union); sets stored in maps are Small or Large.
// Every id occurs at most once. Copying a set copies its bitmap.
//
// A Large set may also be borrowed: it reads another holder's bitmap (the
// range tree's set of ids of one heavy number) instead of keeping its own.
// It sees that holder's changes as they happen; any change made through the
// set itself first gives it a copy of its own, as does copying it. The
// holder must outlive the borrowing and keep its bitmap in place (moving the
// `Bitmap` handle is fine).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "structures/bitmap.hpp"

namespace corvalex {

class HybridSet {
  public:
    enum class Kind : uint8_t { Empty, Small, Large };
    static constexpr uint32_t kInlineIds = 4;

    // The Empty form.
    HybridSet() noexcept {}
    // A Small set with no ids.
    static HybridSet make_small() noexcept { return HybridSet(Kind::Small); }
    // A Small set holding one id.
    static HybridSet make_single(uint32_t id) noexcept;
    // A Large set owning `bitmap`.
    static HybridSet make_large(Bitmap bitmap) noexcept;
    // A Large set borrowing `owner`'s bitmap.
    static HybridSet borrow(const Bitmap& owner) noexcept;

    ~HybridSet() { reset(); }
    HybridSet(const HybridSet& other);
    HybridSet(HybridSet&& other) noexcept;
    HybridSet& operator=(const HybridSet& other);
    HybridSet& operator=(HybridSet&& other) noexcept;

    Kind kind() const { return kind_; }
    // The used inline slots; empty unless Small.
    std::span<const uint32_t> small_ids() const {
        return kind_ == Kind::Small ? std::span<const uint32_t>(ids_.data(), len_)
                                    : std::span<const uint32_t>();
    }
    // The bitmap, or null unless Large.
    const Bitmap* large() const { return kind_ == Kind::Large ? &bitmap_ : nullptr; }
    bool is_borrowed() const { return borrowed_; }
    // Whether the set is borrowing `owner`'s bitmap.
    bool borrows(const Bitmap& owner) const { return borrowed_ && bitmap_.same_bitmap(owner); }
    // A borrowed set takes a copy of its own; others are left as they are.
    void own();

    void add(uint32_t id);
    void remove(uint32_t id);
    bool contains(uint32_t id) const;
    // Number of ids.
    uint64_t count() const;
    // O(1): a bitmap's cardinality walks every container.
    bool is_empty() const;

    // A new bitmap holding exactly the set's ids.
    Bitmap as_bitmap() const;
    // Adds this set's ids to `out` without an intermediate copy.
    void add_to(Bitmap& out) const;

    // The receiver becomes the union / intersection of both sets. Intersecting
    // with or into an Empty set is an internal error.
    void or_inplace(const HybridSet& other);
    void and_inplace(const HybridSet& other);

    // The union of two inline id lists: Small with a's ids then b's new ones
    // if they fit, Large otherwise.
    static HybridSet or_inplace_small(std::span<const uint32_t> a, std::span<const uint32_t> b);

  private:
    explicit HybridSet(Kind kind) noexcept : kind_(kind), ids_{} {}
    void reset() noexcept;
    // Takes other's contents, leaving it Empty; the receiver must be Empty.
    void steal(HybridSet& other) noexcept;
    HybridSet take() noexcept { return std::move(*this); }

    Kind kind_ = Kind::Empty;
    bool borrowed_ = false;  // Large only
    uint32_t len_ = 0;
    union {
        std::array<uint32_t, kInlineIds> ids_;
        Bitmap bitmap_;
    };
};

}  // namespace corvalex
