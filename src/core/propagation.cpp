#include "core/propagation.hpp"

#include "core/query_map.hpp"

namespace corvalex {

void update_index(AttributeTable& table, std::string_view name, const PyValue* old,
                  const PyValue& new_value, std::uint32_t id, const Expansions* expansions) {
    if (!is_public_name(name)) return;
    if (old != nullptr) {
        if (auto found = table.find(name); found != table.end()) {
            QueryMap& map = *found->second;
            if (map.find(*old) != nullptr) {
                map.remove_id(*old, id);
                map.check_prune(*old);
            }
            if (map.exact.empty()) table.erase(found);
        }
    }
    NestedInsertions done;
    NestingPath path(id, done);
    _add_index(table, id, name, new_value, expansions, path);
}

void propagate_attribute_write(const IndexableRecord& record, std::string_view name,
                               const PyValue& new_value, const Expansions* expansions) {
    record.meta.for_each([&](const IndexMeta& meta) {
        const std::shared_ptr<IndexAPI> core = meta.lock();
        if (!core) return;
        auto table = core->index->write();
        update_index(*table, name, record.attrs.find(name), new_value, record.id, expansions);
    });
}

}  // namespace corvalex
