#include "index/keyword_lookup.hpp"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "binding/dict.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "structures/id_sort.hpp"
#include "index/query_map.hpp"
#include "index/value.hpp"

namespace corvalex {
namespace {

// Whether iterating `value` may work, decided without raising.
bool looks_iterable(PyObject* value) {
    return Py_TYPE(value)->tp_iter != nullptr || PySequence_Check(value);
}

// Appends the hash of `value`, or of each of its items when it means "any
// of these values".
void append_hashes(PyObject* value, absl::InlinedVector<std::uint64_t, 4>& hashes) {
    if (PyUnicode_Check(value) || !looks_iterable(value)) {
        hashes.push_back(PyValue::hash_of(value));
        return;
    }
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        // Hashing an item may run Python code that changes a list: re-read
        // its size every step and hold each item while it is hashed.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); ++i) {
            py::Ref item = py::Ref::borrow(PySequence_Fast_GET_ITEM(value, i));
            hashes.push_back(PyValue::hash_of(item.get()));
        }
        return;
    }
    py::Ref iterator = py::Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        PyErr_Clear();
        hashes.push_back(PyValue::hash_of(value));
        return;
    }
    while (py::Ref item = py::Ref::steal(PyIter_Next(iterator.get())))
        hashes.push_back(PyValue::hash_of(item.get()));
    if (PyErr_Occurred()) py::throw_python_error();
}

void fill_term(HashTerm& term, std::string_view name, PyObject* value) {
    term.name = name;
    append_hashes(value, term.hashes);
    // Values equal by hash are one value.
    if (term.hashes.size() > 1) {
        std::sort(term.hashes.begin(), term.hashes.end());
        term.hashes.erase(std::unique(term.hashes.begin(), term.hashes.end()), term.hashes.end());
    }
}

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
    ids.owned = Bitmap::or_many(large);
    ids.owned.add_many(small);
    return ids;
}

const QueryMap* map_named(const AttributeTable& table, std::string_view name) {
    auto found = table.find(name);
    return found == table.end() ? nullptr : found->second.get();
}

}  // namespace

HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames) {
    HashQuery query;
    const Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i)
        fill_term(query.emplace_back(), py::utf8(PyTuple_GET_ITEM(kwnames, i)), values[i]);
    return query;
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
        out.resize(start + bitmap->cardinality());
        bitmap->to_array(out.data() + start);
    } else {
        // At most four ids: an insertion sort as they arrive.
        for (const std::uint32_t id : set.small_ids()) {
            out.push_back(id);
            for (std::size_t i = out.size() - 1; i > start && out[i - 1] > out[i]; --i)
                std::swap(out[i - 1], out[i]);
        }
    }
}

// The union of the sets of a few values of one keyword: their ids gathered
// and sorted, cheaper than bitmap unions when the sets are short and sparse.
IdList gather_sorted(std::span<const HybridSet* const> sets, std::uint64_t total) {
    IdList ids;
    ids.reserve(total);
    for (const HybridSet* set : sets) append_sorted(ids, *set);
    radix_sort(ids);
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

constexpr std::uint64_t kMergeLimit = 1 << 16;

}  // namespace

IdList matching_ids(const AttributeTable& table, const HashQuery& query) {
    IdList ids;
    if (query.size() == 1) {
        const QueryMap* map = map_named(table, query.front().name);
        absl::InlinedVector<const HybridSet*, 16> sets;
        std::uint64_t total = 0;
        if (map != nullptr) {
            for (const std::uint64_t hash : query.front().hashes) {
                if (const HybridSet* set = map->find(hash)) {
                    sets.push_back(set);
                    total += set->count();
                }
            }
        }
        if (sets.empty()) return ids;
        if (sets.size() == 1) {
            append_sorted(ids, *sets.front());
            return ids;
        }
        if (total <= kMergeLimit) return gather_sorted(sets, total);
    }
    const Bitmap bitmap = filter_index_by_hashes(table, query);
    ids.resize(bitmap.cardinality());
    bitmap.to_array(ids.data());
    return ids;
}

}  // namespace corvalex
