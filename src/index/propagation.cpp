#include "index/propagation.hpp"

#include <algorithm>
#include <functional>
#include <memory>

#include <absl/container/inlined_vector.h>

#include "index/query_map.hpp"

namespace corvalex {

void update_index(AttributeTable& table, std::string_view name, const PyValue* old,
                  const PyValue& new_value, std::uint32_t id, const Expansions* expansions) {
    if (!is_public_name(name)) return;
    if (old != nullptr) {
        if (auto found = table.find(name); found != table.end()) {
            QueryMap& map = *found->second;
            map.remove_id(*old, id);
            if (map.exact.empty()) table.erase(found);
        }
    }
    NestedInsertions done;
    NestingPath path(id, done);
    _add_index(table, id, name, new_value, expansions, path);
}

void propagate_attribute_write(const IndexableRecord& record, std::string_view name,
                               const PyValue& new_value, const Expansions* expansions) {
    // All tables are held together, so that a union (which reads one table
    // while it writes another) never meets the object at its new value in
    // one index and at its old value in the next; lock order: docs/design.md.
    absl::InlinedVector<std::shared_ptr<IndexAPI>, 4> cores;
    record.meta.for_each([&](const IndexMeta& meta) {
        if (std::shared_ptr<IndexAPI> core = meta.lock()) cores.push_back(std::move(core));
    });
    std::sort(cores.begin(), cores.end(), [](const auto& a, const auto& b) {
        return std::less<const IndexAPI*>{}(a.get(), b.get());
    });
    absl::InlinedVector<RwLocked<AttributeTable>::WriteGuard, 4> tables;
    for (std::size_t i = 0; i < cores.size(); ++i)
        if (i == 0 || cores[i] != cores[i - 1]) tables.push_back(cores[i]->index->write());
    const PyValue* old = record.attrs.find(name);
    for (const auto& table : tables)
        update_index(*table, name, old, new_value, record.id, expansions);
}

}  // namespace corvalex
