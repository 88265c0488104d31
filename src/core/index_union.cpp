#include "core/index_union.hpp"

#include <functional>
#include <optional>

#include "core/query_map.hpp"

namespace corvalex {

void union_with(IndexAPI& target, const IndexAPI& other) {
    if (target.index == other.index) return;  // one table: the union changes nothing
    // Two cores' tables are locked in ascending core address, the order in
    // which an attribute write holds the tables of all its indexes.
    std::optional<RwLocked<AttributeTable>::ReadGuard> source;
    if (std::less<const IndexAPI*>{}(&other, &target)) source.emplace(other.index->read());
    auto table = target.index->write();
    if (!source) source.emplace(other.index->read());
    for (const auto& [name, map] : **source) query_map_for(*table, name).merge(*map);
}

}  // namespace corvalex
