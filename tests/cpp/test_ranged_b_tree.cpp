#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "structures/ranged_b_tree.hpp"

namespace corvalex {
namespace {

using Ids = std::vector<uint32_t>;
using limits = std::numeric_limits<double>;

Number I(int64_t v) {
    return Number::from_int(v);
}
Number F(double v) {
    return Number::from_float(v);
}
Bound ge(Number v) {
    return Bound::inclusive(v);
}
Bound gt(Number v) {
    return Bound::exclusive(v);
}
Bound none() {
    return Bound::none();
}

Bitmap universe_upto(uint32_t max_id) {
    Bitmap u;
    std::vector<uint32_t> ids(max_id + 1);
    for (uint32_t i = 0; i <= max_id; ++i) ids[i] = i;
    u.add_many(ids);
    return u;
}

Ids query(const BitMapBTree& t, Bound lo, Bound hi, const Bitmap& universe) {
    return t.query_range(lo, hi, universe).to_vector();
}

std::string describe(Number n) {
    return n.is_int() ? "Int(" + std::to_string(n.as_int()) + ")"
                      : "Float(" + std::to_string(n.as_float()) + ")";
}
std::string describe(const Bound& b) {
    if (b.kind == Bound::Kind::None) return "none";
    return (b.kind == Bound::Kind::Inclusive ? "incl " : "excl ") + describe(b.value);
}

// The brute-force model: the set of stored keys, and each id's value.
class Model {
  public:
    bool insert(Number v, uint32_t id) {
        const bool fresh = keys_.insert(CompositeKey128(v, id).key).second;
        if (fresh) value_of_.emplace(id, v);
        return fresh;
    }
    bool remove(Number v, uint32_t id) {
        if (keys_.erase(CompositeKey128(v, id).key) == 0) return false;
        value_of_.erase(id);
        return true;
    }
    const Number* value_of(uint32_t id) const {
        auto it = value_of_.find(id);
        return it == value_of_.end() ? nullptr : &it->second;
    }
    size_t size() const { return keys_.size(); }

    Bitmap query(const Bound& lo, const Bound& hi, const Bitmap& universe) const {
        auto first = keys_.begin();
        auto last = keys_.end();
        if (lo.kind == Bound::Kind::Inclusive) {
            first = keys_.lower_bound(CompositeKey128::first_of(sort_prefix(lo.value)).key);
        } else if (lo.kind == Bound::Kind::Exclusive) {
            first = keys_.upper_bound(CompositeKey128::last_of(sort_prefix(lo.value)).key);
        }
        if (hi.kind == Bound::Kind::Inclusive) {
            last = keys_.upper_bound(CompositeKey128::last_of(sort_prefix(hi.value)).key);
        } else if (hi.kind == Bound::Kind::Exclusive) {
            last = keys_.lower_bound(CompositeKey128::first_of(sort_prefix(hi.value)).key);
        }
        Bitmap out;
        if (first != keys_.end() && (last == keys_.end() || *first < *last)) {
            for (auto it = first; it != last; ++it) {
                const auto id = static_cast<uint32_t>(*it);
                if (universe.contains(id)) out.add(id);
            }
        }
        return out;
    }

  private:
    std::set<u128> keys_;
    std::unordered_map<uint32_t, Number> value_of_;
};

// Applies every operation to the tree and the model and compares them.
struct Harness {
    BitMapBTree tree;
    Model model;
    size_t steps = 0;
    size_t verify_every_when_large = 250;
    size_t small_size = 1500;

