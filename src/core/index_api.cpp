#include "core/index_api.hpp"

#include <unordered_map>
#include <vector>

#include "core/query_map.hpp"

namespace corvalex {

IndexAPI::IndexAPI()
    : index(std::make_shared<RwLocked<AttributeTable>>()),
      items(std::make_shared<RwLocked<ObjectTable>>()),
      allowed(std::make_shared<RwLocked<Bitmap>>()) {}

QueryMap& query_map_for(AttributeTable& table, std::string_view name) {
    auto found = table.find(name);
    if (found == table.end())
        found = table.emplace(AttrName(name), std::make_unique<QueryMap>()).first;
    return *found->second;
}

void _add_index(AttributeTable& table, std::uint32_t id, std::string_view name,
                const PyValue& value, const Expansions* expansions, NestingPath& path) {
    query_map_for(table, name).insert(value, id, expansions, path);
}

void IndexAPI::add_object(std::uint32_t id, StoredItem item, const AttrMap& attrs,
                          const Expansions* expansions) {
    NestedInsertions done;
    NestingPath path(id, done);
    add_object(id, std::move(item), attrs, expansions, path);
}

void IndexAPI::add_object(std::uint32_t id, StoredItem item, const AttrMap& attrs,
                          const Expansions* expansions, NestingPath& path) {
    allowed->write()->add(id);
    items->write()->store(id, std::move(item));
    {
        auto table = index->write();
        for (const auto& [name, value] : attrs)
            if (is_public_name(name)) _add_index(*table, id, name, value, expansions, path);
    }
}

void IndexAPI::add_object_many(std::span<const BatchObject> objects) {
    auto table = index->write();
    auto ids = allowed->write();
    NestedInsertions done;
    // Objects of one kind share a shape: resolve its names to maps once.
    const AttrShape* shape = nullptr;
    std::vector<QueryMap*> maps;
    // The batch's numeric values reach each range tree together at the end,
    // sorted, rather than one random key at a time.
    std::unordered_map<QueryMap*, std::vector<CompositeKey128>> range_keys;
    std::vector<std::vector<CompositeKey128>*> map_range_keys;
    std::vector<std::uint32_t> batch_ids;
    batch_ids.reserve(objects.size());
    for (const BatchObject& object : objects) {
        const IndexableRecord& record = *object.record;
        batch_ids.push_back(record.id);
        if (record.attrs.shape() != shape) {
            shape = record.attrs.shape();
            maps.clear();
            map_range_keys.clear();
            for (const auto& [name, value] : record.attrs) {
                QueryMap* map = is_public_name(name) ? &query_map_for(*table, name) : nullptr;
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
    ids->add_many(batch_ids);
}

}  // namespace corvalex
