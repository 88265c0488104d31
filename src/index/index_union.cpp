#include "index/index_union.hpp"

#include <functional>
#include <optional>

#include "index/query_map.hpp"

namespace corvalex {
namespace {

// The part of `ids` within `keep`; inline sets stay inline.
HybridSet kept_part(const HybridSet& ids, const Bitmap& keep) {
    if (const Bitmap* large = ids.large())
        return HybridSet::make_large(Bitmap::and_of(*large, keep));
    HybridSet kept = HybridSet::make_small();
    for (const std::uint32_t id : ids.small_ids())
        if (keep.contains(id)) kept.add(id);
    return kept;
}

}  // namespace

void union_with(IndexAPI& target, const IndexAPI& other) {
    if (target.index == other.index) return;  // one table: the union changes nothing
    // Only ids both indexes store are carried. An id only `other` stores is
    // not kept current by attribute writes here, and one that only `target`
    // stores is not kept current in `other`'s sets: either would turn stale
    // once `target` stored the object or met it through another union.
    // Callers hold both indexes against additions, so `allowed` is stable.
    const Bitmap keep = Bitmap::and_of(*target.allowed->read(), *other.allowed->read());
    // Two cores' tables in ascending core address (docs/design.md).
    std::optional<RwLocked<AttributeTable>::ReadGuard> source;
    if (std::less<const IndexAPI*>{}(&other, &target)) source.emplace(other.index->read());
    auto table = target.index->write();
    if (!source) source.emplace(other.index->read());
    for (const auto& [name, map] : **source) {
        QueryMap* merged = nullptr;
        for (const auto& [hash, ids] : map->exact) {
            HybridSet kept = kept_part(ids, keep);
            if (kept.is_empty()) continue;
            if (merged == nullptr) merged = &query_map_for(*table, name);
            auto [entry, inserted] = merged->exact.try_emplace(hash, std::move(kept));
            if (!inserted) entry->second.or_inplace(kept);
        }
    }
}

}  // namespace corvalex
