#include "core/rebase.hpp"

#include <vector>

#include "core/query_map.hpp"

namespace corvalex {

void index_rebased_objects(IndexAPI& core, std::span<const BatchObject> objects) {
    auto table = core.index->write();
    NestedInsertions done;
    std::vector<std::uint32_t> ids;
    ids.reserve(objects.size());
    // Objects of one kind share a shape: resolve its names to maps once.
    const AttrShape* shape = nullptr;
    std::vector<QueryMap*> maps;
    for (const BatchObject& object : objects) {
        const IndexableRecord& record = *object.record;
        ids.push_back(record.id);
        if (record.attrs.shape() != shape) {
            shape = record.attrs.shape();
            maps.clear();
            for (const auto& [name, value] : record.attrs)
                maps.push_back(&query_map_for(*table, name));
        }
        NestingPath path(record.id, done);
        std::size_t position = 0;
        for (const auto& [name, value] : record.attrs)
            maps[position++]->insert(value, record.id, object.expansions, path);
    }
    core.allowed->write()->add_many(ids);
}

}  // namespace corvalex
