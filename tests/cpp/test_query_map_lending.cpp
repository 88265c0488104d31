// One attribute's maps against a model, under random writes of numbers that
// share hashes with each other and with a string (-1 and -2, 5 and 5.0, two
// NaNs, an int whose hash is its own), narrowing and unions of the exact
// sets alone, and batch loads. Values get enough ids to turn heavy in the
// range tree, whose bitmaps their exact entries then borrow: every entry
// must still hold exactly the ids stored under its hash, and the tree
// exactly the (number, id) pairs.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "index/query_map.hpp"
#include "index/reduction.hpp"

namespace corvalex {
namespace {

struct ValueCase {
    CastKind kind;
    double number;  // Int and Float
    std::uint64_t hash;
};

const double kNan = std::numeric_limits<double>::quiet_NaN();
// The first kCommon values are written often enough to turn heavy; the rest
// share a hash or a number with one of them and arrive now and then.
const std::vector<ValueCase> kValues = {
    {CastKind::Int, 5, 5},
    {CastKind::Float, 5, 5},
    {CastKind::Int, -1, std::uint64_t(-2)},
    {CastKind::Float, kNan, 1001},  // NaN objects are hashed by identity
    {CastKind::Int, 9, 9},
    {CastKind::Float, 2.5, 1152921504606846977},
    {CastKind::Int, 5, 77},  // an int subclass with a hash of its own
    {CastKind::Int, -2, std::uint64_t(-2)},
    {CastKind::Float, kNan, 1002},
    {CastKind::Str, 0, 9},  // a string whose hash is 9's
};
constexpr std::size_t kCommon = 6;
constexpr std::uint32_t kIds = 300;

PyValue make_value(const ValueCase& value) {
    const std::uint64_t bits = value.kind == CastKind::Int
                                   ? std::bit_cast<std::uint64_t>(std::int64_t(value.number))
                                   : std::bit_cast<std::uint64_t>(value.number);
    return PyValue::adopt(nullptr, value.kind, value.hash, bits);
}

bool is_number(const ValueCase& value) {
    return value.kind == CastKind::Int || value.kind == CastKind::Float;
}

// The map under test and its model; steps are random or given.
struct LendingModel {
    explicit LendingModel(std::uint64_t seed, bool load = true) : rng_(seed) {
        map_ = &query_map_for(table_, "a");
        if (load) load_batch();
    }

    void run(int steps) {
        for (step_ = 0; step_ < steps; ++step_) {
            const unsigned op = below(100);
            if (op < 70) {
                write(below(kIds), below(kCommon + 1) == kCommon ? kNone : below(kCommon));
            } else if (op < 80) {
                write(below(kIds), kCommon + below(kValues.size() - kCommon));
            } else if (op < 84) {
                narrow();
            } else if (op < 88) {
                unite();
            } else if (op < 89) {
                restart();
            } else if (op < 91) {
                for (int i = 0; i < 6; ++i) write(below(kIds), kNone);
                load_batch();
            } else {
                // Bursts that move many ids to one value make values heavy.
                const std::size_t value = below(kValues.size());
                for (int i = 0; i < 40; ++i) write(below(kIds), value);
            }
            ASSERT_NO_FATAL_FAILURE(check()) << "step " << step_ << ", op " << op;
            lent_steps_ += lends();
        }
    }

    bool lends() const {
        return std::any_of(map_->exact.begin(), map_->exact.end(),
                           [](const auto& entry) { return entry.second.is_borrowed(); });
    }

    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }

    static constexpr std::size_t kNone = std::size_t(-1);

    // Stores `value` (or none) for `id`, as an attribute write does.
    void write(std::uint32_t id, std::size_t value) {
        if (const std::optional<std::size_t> old = held_[id]) {
            map_->remove_id(make_value(kValues[*old]), id);
            exact_[kValues[*old].hash].erase(id);
            held_[id].reset();
        }
        if (value == kNone) return;
        NestedInsertions done;
        NestingPath path(id, done);
        map_->insert(make_value(kValues[value]), id, nullptr, path);
        exact_[kValues[value].hash].insert(id);
        held_[id] = value;
    }

    // A fresh map, loaded as a batch unless told otherwise.
    void restart(bool load = true) {
        table_.clear();
        map_ = &query_map_for(table_, "a");
        exact_.clear();
        for (auto& held : held_) held.reset();
        if (load) load_batch();
    }

    // A batch of the ids that hold no value: all of them in a fresh map.
    void load_batch() {
        RangeBatch batch;
        NestedInsertions done;
        for (std::uint32_t id = 0; id < kIds; ++id) {
            if (held_[id]) continue;
            const bool any = !map_->ranged.empty() && below(2) == 0;
            const std::size_t value = any ? below(kValues.size()) : below(kCommon);
            NestingPath path(id, done);
            map_->insert(make_value(kValues[value]), id, nullptr, path, &batch);
            exact_[kValues[value].hash].insert(id);
            held_[id] = value;
        }
        map_->finish_batch(batch);
    }

    void narrow() {
        std::set<std::uint32_t> kept;
        for (std::uint32_t id = 0; id < kIds; ++id)
            if (below(4) != 0) kept.insert(id);
        narrow(kept);
    }

