#include "structures/hybrid_set.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace corvalex {

static_assert(sizeof(HybridSet) <= 24, "HybridSet is stored per distinct value");

namespace {

bool holds(std::span<const uint32_t> ids, uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

HybridSet HybridSet::make_single(uint32_t id) noexcept {
    HybridSet s(Kind::Small);
    s.ids_[0] = id;
    s.len_ = 1;
    return s;
}

HybridSet HybridSet::make_large(Bitmap bitmap) noexcept {
    HybridSet s;
    new (&s.bitmap_) Bitmap(std::move(bitmap));
    s.kind_ = Kind::Large;
    return s;
}

HybridSet HybridSet::borrow(const Bitmap& owner) noexcept {
    HybridSet s = make_large(Bitmap::alias_of(owner));
    s.borrowed_ = true;
    return s;
}

void HybridSet::own() {
    if (!borrowed_) return;
    Bitmap copy = bitmap_.copy();
    bitmap_.disown();
    bitmap_ = std::move(copy);
    borrowed_ = false;
}

void HybridSet::reset() noexcept {
    if (kind_ == Kind::Large) {
        if (borrowed_) bitmap_.disown();
        bitmap_.~Bitmap();
    }
    kind_ = Kind::Empty;
    borrowed_ = false;
    len_ = 0;
}

HybridSet::HybridSet(const HybridSet& other) : len_(other.len_) {
    if (other.kind_ == Kind::Large) {
        new (&bitmap_) Bitmap(other.bitmap_.copy());
    } else if (other.kind_ == Kind::Small) {
        ids_ = other.ids_;
    }
    kind_ = other.kind_;
}

void HybridSet::steal(HybridSet& other) noexcept {
    len_ = other.len_;
    if (other.kind_ == Kind::Large) {
        new (&bitmap_) Bitmap(std::move(other.bitmap_));
    } else if (other.kind_ == Kind::Small) {
        ids_ = other.ids_;
    }
    kind_ = other.kind_;
    borrowed_ = other.borrowed_;
    other.reset();
}

HybridSet::HybridSet(HybridSet&& other) noexcept {
    steal(other);
}

HybridSet& HybridSet::operator=(const HybridSet& other) {
    if (this != &other) {
        if (kind_ == Kind::Large && !borrowed_ && other.kind_ == Kind::Large) {
            bitmap_.overwrite_from(other.bitmap_);
        } else {
            *this = HybridSet(other);
        }
    }
    return *this;
}

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
    if (this != &other) {
        reset();
        steal(other);
    }
    return *this;
}

void HybridSet::add(uint32_t id) {
    switch (kind_) {
        case Kind::Small: {
            if (holds(small_ids(), id)) return;
            if (len_ < kInlineIds) {
                ids_[len_++] = id;
                return;
            }
            Bitmap b = Bitmap::of(small_ids());
            b.add(id);
            *this = make_large(std::move(b));
            return;
        }
        case Kind::Large:
            own();
            bitmap_.add(id);
            return;
        case Kind::Empty:
            break;
    }
    panic("not implemented");
}

void HybridSet::remove(uint32_t id) {
    switch (kind_) {
        case Kind::Small: {
            uint32_t* end = ids_.data() + len_;
            uint32_t* it = std::find(ids_.data(), end, id);
            if (it == end) return;
            std::copy(it + 1, end, it);
            --len_;
            return;
        }
        case Kind::Large:
            own();
            bitmap_.remove(id);
            return;
        case Kind::Empty:
            break;
    }
    panic("not yet implemented");
}

bool HybridSet::contains(uint32_t id) const {
    switch (kind_) {
        case Kind::Small:
            return holds(small_ids(), id);
        case Kind::Large:
            return bitmap_.contains(id);
        case Kind::Empty:
            break;
    }
    return false;
}

uint64_t HybridSet::count() const {
    switch (kind_) {
        case Kind::Small:
            return len_;
        case Kind::Large:
            return bitmap_.cardinality();
        case Kind::Empty:
            break;
    }
    return 0;
}

bool HybridSet::is_empty() const {
    switch (kind_) {
        case Kind::Small:
            return len_ == 0;
        case Kind::Large:
            return bitmap_.is_empty();
        case Kind::Empty:
            break;
    }
    return true;
}

Bitmap HybridSet::as_bitmap() const {
    if (kind_ == Kind::Large) return bitmap_.copy();
    return Bitmap::of(small_ids());
}

void HybridSet::add_to(Bitmap& out) const {
    if (kind_ == Kind::Large) {
        out.or_inplace(bitmap_);
    } else {
        out.add_many(small_ids());
    }
}

HybridSet HybridSet::or_inplace_small(std::span<const uint32_t> a, std::span<const uint32_t> b) {
    HybridSet merged(Kind::Small);
    std::copy(a.begin(), a.end(), merged.ids_.begin());
    merged.len_ = static_cast<uint32_t>(a.size());
    for (uint32_t id : b) {
        if (holds(a, id)) continue;
        if (merged.len_ == kInlineIds) {
            Bitmap bm = Bitmap::of(a);
            bm.add_many(b);
            return make_large(std::move(bm));
        }
        merged.ids_[merged.len_++] = id;
    }
    return merged;
}

void HybridSet::or_inplace(const HybridSet& other) {
    if (this == &other || other.kind_ == Kind::Empty) return;
    own();
    HybridSet mine = take();
    switch (mine.kind_) {
        case Kind::Empty:
            *this = other;
            return;
        case Kind::Small:
            if (other.kind_ == Kind::Small) {
                *this = or_inplace_small(mine.small_ids(), other.small_ids());
            } else {
                Bitmap b = Bitmap::of(mine.small_ids());
                b.or_inplace(other.bitmap_);
                *this = make_large(std::move(b));
            }
            return;
        case Kind::Large:
            other.add_to(mine.bitmap_);
            *this = std::move(mine);
            return;
    }
}

void HybridSet::and_inplace(const HybridSet& other) {
    if (kind_ == Kind::Empty || other.kind_ == Kind::Empty) panic("not implemented");
    if (this == &other) {
        if (kind_ == Kind::Small) *this = make_large(Bitmap::of(small_ids()));
        return;
    }
    own();
    HybridSet mine = take();
    Bitmap result =
        mine.kind_ == Kind::Large ? std::move(mine.bitmap_) : Bitmap::of(mine.small_ids());
    if (other.kind_ == Kind::Large) {
        result.and_inplace(other.bitmap_);
    } else {
        result.and_inplace(Bitmap::of(other.small_ids()));
    }
    *this = make_large(std::move(result));
}

}  // namespace corvalex
