#include "index/batch_insert.hpp"

#include <unordered_map>

#include "index/query_map.hpp"

namespace corvalex {

std::vector<std::uint32_t> insert_batch(AttributeTable& table, std::span<const BatchObject> objects,
                                        BatchNames names) {
    // Where each name of the current shape goes; null for a name not indexed.
    struct Target {
        QueryMap* map;
        RangeBatch* range_batch;
    };
    NestedInsertions done;
    const AttrShape* shape = nullptr;
    std::vector<Target> targets;
    std::unordered_map<QueryMap*, RangeBatch> range_batches;
    std::vector<std::uint32_t> ids;
    ids.reserve(objects.size());
    for (const BatchObject& object : objects) {
        const IndexableRecord& record = *object.record;
        ids.push_back(record.id);
        if (record.attrs.shape() != shape) {
            shape = record.attrs.shape();
            targets.clear();
            for (const auto& [name, value] : record.attrs) {
                if (names == BatchNames::All || is_public_name(name)) {
                    QueryMap* map = &query_map_for(table, name);
                    targets.push_back({map, &range_batches[map]});
                } else {
                    targets.push_back({nullptr, nullptr});
                }
            }
        }
        NestingPath path(record.id, done);
        for (std::size_t position = 0; const auto& [name, value] : record.attrs) {
            const Target& target = targets[position++];
            if (target.map != nullptr)
                target.map->insert(value, record.id, object.expansions, path, target.range_batch);
        }
    }
    for (auto& [map, batch] : range_batches) map->finish_batch(batch);
    return ids;
}

}  // namespace corvalex
