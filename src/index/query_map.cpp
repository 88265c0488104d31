#include "index/query_map.hpp"

namespace corvalex {
namespace {

void add_to_set(auto& map, auto key, std::uint32_t id) {
    auto [entry, inserted] = map.try_emplace(key, HybridSet::make_single(id));
    if (!inserted) entry->second.add(id);
}

}  // namespace

void QueryMap::insert(const PyValue& value, std::uint32_t id, const Expansions* expansions,
                      NestingPath& path, std::vector<CompositeKey128>* range_keys) {
    add_to_set(exact, value.hash(), id);

    switch (value.kind()) {
        case CastKind::Int:
        case CastKind::Float:
            if (range_keys != nullptr)
                range_keys->emplace_back(to_number(value), id);
            else
                ranged.insert(to_number(value), id);
            break;
        case CastKind::Str:
        case CastKind::Unknown:
            break;
        case CastKind::Ind: {
            add_to_set(nested_ids, value.indexable_id(), id);
            const Expansion* expansion = find_expansion(expansions, value.object());
            const ObjectSnapshot* snapshot = expansion ? expansion->snapshot : nullptr;
            if (snapshot != nullptr && path.may_expand(snapshot->id) &&
                !path.already_done(&nested, snapshot)) {
                NestingPath::Step step(path, &nested, snapshot);
                nested.add_object(snapshot->id, snapshot->item, snapshot->attrs, &snapshot->nested,
                                  path);
            }
            break;
        }
    }
}

void QueryMap::remove_id(const PyValue& value, std::uint32_t id) {
    if (auto found = exact.find(value.hash()); found != exact.end()) {
        found->second.remove(id);
        if (found->second.is_empty()) exact.erase(found);
    }
    if (value.is_number()) {
        ranged.remove(to_number(value), id);
    } else if (value.kind() == CastKind::Ind) {
        // The object no longer holds that indexable value under this name.
        // The value's snapshot stays in `nested`: other objects may hold it.
        if (auto found = nested_ids.find(value.indexable_id()); found != nested_ids.end()) {
            found->second.remove(id);
            if (found->second.is_empty()) nested_ids.erase(found);
        }
    }
}

}  // namespace corvalex
