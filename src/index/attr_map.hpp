// An object's attributes: name -> captured value.
//
//   AttrMap { shared_ptr<const AttrShape> shape; vector<PyValue> values }
//   AttrShape { vector<AttrName> names; parent; children: name -> weak shape with that name
//   appended }
//
// Objects of one kind carry the same names, assigned in the same order, so
// the names live in a shared, immutable shape and each object keeps only its
// values (values[i] belongs to shape->names()[i]). Assigning a new name moves
// the object to the child shape, which is shared by every object that took
// the same path. Lookups scan the few names linearly; iteration follows the
// order in which names were first assigned.
//
// Every shared shape keeps its own copy of the names before it, so sharing
// stops at kMaxSharedNames names: a map with more owns a private shape with a
// name index, grown in place while no copy of the map shares it (copied on
// the first new name otherwise). An object with n names thus costs O(n).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "index/value.hpp"

namespace corvalex {

using AttrName = std::string;

// Attribute names beginning with an underscore are never indexed.
inline bool is_public_name(std::string_view name) noexcept {
    return name.empty() || name.front() != '_';
}

inline constexpr std::size_t kMaxSharedNames = 64;

// Attribute names are short: mixed eight bytes at a time, inline, where
// the library hash of a string is a call that costs a lookup more than the
// table's probe itself.
struct AttrNameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept {
        std::uint64_t hash = name.size() * 0x9e3779b97f4a7c15ULL;
        std::size_t at = 0;
        for (; at + 8 <= name.size(); at += 8) {
            std::uint64_t word;
            std::memcpy(&word, name.data() + at, 8);
            hash = mix(hash ^ word);
        }
        // The last 1..7 bytes as two overlapping reads (the length, mixed in
        // above, tells apart names the overlap would confuse).
        const char* rest = name.data() + at;
        const std::size_t left = name.size() - at;
        std::uint64_t tail = 0;
        if (left >= 4) {
            std::uint32_t low, high;
            std::memcpy(&low, rest, 4);
            std::memcpy(&high, rest + left - 4, 4);
            tail = (std::uint64_t(high) << 32) | low;
        } else if (left > 0) {
            auto byte = [&](std::size_t i) {
                return std::uint64_t(static_cast<unsigned char>(rest[i]));
            };
            tail = (byte(0) << 16) | (byte(left / 2) << 8) | byte(left - 1);
        }
        return mix(hash ^ tail);
    }

  private:
    static std::uint64_t mix(std::uint64_t x) noexcept {
        x *= 0xbf58476d1ce4e5b9ULL;
        return x ^ (x >> 31);
    }
};

class AttrShape {
  public:
    AttrShape(std::vector<AttrName> names, std::shared_ptr<const AttrShape> parent)
        : names_(std::move(names)), parent_(std::move(parent)) {}

    const std::vector<AttrName>& names() const noexcept { return names_; }

    // The position of `name`, or -1.
    std::ptrdiff_t index_of(std::string_view name) const noexcept {
        if (is_private()) {
            auto found = positions_.find(name);
            return found == positions_.end() ? -1 : static_cast<std::ptrdiff_t>(found->second);
        }
        for (std::size_t i = 0; i < names_.size(); ++i)
            if (names_[i] == name) return static_cast<std::ptrdiff_t>(i);
        return -1;
    }

    // Makes `shape` (null for the empty shape, whose children live in a
    // process-wide root) the shape with `name` appended.
    static void extend(std::shared_ptr<const AttrShape>& shape, std::string_view name);

  private:
    bool is_private() const noexcept { return !positions_.empty(); }
    static std::shared_ptr<const AttrShape> make_private(std::vector<AttrName> names);
    static std::shared_ptr<const AttrShape> shared_child(
        const std::shared_ptr<const AttrShape>& self, std::string_view name);

    std::vector<AttrName> names_;
    // Private shapes only: name -> position.
    absl::flat_hash_map<AttrName, std::uint32_t, AttrNameHash, std::equal_to<>> positions_;
    // Keeps the shorter shapes alive while a longer one is in use, so that
    // objects built name by name keep meeting the same shapes.
    std::shared_ptr<const AttrShape> parent_;
    mutable std::mutex mutex_;
    mutable absl::flat_hash_map<AttrName, std::weak_ptr<const AttrShape>> children_;
    mutable std::size_t prune_at_ = 64;
};

class AttrMap {
  public:
    const PyValue* find(std::string_view name) const noexcept {
        if (!shape_) return nullptr;
        const std::ptrdiff_t index = shape_->index_of(name);
        return index < 0 ? nullptr : &values_[static_cast<std::size_t>(index)];
    }

    // Inserts or replaces; the previous value (if any) is released.
    void set(std::string_view name, PyValue value) {
        if (shape_) {
            const std::ptrdiff_t index = shape_->index_of(name);
            if (index >= 0) {
                values_[static_cast<std::size_t>(index)] = std::move(value);
                return;
            }
        }
        // Room first, so that the push cannot fail once the shape has grown.
        if (values_.size() == values_.capacity()) values_.reserve(2 * values_.size() + 1);
        AttrShape::extend(shape_, name);
        values_.push_back(std::move(value));
    }

    void reserve(std::size_t count) { values_.reserve(count); }
    std::size_t size() const noexcept { return values_.size(); }
    bool empty() const noexcept { return values_.empty(); }
    const AttrShape* shape() const noexcept { return shape_.get(); }

    class Iterator {
      public:
        std::pair<const AttrName&, const PyValue&> operator*() const {
            return {map_->shape_->names()[index_], map_->values_[index_]};
        }
        Iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator==(const Iterator& other) const { return index_ == other.index_; }

      private:
        friend class AttrMap;
        Iterator(const AttrMap* map, std::size_t index) : map_(map), index_(index) {}
        const AttrMap* map_;
        std::size_t index_;
    };
    Iterator begin() const noexcept { return {this, 0}; }
    Iterator end() const noexcept { return {this, values_.size()}; }

  private:
    std::shared_ptr<const AttrShape> shape_;
    std::vector<PyValue> values_;
};

}  // namespace corvalex