    void insert(Number v, uint32_t id) {
        model.insert(v, id);
        tree.insert(v, id);
        after_step();
    }
    void remove(Number v, uint32_t id) {
        const bool expected = model.remove(v, id);
        ASSERT_EQ(tree.remove(v, id), expected) << describe(v) << " id " << id;
        after_step();
    }
    void query(const Bound& lo, const Bound& hi, const Bitmap& universe) {
        const Bitmap got = tree.query_range(lo, hi, universe);
        const Bitmap want = model.query(lo, hi, universe);
        ASSERT_TRUE(got == want) << "query [" << describe(lo) << ", " << describe(hi) << "] got "
                                 << got.cardinality() << " ids, want " << want.cardinality();
        ++steps;
    }
    void after_step() {
        ++steps;
        ASSERT_EQ(tree.size(), model.size());
        if (model.size() < small_size || steps % verify_every_when_large == 0) {
            ASSERT_NO_THROW(tree.verify());
        }
    }
};

const InternalNode& root_internal(const BitMapBTree& t) {
    EXPECT_FALSE(t.root().is_leaf());
    return t.root().as_internal();
}

TEST(BitMapBTree, NewTreeIsAnEmptyLeafInTheMiddle) {
    BitMapBTree t;
    ASSERT_TRUE(t.root().is_leaf());
    EXPECT_EQ(t.root().len, 0u);
    EXPECT_EQ(t.root().offset, 48u);
    EXPECT_TRUE(query(t, none(), none(), universe_upto(10)).empty());
    EXPECT_TRUE(query(t, ge(I(0)), ge(I(5)), universe_upto(10)).empty());
    EXPECT_FALSE(t.remove(I(1), 1));
    t.verify();
}

TEST(BitMapBTree, AscendingInsertsFillTheRootLeafThenSplitIt) {
    BitMapBTree t;
    for (uint32_t i = 1; i <= 95; ++i) {
        t.insert(I(i), i);
        ASSERT_NO_THROW(t.verify()) << i;
    }
    ASSERT_TRUE(t.root().is_leaf());
    EXPECT_EQ(t.root().len, 95u);
    EXPECT_EQ(t.root().offset, 0u);

    t.insert(I(96), 96);
    t.verify();
    const InternalNode& root = root_internal(t);
    EXPECT_EQ(root.offset, 48u);
    EXPECT_EQ(root.len, 2u);
    EXPECT_EQ(root.children[48]->len, 47u);
    EXPECT_EQ(root.children[49]->len, 49u);
    EXPECT_EQ(root.keys[49], CompositeKey128(I(48), 48));
    Ids left, right;
    for (uint32_t i = 1; i <= 47; ++i) left.push_back(i);
    for (uint32_t i = 48; i <= 96; ++i) right.push_back(i);
    EXPECT_EQ(root.bitmaps[48]->to_vector(), left);
    EXPECT_EQ(root.bitmaps[49]->to_vector(), right);
}

TEST(BitMapBTree, RangeBoundsOnEqualValues) {
    // Once on a leaf root, once spread over a deep tree with the same ids.
    for (int padded = 0; padded < 2; ++padded) {
        BitMapBTree t;
        const Bitmap universe = universe_upto(20);
        if (padded) {
            for (uint32_t i = 0; i < 20000; ++i) t.insert(F(i % 2 ? -1e6 - i : 1e6 + i), 100 + i);
        }
        t.insert(I(1), 10);
        t.insert(I(2), 11);
        t.insert(F(2.0), 12);
        t.insert(I(3), 13);
        EXPECT_EQ(t.root().is_leaf(), !padded);
        for (Number two : {I(2), F(2.0)}) {
            EXPECT_EQ(query(t, ge(two), none(), universe), (Ids{11, 12, 13}));
            EXPECT_EQ(query(t, gt(two), none(), universe), (Ids{13}));
            EXPECT_EQ(query(t, none(), ge(two), universe), (Ids{10, 11, 12}));
            EXPECT_EQ(query(t, none(), gt(two), universe), (Ids{10}));
            EXPECT_EQ(query(t, ge(two), ge(two), universe), (Ids{11, 12}));
            EXPECT_TRUE(query(t, gt(two), gt(two), universe).empty());
            EXPECT_TRUE(query(t, ge(I(3)), ge(two), universe).empty());
        }
        t.insert(F(-0.0), 14);
        t.insert(I(0), 15);
        for (Number zero : {I(0), F(0.0), F(-0.0)}) {
            EXPECT_EQ(query(t, ge(zero), ge(zero), universe), (Ids{14, 15}));
            EXPECT_EQ(query(t, gt(zero), gt(I(2)), universe), (Ids{10}));
        }
    }
}

TEST(BitMapBTree, HundredsOfEqualValuesAcrossSeveralChildren) {
    BitMapBTree t;
    for (uint32_t i = 0; i < 400; ++i) t.insert(I(i % 2 ? 4 : 6), 5000 + i);
    for (uint32_t i = 0; i < 300; ++i) t.insert(i % 3 ? I(5) : F(5.0), 1000 + i);
    t.verify();
    const InternalNode& root = root_internal(t);
    const u128 five = sort_prefix(I(5));
    uint32_t first_five = root.len, last_five = 0;
    for (uint32_t i = 0; i < root.len; ++i) {
        if (root.keys[root.offset + i].prefix() == five) {
            first_five = std::min(first_five, i);
            last_five = i;
        }
    }
    ASSERT_LT(first_five, last_five) << "several separators should start with 5";
    EXPECT_EQ(root.get_key_index(I(5), KeyIndexMode::LowerInclusive), first_five - 1);
    EXPECT_EQ(root.get_key_index(F(5.0), KeyIndexMode::UpperExclusive), first_five - 1);
    EXPECT_EQ(root.get_key_index(I(5), KeyIndexMode::LowerExclusive), last_five);
    EXPECT_EQ(root.get_key_index(I(5), KeyIndexMode::UpperInclusive), last_five);
    EXPECT_EQ(root.get_key_index(F(-limits::infinity()), KeyIndexMode::UpperInclusive), 0u);
    EXPECT_EQ(root.get_key_index(F(limits::infinity()), KeyIndexMode::LowerInclusive),
              root.len - 1);

    const Bitmap universe = universe_upto(6000);
    Ids fives;
    for (uint32_t i = 0; i < 300; ++i) fives.push_back(1000 + i);
    auto with_value_5 = [&](const Ids& ids) {
        size_t n = 0;
        for (uint32_t id : ids) n += id >= 1000 && id < 1300;
        return n;
    };
    EXPECT_EQ(with_value_5(query(t, none(), ge(I(5)), universe)), 300u);
    EXPECT_EQ(with_value_5(query(t, ge(F(5.0)), none(), universe)), 300u);
    EXPECT_EQ(with_value_5(query(t, none(), gt(I(5)), universe)), 0u);
    EXPECT_EQ(with_value_5(query(t, gt(I(5)), none(), universe)), 0u);
    EXPECT_EQ(query(t, ge(I(5)), ge(I(5)), universe), fives);
    EXPECT_EQ(query(t, gt(I(4)), gt(I(6)), universe), fives);
}

TEST(BitMapBTree, RemovalKeepsSeparatorsAndAllowsReinsertion) {
    BitMapBTree t;
    for (uint32_t i = 1; i <= 300; ++i) t.insert(I(i), i);
    const InternalNode& root = root_internal(t);
    // The first key of the second child is a separator.
    const CompositeKey128 separator = root.keys[root.offset + 1];
    const uint32_t id = separator.id();
    const Number value = I(id);
    const Bitmap universe = universe_upto(400);

    EXPECT_TRUE(t.remove(value, id));
    EXPECT_FALSE(t.remove(value, id));
    EXPECT_FALSE(t.remove(F(id + 0.5), id));
    t.verify();
    EXPECT_EQ(root.keys[root.offset + 1], separator);
    EXPECT_FALSE(root.bitmaps[root.offset + 1]->contains(id));
    // Wide queries take the second child whole, through its bitmap.
    EXPECT_FALSE(t.query_range(none(), none(), universe).contains(id));
    EXPECT_FALSE(t.query_range(ge(I(0)), ge(I(300)), universe).contains(id));

    t.insert(value, id);
    t.verify();
    EXPECT_TRUE(root.bitmaps[root.offset + 1]->contains(id));
    EXPECT_EQ(root.children[root.offset + 1]->as_leaf().begin()->key, separator.key);
    EXPECT_EQ(query(t, ge(value), ge(value), universe), (Ids{id}));

    // Removing from the middle of a leaf keeps the rest in order.
    const LeafNode& leaf = root.children[root.offset]->as_leaf();
    const uint32_t before = leaf.len;
    const uint32_t middle = leaf.begin()[before / 2].id();
    EXPECT_TRUE(t.remove(I(middle), middle));
    EXPECT_EQ(leaf.len, before - 1);
    t.verify();
}

TEST(BitMapBTree, DuplicatePairsAndSmallKeysLeaveSeparatorsAlone) {
    BitMapBTree t;
    for (uint32_t i = 0; i < 500; ++i) t.insert(I(100 + i), i);
    t.insert(I(100), 0);
    t.insert(F(100.0), 0);
    EXPECT_EQ(t.size(), 500u);
    const InternalNode& root = root_internal(t);
    const CompositeKey128 first_separator = root.keys[root.offset];

    t.insert(F(-5.5), 1000);
    t.verify();
    EXPECT_EQ(root.keys[root.offset], first_separator);
    EXPECT_TRUE(root.bitmaps[root.offset]->contains(1000));
    EXPECT_EQ(query(t, none(), gt(I(100)), universe_upto(2000)), (Ids{1000}));

    EXPECT_TRUE(t.remove(I(100), 0));
    EXPECT_FALSE(t.query_range(none(), none(), universe_upto(2000)).contains(0));
    EXPECT_EQ(t.size(), 500u);
}

TEST(BitMapBTree, DuplicateOfTheSplitPointMeetsItsTwin) {
    BitMapBTree t;
    // Root children: [1..47] and [48..142], the second full at offset 0.
    for (uint32_t i = 1; i <= 142; ++i) t.insert(I(i), i);
    const InternalNode& root = root_internal(t);
    ASSERT_EQ(root.len, 2u);
    ASSERT_TRUE(root.children[root.offset + 1]->needs_split());
    // Its split point is the key (95, 95); storing that pair again splits the
    // child and must find the twin in the right half.
    t.insert(F(95.0), 95);
    EXPECT_EQ(root.len, 3u);
    EXPECT_EQ(root.keys[root.offset + 2], CompositeKey128(I(95), 95));
    EXPECT_EQ(t.size(), 142u);
    t.verify();
    EXPECT_TRUE(t.remove(I(95), 95));
    EXPECT_FALSE(t.query_range(none(), none(), universe_upto(200)).contains(95));
}

TEST(BitMapBTree, DescendingAndAlternatingInsertsKeepInvariants) {
    Harness h;
    h.small_size = 0;
    h.verify_every_when_large = 97;
    const Bitmap universe = universe_upto(30000);
    for (uint32_t i = 0; i < 15000; ++i) {
        h.insert(I(15000 - i), i);
        if (i % 50 == 0) h.query(ge(I(14000 - i)), gt(I(15000 - i / 2)), universe);
    }
    for (uint32_t i = 0; i < 15000; ++i) {
        // Both ends grow at once.
        h.insert(F(i % 2 ? -1.0 * i : 20000.0 + i), 15000 + i);
        if (i % 50 == 0) h.query(gt(F(-100.5)), ge(I(20100)), universe);
    }
    h.tree.verify();
}

// Values that exercise the key layout: equal Int/Float pairs, zeroes,
// infinities, NaNs of both signs, and the ends of the int64 range.
Number special_or_small(std::mt19937_64& rng) {
    static const Number specials[] = {
        F(0.0),
        F(-0.0),
        I(0),
        F(limits::infinity()),
        F(-limits::infinity()),
        F(limits::quiet_NaN()),
        F(-limits::quiet_NaN()),
        I(std::numeric_limits<int64_t>::min()),
        F(-9223372036854775808.0),
        I(std::numeric_limits<int64_t>::max()),
        F(9223372036854775808.0),
        F(limits::denorm_min()),
        F(-limits::denorm_min()),
    };
    const uint64_t r = rng() % 100;
    if (r < 8) return specials[rng() % std::size(specials)];
    if (r < 20) {
        double d;
        do d = std::bit_cast<double>(rng());
        while (std::isnan(d));
        return F(d);
    }
    const int64_t small = static_cast<int64_t>(rng() % 61) - 30;
    if (r < 60) return I(small);
    if (r < 80) return F(static_cast<double>(small));
    return F(static_cast<double>(small) + 0.5);
}

Bound random_bound(std::mt19937_64& rng) {
    switch (rng() % 5) {
        case 0:
            return none();
        case 1:
        case 2:
            return ge(special_or_small(rng));
        default:
            return gt(special_or_small(rng));
    }
}

TEST(BitMapBTree, RandomOperationsMatchTheModel) {
    std::mt19937_64 rng(20240601);
    constexpr uint32_t kIds = 6000;
    const Bitmap full = universe_upto(kIds);
    Bitmap tenth, odd_block;
    for (uint32_t id = 0; id <= kIds; ++id) {
        if (rng() % 10 == 0) tenth.add(id);
        if (id % 2 || (id > 2000 && id < 4000)) odd_block.add(id);
    }
    const Bitmap* universes[] = {&full, &full, &tenth, &odd_block};

    Harness h;
    std::vector<std::pair<Number, uint32_t>> removed;
    for (int step = 0; step < 70000; ++step) {
        // Grow towards kIds pairs during the first half, churn afterwards.
        const uint64_t r = rng() % 100;
        const uint32_t id = static_cast<uint32_t>(rng() % kIds);
        const Number* current = h.model.value_of(id);
        if (r < (step < 35000 ? 55u : 35u)) {
            if (current == nullptr) {
                h.insert(special_or_small(rng), id);
            } else if (rng() % 4 == 0) {
                h.insert(*current, id);  // duplicate
            } else {
                const Number old = *current;
                h.remove(old, id);
                h.insert(special_or_small(rng), id);
            }
        } else if (r < 65) {
            if (current != nullptr) {
                removed.emplace_back(*current, id);
                h.remove(*current, id);
            } else {
                h.remove(special_or_small(rng), id);
            }
        } else if (r < 70 && !removed.empty()) {
            // Re-insert a recently removed pair: often still a separator.
            const auto [v, old_id] = removed[rng() % removed.size()];
            if (h.model.value_of(old_id) == nullptr) h.insert(v, old_id);
            if (removed.size() > 64) removed.erase(removed.begin());
        } else {
            h.query(random_bound(rng), random_bound(rng), *universes[rng() % 4]);
        }
        if (HasFatalFailure()) return;
    }
    h.tree.verify();
    EXPECT_GT(h.tree.size(), 1000u);
}

TEST(BitMapBTree, AscendingFillThenRandomDrainMatchesTheModel) {
    std::mt19937_64 rng(77);
    Harness h;
    h.small_size = 300;
    constexpr uint32_t kN = 12000;
    const Bitmap full = universe_upto(kN);
    for (uint32_t i = 0; i < kN; ++i) {
        h.insert(i % 3 ? I(i / 3) : F(i / 3.0), i);
        if (i % 20 == 0) h.query(random_bound(rng), random_bound(rng), full);
    }
    std::vector<uint32_t> order(kN);
    for (uint32_t i = 0; i < kN; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (uint32_t i : order) {
        h.remove(i % 3 ? I(i / 3) : F(i / 3.0), i);
        if (i % 20 == 0) {
            const int64_t a = static_cast<int64_t>(rng() % (kN / 3));
            h.query(ge(I(a)), gt(F(a + 150.5)), full);
        }
        if (HasFatalFailure()) return;
    }
    EXPECT_TRUE(h.tree.empty());
    EXPECT_TRUE(h.tree.query_range(none(), none(), full).is_empty());
    h.tree.verify();
    // Emptied nodes stay; the tree still works.
    h.insert(I(7), 7);
    h.query(ge(I(7)), ge(I(7)), full);
}

// Bulk loads of every shape (one leaf, one key past a full leaf, several
// levels), with duplicate pairs in the input, then queries, churn and a
// second batch into the loaded tree, all against the model.
TEST(BitMapBTree, BulkLoadedTreesMatchTheModelAndKeepWorking) {
    std::mt19937_64 rng(4242);
    for (const uint32_t count : {0u, 1u, 64u, 65u, 4097u, 70000u}) {
        SCOPED_TRACE("count " + std::to_string(count));
        Harness h;
        h.small_size = 0;
        h.verify_every_when_large = 997;
        std::vector<CompositeKey128> keys;
        for (uint32_t id = 0; id < count; ++id) {
            const Number v = special_or_small(rng);
            keys.emplace_back(v, id);
            if (id % 50 == 0) keys.emplace_back(v, id);  // the same pair twice
            h.model.insert(v, id);
        }
        std::shuffle(keys.begin(), keys.end(), rng);
        h.tree.insert_many(keys);
        ASSERT_EQ(h.tree.size(), h.model.size());
        ASSERT_NO_THROW(h.tree.verify());
        const Bitmap full = universe_upto(count + 200);
        for (int q = 0; q < 40; ++q) h.query(random_bound(rng), random_bound(rng), full);
        for (uint32_t step = 0; step < 3000 && count > 0; ++step) {
            const uint32_t id = static_cast<uint32_t>(rng() % count);
            if (const Number* current = h.model.value_of(id)) {
                const Number old = *current;
                h.remove(old, id);
            }
            h.insert(special_or_small(rng), id);
            if (HasFatalFailure()) return;
        }
        // A second batch goes into a tree that holds pairs already.
        std::vector<CompositeKey128> more;
        for (uint32_t id = count; id < count + 200; ++id) {
            const Number v = special_or_small(rng);
            more.emplace_back(v, id);
            h.model.insert(v, id);
        }
        h.tree.insert_many(more);
        ASSERT_EQ(h.tree.size(), h.model.size());
        ASSERT_NO_THROW(h.tree.verify());
        for (int q = 0; q < 40; ++q) h.query(random_bound(rng), random_bound(rng), full);
    }
}

}  // namespace
}  // namespace corvalex