    // What `reduce` does: the exact sets keep the ids of `kept_ids` only,
    // then the kept objects are added again; the tree keeps every id.
    void narrow(const std::set<std::uint32_t>& kept_ids) {
        Bitmap kept;
        for (const std::uint32_t id : kept_ids) kept.add(id);
        narrow_exact_sets(table_, kept);
        for (auto& [hash, ids] : exact_)
            std::erase_if(ids, [&](auto id) { return !kept_ids.contains(id); });
        NestedInsertions done;
        for (const std::uint32_t id : kept_ids) {
            if (!held_[id]) continue;
            NestingPath path(id, done);
            map_->insert(make_value(kValues[*held_[id]]), id, nullptr, path);
            exact_[kValues[*held_[id]].hash].insert(id);
        }
    }

    // What `union_with` does to one entry: ids of another index joining it.
    void unite() {
        const std::uint64_t hash = kValues[below(kValues.size())].hash;
        Bitmap more;
        for (int n = 0; n < 3; ++n) {
            const auto id = std::uint32_t(below(kIds));
            more.add(id);
            exact_[hash].insert(id);
        }
        auto [entry, inserted] = map_->exact.try_emplace(hash, HybridSet::make_large(more.copy()));
        if (!inserted) entry->second.or_inplace(HybridSet::make_large(std::move(more)));
    }

    void check() {
        SCOPED_TRACE(step_);
        map_->verify_lending();
        map_->ranged.verify();
        std::map<std::uint64_t, std::vector<std::uint32_t>> want, got;
        for (const auto& [hash, ids] : exact_)
            if (!ids.empty()) want[hash].assign(ids.begin(), ids.end());
        for (const auto& [hash, ids] : map_->exact)
            if (!ids.is_empty()) got[hash] = ids.as_bitmap().to_vector();
        for (const auto& [hash, ids] : want) {
            std::vector<std::uint32_t> missing, extra;
            const std::vector<std::uint32_t>& have = got[hash];
            std::set_difference(ids.begin(), ids.end(), have.begin(), have.end(),
                                std::back_inserter(missing));
            std::set_difference(have.begin(), have.end(), ids.begin(), ids.end(),
                                std::back_inserter(extra));
            ASSERT_TRUE(missing.empty() && extra.empty())
                << "hash " << hash << ": " << missing.size() << " missing (first "
                << (missing.empty() ? 0 : missing[0]) << "), " << extra.size() << " extra (first "
                << (extra.empty() ? 0 : extra[0]) << ")";
        }
        ASSERT_EQ(got.size(), want.size());

        std::vector<std::uint32_t> every(kIds);
        for (std::uint32_t id = 0; id < kIds; ++id) every[id] = id;
        const Bitmap all = Bitmap::of(every);
        std::uint64_t pairs = 0;
        std::map<double, std::vector<std::uint32_t>> numbers;
        for (std::uint32_t id = 0; id < kIds; ++id) {
            if (!held_[id] || !is_number(kValues[*held_[id]])) continue;
            ++pairs;
            if (const double x = kValues[*held_[id]].number; !std::isnan(x))
                numbers[x].push_back(id);
        }
        ASSERT_EQ(map_->ranged.size(), pairs);
        for (const auto& [x, ids] : numbers) {
            const Bound at = Bound::inclusive(Number::from_float(x));
            ASSERT_EQ(map_->ranged.query_range(at, at, all).to_vector(), ids) << x;
        }
    }

    std::mt19937_64 rng_;
    AttributeTable table_;
    QueryMap* map_;
    std::map<std::uint64_t, std::set<std::uint32_t>> exact_;
    std::vector<std::optional<std::size_t>> held_ = std::vector<std::optional<std::size_t>>(kIds);
    int step_ = 0;

    std::size_t lent_steps_ = 0;  // steps after which some entry borrows
};

TEST(QueryMapLending, ExactSetsAndTreeMatchTheModel) {
    for (const std::uint64_t seed : {1, 2, 3}) {
        SCOPED_TRACE(seed);
        LendingModel model(seed);
        EXPECT_TRUE(model.lends()) << "a batch load lends nothing";
        model.run(1500);
        EXPECT_GT(model.lent_steps_, 100u);
    }
}

// After `reduce` has dropped -1's ids from the entry of hash -2, the entry
// can come to borrow -2's ids while -1 still has its own in the tree: a new
// -1 must then join the entry, and -1's last id leaving must not take the
// entry with it.
TEST(QueryMapLending, AnEntryLentAnotherNumbersIdsAfterANarrowingStaysRight) {
    constexpr std::size_t kMinusOne = 2, kMinusTwo = 7;
    const std::uint64_t hash = kValues[kMinusOne].hash;
    ASSERT_EQ(hash, kValues[kMinusTwo].hash);
    for (const bool minus_one_returns : {true, false}) {
        SCOPED_TRACE(minus_one_returns);
        LendingModel model(1, false);
        for (std::uint32_t id = 0; id < 40; ++id) model.write(id, kMinusOne);
        model.narrow({});
        for (std::uint32_t id = 100; id < 140; ++id) model.write(id, kMinusTwo);
        ASSERT_TRUE(model.map_->exact.at(hash).is_borrowed());
        if (minus_one_returns) {
            model.write(200, kMinusOne);
        } else {
            for (std::uint32_t id = 0; id < 40; ++id) model.write(id, LendingModel::kNone);
            EXPECT_TRUE(model.map_->exact.at(hash).is_borrowed());
        }
        ASSERT_NO_FATAL_FAILURE(model.check());
    }
}

}  // namespace
}  // namespace corvalex
