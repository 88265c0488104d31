#include "index/reduction.hpp"

#include "index/query_map.hpp"

namespace corvalex {

void narrow_exact_sets(AttributeTable& table, const Bitmap& kept) {
    const HybridSet kept_set = HybridSet::make_large(kept.copy());
    for (auto& [name, map] : table) {
        for (auto& [hash, ids] : map->exact) {
            if (ids.large() != nullptr) {
                ids.and_inplace(kept_set);
                continue;
            }
            // Inline sets stay inline: most values are held by a few objects.
            HybridSet narrowed = HybridSet::make_small();
            for (const std::uint32_t id : ids.small_ids())
                if (kept.contains(id)) narrowed.add(id);
            ids = std::move(narrowed);
        }
    }
}

bool reduce_if_unchanged(IndexAPI& core, const HashQuery& query, const Bitmap& expected,
                         std::span<const BatchObject> kept) {
    auto table = core.index->write();
    if (filter_index_by_hashes(*table, query) != expected) return false;
    narrow_exact_sets(*table, expected);
    NestedInsertions done;
    for (const BatchObject& object : kept) {
        const IndexableRecord& record = *object.record;
        NestingPath path(record.id, done);
        for (const auto& [name, value] : record.attrs)
            if (is_public_name(name))
                _add_index(*table, record.id, name, value, object.expansions, path);
    }
    return true;
}

}  // namespace corvalex
