#include "core/query_map.hpp"

namespace corvalex {
namespace {

void add_to_set(auto& map, auto key, std::uint32_t id) {
    auto [entry, inserted] = map.try_emplace(key);
    if (inserted)
        entry->second = HybridSet::make_single(id);
    else
        entry->second.add(id);
}

}  // namespace

void QueryMap::insert(const PyValue& value, std::uint32_t id, const Expansions* expansions,
                      NestingPath& path) {
    if (auto found = exact.find(value.hash()); found != exact.end()) {
        found->second.ids.add(id);
    } else {
        exact.emplace(value.hash(), ExactEntry{value.clone(), HybridSet::make_single(id)});
    }

    switch (value.kind()) {
        case CastKind::Int:
        case CastKind::Float:
            ranged.insert(to_number(value), id);
            break;
        case CastKind::Str:
        case CastKind::Unknown:
            break;
        case CastKind::Ind: {
            const Expansion* expansion = find_expansion(expansions, value.object());
            if (expansion == nullptr) break;  // captured outside any snapshot: not expanded
            add_to_set(nested_ids, expansion->id, id);
            const ObjectSnapshot* snapshot = expansion->snapshot;
            if (snapshot != nullptr && path.may_expand(snapshot->id)) {
                NestingPath::Step step(path, snapshot->id);
                nested.add_object(snapshot->id, snapshot->item, snapshot->attrs, &snapshot->nested,
                                  path);
            }
            break;
        }
    }
}

void QueryMap::remove_id(const PyValue& value, std::uint32_t id) {
    if (auto found = exact.find(value.hash()); found != exact.end()) found->second.ids.remove(id);
    if (value.is_number()) ranged.remove(to_number(value), id);
}

void QueryMap::check_prune(const PyValue& value) {
    auto found = exact.find(value.hash());
    ensure(found != exact.end(), "no entry found for key");
    if (found->second.ids.is_empty()) exact.erase(found);
}

}  // namespace corvalex
