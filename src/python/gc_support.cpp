#include "python/gc_support.hpp"

#include "index/query_map.hpp"

namespace corvalex::python {
namespace {

int visit_objects(const SharedObjectTable& items, visitproc visit, void* arg) {
    if (items.use_count() != 1) return 0;
    auto table = items->try_read();
    if (!table) return 0;
    return (*table)->visit_owned([&](PyObject* object) { return visit(object, arg); });
}

int visit_nested(const SharedAttributeTable& index, visitproc visit, void* arg) {
    if (index.use_count() != 1) return 0;
    auto table = index->try_read();
    if (!table) return 0;
    for (const auto& [name, map] : **table) {
        const IndexAPI& nested = map->nested;
        if (int stop = visit_objects(nested.items, visit, arg)) return stop;
        if (int stop = visit_nested(nested.index, visit, arg)) return stop;
    }
    return 0;
}

}  // namespace

int visit_index_tables(const SharedAttributeTable& index, const SharedObjectTable& items,
                       bool sole_holder, visitproc visit, void* arg) {
    if (!sole_holder) return 0;
    if (int stop = visit_objects(items, visit, arg)) return stop;
    return visit_nested(index, visit, arg);
}

}  // namespace corvalex::python
