// The range tree against a model: a std::set of (value, id) pairs ordered by
// exact numeric value (an Int and a Float of equal value tie and the id
// decides; -NaN lies below every number, +NaN above), and each id's value.
// Operations are decoded from bytes: inserts (one value per id, as the
// attribute map keeps it), duplicate and absent pairs, runs of thousands of
// ids that grow the tree several levels, bulk loads (bottom-up into an empty
// tree, one by one into a filled one), removals by stride that can drain it,
// re-inserted pairs that separators still name, and range queries with every
// kind of bound over five universes. verify() runs after every operation.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "base/panic.hpp"
#include "model_input.hpp"
#include "structures/ranged_b_tree.hpp"

namespace corvalex::model {

// -1, 0 or 1 by mathematical value, computed without the tree's key layout.
inline int compare(Number a, Number b) {
    auto nan_side = [](Number n) {
        if (!n.is_float() || !std::isnan(n.as_float())) return 0;
        return std::signbit(n.as_float()) ? -1 : 1;
    };
    if (const int x = nan_side(a), y = nan_side(b); x != 0 || y != 0) return (x > y) - (x < y);
    if (a.is_int() && b.is_int()) return (a.as_int() > b.as_int()) - (a.as_int() < b.as_int());
    if (a.is_float() && b.is_float())
        return (a.as_float() > b.as_float()) - (a.as_float() < b.as_float());
    if (a.is_float()) return -compare(b, a);
    const int64_t i = a.as_int();
    const double d = b.as_float();
    if (d >= 9223372036854775808.0) return -1;
    if (d < -9223372036854775808.0) return 1;
    const double whole = std::trunc(d);
    const auto t = static_cast<int64_t>(whole);
    if (i != t) return i < t ? -1 : 1;
    return d > whole ? -1 : (d < whole ? 1 : 0);
}

inline Number pick_number(ByteReader& in) {
    using limits = std::numeric_limits<double>;
    static const double tiny = limits::denorm_min(), inf = limits::infinity(),
                        nan = limits::quiet_NaN();
    static const double kFloats[] = {0.0,   -0.0,  0.5,       -0.5,   2.5,        -3.25,  1e-300,
                                     tiny,  -tiny, 0x1p-1022, 0x1p53, 0x1p53 + 2, 0x1p63, -0x1p63,
                                     1e300, inf,   -inf,      nan,    -nan};
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kMin = -kMax - 1;
    static const int64_t kInts[] = {
        0, 1, -1, 2, 1LL << 53, (1LL << 53) + 1, -(1LL << 53) - 1, kMax, kMax - 1, kMin, kMin + 1};
    switch (in.below(5)) {
        case 0:
            return Number::from_int(int64_t(in.below(41)) - 20);
        case 1:
            return Number::from_float((int(in.below(81)) - 40) / 2.0);
        case 2:
            return Number::from_float(kFloats[in.below(std::size(kFloats))]);
        case 3:
            return Number::from_int(kInts[in.below(std::size(kInts))]);
        default: {
            const double d = std::bit_cast<double>(in.bytes(8));
            return Number::from_float(std::isnan(d) ? 0.0 : d);
        }
    }
}

inline Bound pick_bound(ByteReader& in) {
    const unsigned kind = in.below(3);
    if (kind == 2) return Bound::none();
    return kind == 0 ? Bound::inclusive(pick_number(in)) : Bound::exclusive(pick_number(in));
}

class RangeTreeModel {
  public:
    // Returns the most levels the tree had.
    std::size_t run(ByteReader& in) {
        std::size_t most_levels = 1;
        for (; !in.done(); ++steps_) {
            step(in);
            require(tree_.size() == pairs_.size(), "size() differs", steps_);
            try {
                tree_.verify();
            } catch (const Panic& failure) {
                require(false, failure.what(), steps_);
            }
            std::size_t levels = 1;
            for (const BitMapBTreeNode* node = &tree_.root(); !node->is_leaf(); ++levels)
                node = node->as_internal().children[node->offset].get();
            most_levels = std::max(most_levels, levels);
        }
        return most_levels;
    }

  private:
    using Pair = std::pair<Number, uint32_t>;
    struct Less {
        bool operator()(const Pair& a, const Pair& b) const {
            const int c = compare(a.first, b.first);
            return c != 0 ? c < 0 : a.second < b.second;
        }
    };
    static constexpr uint32_t kMaxId = 26000;

