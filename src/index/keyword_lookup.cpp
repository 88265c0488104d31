#include "index/keyword_lookup.hpp"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "index/query_map.hpp"
#include "structures/id_sort.hpp"

namespace corvalex {
namespace {

// The union of the id sets of a term's values. A single bitmap-form set is
// borrowed rather than copied; anything else is united into `owned` in one
// many-way union plus one bulk add of the inline ids.
struct TermIds {
    const Bitmap* borrowed = nullptr;
    Bitmap owned;
    const Bitmap& get() const noexcept { return borrowed ? *borrowed : owned; }
};

TermIds term_ids(const QueryMap* map, const HashTerm& term) {
    TermIds ids;
    if (map == nullptr) return ids;
    std::vector<const Bitmap*> large;
    std::vector<std::uint32_t> small;
    for (const std::uint64_t hash : term.hashes) {
        const HybridSet* set = map->find(hash);
        if (set == nullptr) continue;
        if (const Bitmap* bitmap = set->large())
            large.push_back(bitmap);
        else
            small.insert(small.end(), set->small_ids().begin(), set->small_ids().end());
    }
    if (large.size() == 1 && small.empty()) {
        ids.borrowed = large.front();
        return ids;
    }
    ids.owned = Bitmap::or_many(large, small);
    return ids;
}

}  // namespace

const QueryMap* map_named(const AttributeTable& table, std::string_view name) {
    auto found = table.find(name);
    return found == table.end() ? nullptr : found->second.get();
}

Bitmap filter_index_by_hashes(const AttributeTable& table, const HashQuery& query) {
    struct Term {
        const QueryMap* map;
        const HashTerm* term;
        std::uint64_t estimate;
    };
    absl::InlinedVector<Term, 4> terms;
    for (const HashTerm& term : query) {
        const QueryMap* map = map_named(table, term.name);
        std::uint64_t estimate = 0;
        if (map != nullptr) {
            for (const std::uint64_t hash : term.hashes)
                if (const HybridSet* ids = map->find(hash)) estimate += ids->count();
        }
        terms.push_back({map, &term, estimate});
    }
    // Most selective first; an empty running result ends the work early.
    std::stable_sort(terms.begin(), terms.end(),
                     [](const Term& a, const Term& b) { return a.estimate < b.estimate; });

    Bitmap result;
    const Bitmap* first_borrowed = nullptr;  // the first term's ids, not copied yet
    for (std::size_t i = 0; i < terms.size(); ++i) {
        TermIds ids = term_ids(terms[i].map, *terms[i].term);
        if (i == 0) {
            if (ids.borrowed)
                first_borrowed = ids.borrowed;
            else
                result = std::move(ids.owned);
            continue;
        }
        if (first_borrowed) {
            if (first_borrowed->is_empty()) return result;
            result = Bitmap::and_of(*first_borrowed, ids.get());
            first_borrowed = nullptr;
            continue;
        }
        if (result.is_empty()) return result;
        result.and_inplace(ids.get());
    }
    if (first_borrowed) result = first_borrowed->copy();
    return result;
}

}  // namespace corvalex

namespace corvalex {

namespace {

// Appends a set's ids in ascending order.
void append_sorted(IdList& out, const HybridSet& set) {
    const std::size_t start = out.size();
    if (const Bitmap* bitmap = set.large()) {
        bitmap->to_array(out.append_uninitialized(bitmap->cardinality()));
    } else {
        // At most four ids: an insertion sort as they arrive.
        for (const std::uint32_t id : set.small_ids()) {
            out.push_back(id);
            std::uint32_t* ids = out.data();
            for (std::size_t i = out.size() - 1; i > start && ids[i - 1] > ids[i]; --i)
                std::swap(ids[i - 1], ids[i]);
        }
    }
}

// The union of the sets of a few values of one keyword, appended to `ids`:
// their ids gathered and sorted, cheaper than bitmap unions when the sets
// are short and sparse.
void gather_sorted(IdList& ids, std::span<const HybridSet* const> sets, std::uint64_t total) {
    ids.reserve(total);
    for (const HybridSet* set : sets) append_sorted(ids, *set);
    radix_sort(ids);
    ids.truncate(std::size_t(std::unique(ids.begin(), ids.end()) - ids.begin()));
}

constexpr std::uint64_t kMergeLimit = 1 << 16;

}  // namespace

IdList matching_ids(const AttributeTable& table, const HashQuery& query) {
    IdList ids;
    if (query.size() == 1) {
        const QueryMap* map = map_named(table, query.front().name);
        absl::InlinedVector<const HybridSet*, 16> sets;
        if (map != nullptr) {
            for (const std::uint64_t hash : query.front().hashes)
                if (const HybridSet* set = map->find(hash)) sets.push_back(set);
        }
        if (sets.size() <= 1) {
            if (!sets.empty()) append_sorted(ids, *sets.front());
            return ids;
        }
        std::uint64_t total = 0;
        for (const HybridSet* set : sets) total += set->count();
        if (total <= kMergeLimit) {
            gather_sorted(ids, sets, total);
            return ids;
        }
    }
    const Bitmap bitmap = filter_index_by_hashes(table, query);
    bitmap.to_array(ids.append_uninitialized(bitmap.cardinality()));
    return ids;
}

IdList matching_ids(const QueryMap* map, std::uint64_t hash) {
    IdList ids;
    if (map != nullptr)
        if (const HybridSet* set = map->find(hash)) append_sorted(ids, *set);
    return ids;
}

}  // namespace corvalex
