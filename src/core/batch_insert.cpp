#include "core/batch_insert.hpp"

#include <unordered_map>

#include "core/query_map.hpp"

namespace corvalex {

std::vector<std::uint32_t> insert_batch(AttributeTable& table, std::span<const BatchObject> objects,
                                        BatchNames names) {
    NestedInsertions done;
    const AttrShape* shape = nullptr;
    std::vector<QueryMap*> maps;
    std::unordered_map<QueryMap*, std::vector<CompositeKey128>> range_keys;
    std::vector<std::vector<CompositeKey128>*> map_range_keys;
    std::vector<std::uint32_t> ids;
    ids.reserve(objects.size());
    for (const BatchObject& object : objects) {
        const IndexableRecord& record = *object.record;
        ids.push_back(record.id);
        if (record.attrs.shape() != shape) {
            shape = record.attrs.shape();
            maps.clear();
            map_range_keys.clear();
            for (const auto& [name, value] : record.attrs) {
                const bool indexed = names == BatchNames::All || is_public_name(name);
                QueryMap* map = indexed ? &query_map_for(table, name) : nullptr;
                maps.push_back(map);
                map_range_keys.push_back(map ? &range_keys[map] : nullptr);
            }
        }
        NestingPath path(record.id, done);
        for (std::size_t position = 0; const auto& [name, value] : record.attrs) {
            if (QueryMap* map = maps[position])
                map->insert(value, record.id, object.expansions, path, map_range_keys[position]);
            ++position;
        }
    }
    for (auto& [map, keys] : range_keys) map->ranged.insert_many(keys);
    return ids;
}

}  // namespace corvalex
