#include "index/query_map.hpp"

#include <algorithm>

namespace corvalex {
namespace {

void add_to_set(auto& map, auto key, std::uint32_t id) {
    auto [entry, inserted] = map.try_emplace(key, HybridSet::make_single(id));
    if (!inserted) entry->second.add(id);
}

// Lets `ids`, the exact entry of `hash`, borrow the heavy value's bitmap if
// both hold the same ids.
bool lend_if_same(HybridSet& ids, HeavyValue& heavy, std::uint64_t hash) {
    const Bitmap* own = ids.large();
    if (own == nullptr || !own->equals(heavy.ids)) return false;
    ids = HybridSet::borrow(heavy.ids);
    heavy.lending = HeavyValue::Lending::Lent;
    heavy.lent_key = hash;
    return true;
}

}  // namespace

void QueryMap::insert(const PyValue& value, std::uint32_t id, const Expansions* expansions,
                      NestingPath& path, RangeBatch* batch) {
    switch (value.kind()) {
        case CastKind::Int:
        case CastKind::Float:
            if (batch != nullptr)
                add_to_batch(value, id, *batch);
            else
                insert_number(to_number(value), id, value.hash());
            return;
        case CastKind::Str:
        case CastKind::Unknown:
            add_to_set(exact, value.hash(), id);
            return;
        case CastKind::Ind: {
            add_to_set(exact, value.hash(), id);
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

void QueryMap::add_to_batch(const PyValue& value, std::uint32_t id, RangeBatch& batch) {
    const Number number = to_number(value);
    if (!ranged.empty()) {
        // Stored in key order at the end, through the lending rules.
        batch.into_filled.push_back({CompositeKey128(number, id), number, value.hash()});
        return;
    }
    auto [entry, inserted] = exact.try_emplace(value.hash(), HybridSet::make_single(id));
    HybridSet& ids = entry->second;
    if (!inserted) {
        const bool was_small = ids.kind() == HybridSet::Kind::Small;
        ids.add(id);
        if (was_small && ids.kind() == HybridSet::Kind::Large)
            batch.bitmap_entries.emplace_back(value.hash(), number);
    }
    batch.keys.emplace_back(number, id);
}

// A heavy number's ids are kept once, by the tree, while its exact entry
// would hold the very same ids: the entry then borrows the tree's bitmap
// (the tree's value is `Lent` under the entry's hash), and a write changes
// the one bitmap. The two stay equal as long as no other value with that
// hash is stored; one that arrives (-1 and -2, NaNs, an int subclass with a
// hash of its own) gives the entry a copy first. Changes made to the entry
// alone (`reduce`, `union_with`) give it a copy by themselves. A `Lent`
// mark whose entry no longer borrows is stale and means nothing.
void QueryMap::insert_number(Number number, std::uint32_t id, std::uint64_t hash) {
    const TreeWrite write = ranged.insert(number, id);
    HeavyValue* heavy = write.heavy;
    auto [entry, inserted] = exact.try_emplace(hash, HybridSet::make_single(id));
    HybridSet& ids = entry->second;
    if (!inserted) {
        if (heavy != nullptr && ids.borrows(heavy->ids)) return;  // the tree took it
        ids.add(id);  // a copy first if the entry borrowed another number's ids
    }
    if (heavy == nullptr) return;
    using Lending = HeavyValue::Lending;
    if (heavy->lending == Lending::Lent && heavy->lent_key != hash) {
        // Another value with this number: the entry that borrows has to
        // keep its ids without this one.
        if (auto lender = exact.find(heavy->lent_key);
            lender != exact.end() && lender->second.borrows(heavy->ids)) {
            lender->second.own();
            lender->second.remove(id);
        }
        heavy->lending = Lending::NotLent;
    } else if (heavy->lending == Lending::Unknown && !lend_if_same(ids, *heavy, hash)) {
        heavy->lending = Lending::NotLent;
    }
}

void QueryMap::finish_batch(RangeBatch& batch) {
    std::sort(batch.into_filled.begin(), batch.into_filled.end(),
              [](const auto& a, const auto& b) { return a.key < b.key; });
    for (const RangeBatch::Pending& pending : batch.into_filled)
        insert_number(pending.number, pending.key.id(), pending.hash);
    ranged.insert_many(batch.keys);
    // An entry that holds other numbers' ids too is left to the next write
    // into its heavy value, which settles it.
    for (const auto& [hash, number] : batch.bitmap_entries) {
        HeavyValue* heavy = ranged.heavy_value(number);
        if (heavy == nullptr || heavy->lending != HeavyValue::Lending::Unknown) continue;
        if (auto found = exact.find(hash); found != exact.end())
            lend_if_same(found->second, *heavy, hash);
    }
}

void QueryMap::remove_id(const PyValue& value, std::uint32_t id) {
    auto found = exact.find(value.hash());
    if (value.is_number()) {
        const TreeWrite write = ranged.remove(to_number(value), id);
        if (found != exact.end() && found->second.is_borrowed()) {
            // A borrowing entry held `id` only if it borrows this number's
            // ids, which the tree has just taken it out of; it goes with
            // them once they are emptied. (Another number's ids, lent after
            // `reduce` dropped `id` from the entry, never held it.)
            if (write.emptied && found->second.borrows(*write.emptied)) exact.erase(found);
            return;
        }
    }
    if (found != exact.end()) {
        found->second.remove(id);
        if (found->second.is_empty()) exact.erase(found);
    }
    if (value.kind() == CastKind::Ind) {
        // The object no longer holds that indexable value under this name.
        // The value's snapshot stays in `nested`: other objects may hold it.
        if (auto holders = nested_ids.find(value.indexable_id()); holders != nested_ids.end()) {
            holders->second.remove(id);
            if (holders->second.is_empty()) nested_ids.erase(holders);
        }
    }
}

void QueryMap::verify_lending() {
    for (const auto& [hash, ids] : exact) {
        if (!ids.is_borrowed()) continue;
        bool lent = false;
        ranged.for_each_heavy([&](const HeavyValue& heavy) {
            if (ids.borrows(heavy.ids))
                lent = heavy.lending == HeavyValue::Lending::Lent && heavy.lent_key == hash;
        });
        ensure(lent, "an exact entry borrows ids the range tree does not lend it");
    }
}

}  // namespace corvalex
