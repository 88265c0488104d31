#include "core/keyword_lookup.hpp"

#include <algorithm>

#include "binding/dict.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "core/query_map.hpp"

namespace corvalex {
namespace {

// Values equal by hash collapse into one member.
void make_unique(std::vector<PyValue>& values) {
    if (values.size() < 2) return;
    std::stable_sort(values.begin(), values.end(),
                     [](const PyValue& a, const PyValue& b) { return a.hash() < b.hash(); });
    values.erase(std::unique(values.begin(), values.end()), values.end());
}

std::vector<PyValue> capture_value_set(PyObject* value) {
    std::vector<PyValue> values;
    if (PyUnicode_Check(value)) {
        values.push_back(PyValue::capture(value));
        return values;
    }
    py::Ref iterator = py::Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        PyErr_Clear();
        values.push_back(PyValue::capture(value));
        return values;
    }
    while (py::Ref item = py::Ref::steal(PyIter_Next(iterator.get())))
        values.push_back(PyValue::capture(item.get()));
    if (PyErr_Occurred()) py::throw_python_error();
    make_unique(values);
    return values;
}

}  // namespace

HashQuery kwargs_to_hash_query(PyObject* kwargs) {
    HashQuery query;
    py::for_each_keyword(kwargs, [&](std::string_view name, PyObject* value) {
        query.emplace_back(AttrName(name), capture_value_set(value));
    });
    return query;
}

namespace {

// The union of the id sets of a term's values. A single bitmap-form set is
// borrowed rather than copied; anything else is united into `owned` in one
// many-way union plus one bulk add of the inline ids.
struct TermIds {
    const Bitmap* borrowed = nullptr;
    Bitmap owned;
    const Bitmap& get() const noexcept { return borrowed ? *borrowed : owned; }
};

TermIds term_ids(const QueryMap* map, const std::vector<PyValue>& values) {
    TermIds ids;
    if (map == nullptr) return ids;
    std::vector<const Bitmap*> large;
    std::vector<std::uint32_t> small;
    for (const PyValue& value : values) {
        const HybridSet* set = map->find(value);
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

}  // namespace

Bitmap filter_index_by_hashes(const AttributeTable& table, const HashQuery& query) {
    struct Term {
        const QueryMap* map;
        const std::vector<PyValue>* values;
        std::uint64_t estimate;
    };
    std::vector<Term> terms;
    terms.reserve(query.size());
    for (const auto& [name, values] : query) {
        auto found = table.find(std::string_view(name));
        const QueryMap* map = found == table.end() ? nullptr : found->second.get();
        std::uint64_t estimate = 0;
        if (map != nullptr) {
            for (const PyValue& value : values)
                if (const HybridSet* ids = map->find(value)) estimate += ids->count();
        }
        terms.push_back({map, &values, estimate});
    }
    // Most selective first; an empty running result ends the work early.
    std::stable_sort(terms.begin(), terms.end(),
                     [](const Term& a, const Term& b) { return a.estimate < b.estimate; });

    Bitmap result;
    const Bitmap* first_borrowed = nullptr;  // the first term's ids, not copied yet
    for (std::size_t i = 0; i < terms.size(); ++i) {
        TermIds ids = term_ids(terms[i].map, *terms[i].values);
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
