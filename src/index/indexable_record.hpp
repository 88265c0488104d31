// The C++ side of an `Indexable` object: what the index core reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <absl/container/inlined_vector.h>

#include "index/attr_map.hpp"

namespace corvalex {

class IndexAPI;

// A weak back-reference from an object to an index core that holds it.
using IndexMeta = std::weak_ptr<IndexAPI>;
// The indexes an object has been added to. Most objects live in one index,
// which is kept inline; further ones go to a heap list.
class MetaList {
  public:
    bool empty() const noexcept { return !holds(first_); }
    std::size_t size() const noexcept {
        return empty() ? 0 : 1 + (rest_ ? rest_->size() : std::size_t{0});
    }

    template <typename Visit>
    void for_each(Visit&& visit) const {
        if (empty()) return;
        visit(first_);
        if (rest_)
            for (const IndexMeta& meta : *rest_) visit(meta);
    }

    // Replaces the contents with [begin, end).
    template <typename Iterator>
    void assign(Iterator begin, Iterator end) {
        first_.reset();
        rest_.reset();
        if (begin == end) return;
        first_ = *begin++;
        if (begin != end) rest_ = std::make_unique<std::vector<IndexMeta>>(begin, end);
    }

  private:
    // Whether `meta` was ever given a core (an expired entry still counts).
    static bool holds(const IndexMeta& meta) noexcept {
        return meta.owner_before(IndexMeta{}) || IndexMeta{}.owner_before(meta);
    }

    IndexMeta first_;
    std::unique_ptr<std::vector<IndexMeta>> rest_;
};

struct IndexableRecord {
    MetaList meta;
    AttrMap attrs;
    std::uint32_t id = 0;
};

// Process-wide id source. Ids start at 1 and are never reused.
inline std::atomic<std::uint64_t> GLOBAL_ID_COUNTER{1};

// Takes the next id, or nothing once the 32-bit id space is spent (handing
// out a wrapped id would let a new object overwrite another one's slot).
inline std::optional<std::uint32_t> take_next_id() noexcept {
    const std::uint64_t taken = GLOBAL_ID_COUNTER.fetch_add(1, std::memory_order_relaxed);
    if (taken > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(taken);
}

}  // namespace corvalex

namespace corvalex {

// Registers `index` in an object's back-references, once however often the
// object is added: entries whose core is gone are dropped, and the rest are
// sorted by core (`std::owner_less`), the order in which attribute writes
// lock the indexes.
void add_index(MetaList& meta, IndexMeta index);

}  // namespace corvalex