    void step(ByteReader& in) {
        switch (in.below(8)) {
            case 0:
            case 1: {
                const uint32_t id = in.below(300);
                auto found = value_of_.find(id);
                if (found != value_of_.end() && in.flag()) {
                    tree_.insert(found->second, id);  // the stored pair again
                } else {
                    insert(pick_number(in), id);
                }
                break;
            }
            case 2:
                if (!value_of_.empty() && in.flag()) {
                    auto it = value_of_.lower_bound(in.below(kMaxId));
                    if (it == value_of_.end()) it = value_of_.begin();
                    remove(it->second, it->first);
                } else {
                    remove(pick_number(in), in.below(kMaxId));
                }
                break;
            case 3: {
                const Run run(in);
                for (uint32_t i = 0; i < run.count; ++i) insert(run.value(i), run.first + i);
                break;
            }
            case 4: {
                const uint32_t stride = 1 + in.below(7), phase = in.below(7) % stride;
                std::vector<Pair> chosen;
                for (const auto& [id, v] : value_of_)
                    if (id % stride == phase) chosen.emplace_back(v, id);
                for (const auto& [v, id] : chosen) remove(v, id);
                break;
            }
            case 5:
                bulk(in);
                break;
            case 6:
                if (!removed_.empty()) {
                    const auto [v, id] = removed_[in.below(removed_.size())];
                    if (!value_of_.contains(id)) insert(v, id);
                }
                break;
            default:
                query(pick_bound(in), pick_bound(in), universe(in.below(5)));
                break;
        }
    }

    // Consecutive ids whose values follow a pattern: ascending or scattered,
    // over a few values (each shared by hundreds of ids) or many.
    struct Run {
        uint32_t first, count, multiplier, modulus;
        bool as_float;
        explicit Run(ByteReader& in)
            : first(in.below(20000)),
              count(1 + in.below(6000)),
              multiplier(in.flag() ? 1 : 7919),
              modulus(1 + (in.flag() ? in.below(50) : in.below(30000))),
              as_float(in.flag()) {}
        Number value(uint32_t i) const {
            const int64_t v = int64_t(first + i) * multiplier % modulus;
            return as_float ? Number::from_float(double(v) / 4) : Number::from_int(v);
        }
    };

    void bulk(ByteReader& in) {
        if (in.flag()) {  // load into an empty tree
            for (auto it = value_of_.begin(); it != value_of_.end();) {
                remove(it->second, it->first);
                it = value_of_.begin();
            }
        }
        const Run run(in);
        std::vector<CompositeKey128> keys;
        for (uint32_t i = 0; i < run.count; ++i) {
            const uint32_t id = run.first + i;
            if (auto old = value_of_.find(id); old != value_of_.end()) remove(old->second, id);
            const Number v = run.value(i);
            keys.emplace_back(v, id);
            if (i % 50 == 0) keys.emplace_back(v, id);  // the same pair twice
            pairs_.insert({v, id});
            value_of_.emplace(id, v);
        }
        tree_.insert_many(keys);
    }

    void insert(Number v, uint32_t id) {
        if (auto old = value_of_.find(id); old != value_of_.end()) remove(old->second, id);
        tree_.insert(v, id);
        pairs_.insert({v, id});
        value_of_.emplace(id, v);
    }

    void remove(Number v, uint32_t id) {
        const bool stored = pairs_.erase({v, id}) == 1;
        if (stored) {
            value_of_.erase(id);
            if (removed_.size() == 64) removed_.erase(removed_.begin());
            removed_.emplace_back(v, id);
        }
        require(tree_.remove(v, id).changed == stored, "remove() differs", steps_);
    }

    void query(const Bound& lower, const Bound& upper, const Bitmap& universe) const {
        auto it = pairs_.begin();
        if (lower.kind == Bound::Kind::Inclusive) it = pairs_.lower_bound({lower.value, 0});
        if (lower.kind == Bound::Kind::Exclusive)
            it = pairs_.upper_bound({lower.value, UINT32_MAX});
        std::vector<uint32_t> want;
        for (; it != pairs_.end(); ++it) {
            if (upper.kind != Bound::Kind::None) {
                const int c = compare(it->first, upper.value);
                if (c > 0 || (c == 0 && upper.kind == Bound::Kind::Exclusive)) break;
            }
            if (universe.contains(it->second)) want.push_back(it->second);
        }
        std::sort(want.begin(), want.end());
        require(tree_.query_range(lower, upper, universe).to_vector() == want,
                "query_range() differs", steps_);
    }

    // Every id up to kMaxId, and every second, third, fourth or fifth one.
    static const Bitmap& universe(uint32_t which) {
        static const std::vector<Bitmap> all = [] {
            std::vector<Bitmap> made;
            for (uint32_t stride = 1; stride <= 5; ++stride) {
                Bitmap u;
                for (uint32_t id = 0; id <= kMaxId; id += stride) u.add(id);
                made.push_back(std::move(u));
            }
            return made;
        }();
        return all[which];
    }

    BitMapBTree tree_;
    std::set<Pair, Less> pairs_;
    std::map<uint32_t, Number> value_of_;
    std::vector<Pair> removed_;  // the latest removed pairs
    std::size_t steps_ = 0;
};

// Returns the most levels the tree had.
inline std::size_t run_range_tree_model(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    return RangeTreeModel().run(in);
}

}  // namespace corvalex::model
