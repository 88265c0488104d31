#include "core/index_union.hpp"

#include "core/query_map.hpp"

namespace corvalex {

void union_with(IndexAPI& target, const IndexAPI& other) {
    if (target.index == other.index) return;  // one table: the union changes nothing
    auto table = target.index->write();
    auto source = other.index->read();
    for (const auto& [name, map] : *source) query_map_for(*table, name).merge(*map);
}

}  // namespace corvalex
