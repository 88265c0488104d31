// Owning wrapper over a CRoaring compressed bitmap of 32-bit ids.
//
// This is the only place in the project that calls `roaring_*`. It builds
// against CRoaring 0.2.x (Debian 12) as well as the 4.x releases, so it sticks
// to the functions that both provide: no bulk-add context, no iterator
// structs, no `init_with_capacity`.
//
// A Bitmap is move-only; `copy()` makes a deep copy. A moved-from Bitmap may
// only be destroyed or assigned to.
#pragma once

#include <roaring/roaring.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/panic.hpp"

namespace corvalex {

class Bitmap {
  public:
    // An empty bitmap.
    Bitmap() : ptr_(roaring_bitmap_create_with_capacity(0)) {
        // "assertion failed: ..." texts are the system's fixed messages.
        ensure(ptr_ != nullptr, "assertion failed: success");
    }
    Bitmap(std::initializer_list<uint32_t> ids) : Bitmap() { add_many(ids.begin(), ids.size()); }
    static Bitmap of(std::span<const uint32_t> ids) {
        Bitmap b;
        b.add_many(ids);
        return b;
    }
    // A bitmap of `ids` in any order, duplicates allowed; `ids` may be
    // reordered. Much cheaper per id than adding them one by one, which
    // inserts into the middle of the containers unless the ids come sorted.
    static Bitmap of_unsorted(std::span<uint32_t> ids);

    ~Bitmap() {
        if (ptr_ != nullptr) roaring_bitmap_free(ptr_);
    }
    Bitmap(Bitmap&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Bitmap& operator=(Bitmap&& other) noexcept {
        if (this != &other) {
            if (ptr_ != nullptr) roaring_bitmap_free(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;

    Bitmap copy() const { return Bitmap(checked(roaring_bitmap_copy(ptr_))); }

    // A second handle on `owner`'s bitmap, for a holder that reads through it
    // and never changes or frees it: the holder gives it up with `disown()`
    // before destroying it, and before `owner`'s bitmap goes.
    static Bitmap alias_of(const Bitmap& owner) noexcept { return Bitmap(owner.ptr_); }
    void disown() noexcept { ptr_ = nullptr; }
    // Whether both handles are on one bitmap.
    bool same_bitmap(const Bitmap& other) const noexcept { return ptr_ == other.ptr_; }

    // Replaces the contents with a copy of `other`, reusing this bitmap's storage.
    void overwrite_from(const Bitmap& other) {
        if (this == &other) return;
        ensure(roaring_bitmap_overwrite(ptr_, other.ptr_), "assertion failed: success");
    }

    void add(uint32_t id) { roaring_bitmap_add(ptr_, id); }
    void add_many(const uint32_t* ids, size_t n) {
        if (n != 0) roaring_bitmap_add_many(ptr_, n, ids);
    }
    void add_many(std::span<const uint32_t> ids) { add_many(ids.data(), ids.size()); }
    void remove(uint32_t id) { roaring_bitmap_remove(ptr_, id); }
    // Whether the id was absent (present) and has been added (removed).
    bool add_checked(uint32_t id) { return roaring_bitmap_add_checked(ptr_, id); }
    bool remove_checked(uint32_t id) { return roaring_bitmap_remove_checked(ptr_, id); }
    bool contains(uint32_t id) const { return roaring_bitmap_contains(ptr_, id); }
    void clear() { roaring_bitmap_clear(ptr_); }

    uint64_t cardinality() const { return roaring_bitmap_get_cardinality(ptr_); }
    bool is_empty() const { return roaring_bitmap_is_empty(ptr_); }
    // Smallest id, or UINT32_MAX when empty.
    uint32_t minimum() const { return roaring_bitmap_minimum(ptr_); }
    // Largest id, or 0 when empty.
    uint32_t maximum() const { return roaring_bitmap_maximum(ptr_); }

    void or_inplace(const Bitmap& other) { roaring_bitmap_or_inplace(ptr_, other.ptr_); }
    void and_inplace(const Bitmap& other) { roaring_bitmap_and_inplace(ptr_, other.ptr_); }
    void andnot_inplace(const Bitmap& other) { roaring_bitmap_andnot_inplace(ptr_, other.ptr_); }

    static Bitmap and_of(const Bitmap& a, const Bitmap& b) {
        return Bitmap(checked(roaring_bitmap_and(a.ptr_, b.ptr_)));
    }
    static Bitmap andnot_of(const Bitmap& a, const Bitmap& b) {
        return Bitmap(checked(roaring_bitmap_andnot(a.ptr_, b.ptr_)));
    }
    static Bitmap or_of(const Bitmap& a, const Bitmap& b) {
        return Bitmap(checked(roaring_bitmap_or(a.ptr_, b.ptr_)));
    }
    // Union of all bitmaps in one pass; null pointers are not allowed.
    static Bitmap or_many(std::span<const Bitmap* const> bitmaps);
    // Union of the bitmaps and of `ids`, which come in any order and may be
    // reordered.
    static Bitmap or_many(std::span<const Bitmap* const> bitmaps, std::span<uint32_t> ids);

    bool equals(const Bitmap& other) const { return roaring_bitmap_equals(ptr_, other.ptr_); }
    friend bool operator==(const Bitmap& a, const Bitmap& b) { return a.equals(b); }

    // Calls `f(id)` for every id in ascending order. If `f` returns bool,
    // false stops the walk. Exceptions thrown by `f` are carried across the C
    // library and rethrown here.
    template <class F>
    void for_each(F&& f) const;

    // Writes all ids in ascending order to `out`, which holds cardinality() ids.
    void to_array(uint32_t* out) const {
        if (!is_empty()) roaring_bitmap_to_uint32_array(ptr_, out);
    }
    // All ids in ascending order.
    std::vector<uint32_t> to_vector() const {
        std::vector<uint32_t> out(cardinality());
        if (!out.empty()) roaring_bitmap_to_uint32_array(ptr_, out.data());
        return out;
    }

  private:
    explicit Bitmap(roaring_bitmap_t* p) noexcept : ptr_(p) {}
    static roaring_bitmap_t* checked(roaring_bitmap_t* p) {
        ensure(p != nullptr, "assertion failed: !p.is_null()");
        return p;
    }

    roaring_bitmap_t* ptr_;
};

template <class F>
void Bitmap::for_each(F&& f) const {
    using Fn = std::remove_reference_t<F>;
    struct State {
        Fn* f;
        std::exception_ptr error;
    } state{&f, nullptr};
    auto step = [](uint32_t id, void* param) -> bool {
        auto* s = static_cast<State*>(param);
        try {
            if constexpr (std::is_same_v<std::invoke_result_t<Fn&, uint32_t>, bool>) {
                return (*s->f)(id);
            } else {
                (*s->f)(id);
                return true;
            }
        } catch (...) {
            s->error = std::current_exception();
            return false;
        }
    };
    roaring_iterate(ptr_, step, &state);
    if (state.error) std::rethrow_exception(state.error);
}

}  // namespace corvalex
