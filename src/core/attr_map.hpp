// An object's attributes: name -> captured value.
//
// Objects carry a handful of attributes, so a flat vector with a linear scan
// beats any hash map here in both speed and memory. Iteration follows the
// order in which names were first assigned.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/value.hpp"

namespace corvalex {

using AttrName = std::string;

// Attribute names beginning with an underscore are never indexed.
inline bool is_public_name(std::string_view name) noexcept {
    return name.empty() || name.front() != '_';
}

class AttrMap {
  public:
    using Entry = std::pair<AttrName, PyValue>;

    const PyValue* find(std::string_view name) const noexcept {
        for (const auto& entry : entries_)
            if (entry.first == name) return &entry.second;
        return nullptr;
    }

    // Inserts or replaces; the previous value (if any) is released.
    void set(std::string_view name, PyValue value) {
        for (auto& entry : entries_) {
            if (entry.first == name) {
                entry.second = std::move(value);
                return;
            }
        }
        entries_.emplace_back(AttrName(name), std::move(value));
    }

    void reserve(std::size_t count) { entries_.reserve(count); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }
    void clear() noexcept { entries_.clear(); }

  private:
    std::vector<Entry> entries_;
};

}  // namespace corvalex
