// One attribute's maps within one index.
//
//   QueryMap {
//     ranged:     BitMapBTree over (number, id) for Int and Float values
//     exact:      value hash -> HybridSet of ids (a number held by many objects:
//                 borrowing the tree's bitmap of its ids, see query_map.cpp)
//     nested_ids: id of an indexable value -> HybridSet of ids of objects holding it
//     nested:     IndexAPI over those indexable values, as they were when stored
//   }
//
// Values are the same value exactly when their hashes are equal, so `exact`
// is keyed by the 64-bit hash alone; it keeps no reference to the values. No
// lock of its own: the owning attribute table's lock guards it.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "index/index_api.hpp"
#include "index/value.hpp"
#include "structures/hybrid_set.hpp"
#include "structures/ranged_b_tree.hpp"

namespace corvalex {

using ExactMap = absl::flat_hash_map<std::uint64_t, HybridSet, ValueHasher>;
using NestedIdMap = absl::flat_hash_map<std::uint32_t, HybridSet, ValueHasher>;

// A batch's numeric values for one map, on their way into its range tree
// (see `QueryMap::insert`).
struct RangeBatch {
    // Into an empty tree: the tree's keys (the exact entries have their ids
    // already), and the hash and number of each exact entry that became a
    // bitmap during the batch, the numbers that may be heavy in the tree.
    std::vector<CompositeKey128> keys;
    std::vector<std::pair<std::uint64_t, Number>> bitmap_entries;
    // Into a tree that holds pairs already: the values, for both maps.
    struct Pending {
        CompositeKey128 key;
        Number number;
        std::uint64_t hash;
    };
    std::vector<Pending> into_filled;
};

class QueryMap {
  public:
    QueryMap() = default;
    QueryMap(const QueryMap&) = delete;
    QueryMap& operator=(const QueryMap&) = delete;

    // Records that object `id` holds `value`. For an indexable value, its
    // snapshot (from `expansions`) is stored in `nested`, unless `path`
    // says expansion stops here.
    // With `batch`, a numeric value is added to the batch instead (or, for
    // an empty tree, its tree key only), for `finish_batch` to store.
    void insert(const PyValue& value, std::uint32_t id, const Expansions* expansions,
                NestingPath& path, RangeBatch* batch = nullptr);
    // Stores `batch`'s values in key order; an empty tree is built from them
    // bottom-up, and the exact entries of its heavy values borrow their ids
    // where they hold the same.
    void finish_batch(RangeBatch& batch);
    // Removes that record, and `value`'s `exact` entry once its set is empty
    // (after `reduce` the entry may be missing already; the range tree and
    // the nested listing still hold the id). For an indexable value, the id
    // also leaves the value's `nested_ids` set.
    void remove_id(const PyValue& value, std::uint32_t id);

    // The ids holding a value with this hash, or null.
    const HybridSet* find(std::uint64_t hash) const {
        if (exact.empty()) return nullptr;
        auto found = exact.find(hash);
        return found == exact.end() ? nullptr : &found->second;
    }
    const HybridSet* find(const PyValue& value) const { return find(value.hash()); }

    // Panics unless every borrowing exact entry borrows a heavy value of the
    // tree that is lent under the entry's hash (see query_map.cpp).
    void verify_lending();

    // Declared before `exact`, which may borrow from it: entries go first.
    BitMapBTree ranged;
    ExactMap exact;
    NestedIdMap nested_ids;
    IndexAPI nested;

  private:
    void add_to_batch(const PyValue& value, std::uint32_t id, RangeBatch& batch);
    void insert_number(Number number, std::uint32_t id, std::uint64_t hash);
};

// The range tree's view of a numeric value.
inline Number to_number(const PyValue& value) {
    return value.kind() == CastKind::Int ? Number::from_int(value.as_int())
                                         : Number::from_float(value.as_float());
}

}  // namespace corvalex
