#include "index/index_api.hpp"

#include <algorithm>

#include "index/batch_insert.hpp"
#include "index/filtered_view.hpp"
#include "index/query_eval.hpp"
#include "index/query_map.hpp"

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

void IndexAPI::store(std::span<const BatchObject> objects) {
    std::uint32_t highest = 0;
    for (const BatchObject& object : objects) highest = std::max(highest, object.record->id);
    auto table = items->write();
    table->reserve(highest, table->count() + objects.size());
    for (const BatchObject& object : objects)
        table->store_owned(object.record->id, py::Ref::new_reference(object.object).release());
}

void IndexAPI::add_object_many(std::span<const BatchObject> objects) {
    auto table = index->write();
    auto ids = allowed->write();
    ids->add_many(insert_batch(*table, objects, BatchNames::PublicOnly));
}

FilteredView IndexAPI::reduced_query(const QueryExpr& expr) const {
    return select_view(index, items, [&](const AttributeTable& table) {
        return evaluate_query(table, *allowed->read(), expr);
    });
}

}  // namespace corvalex
