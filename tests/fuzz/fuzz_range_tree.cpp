// Random operation sequences on the range tree, checked against a std::set of
// (number, id) pairs ordered by exact numeric value: inserts (one id under one
// value at a time, as the attribute map keeps it), removals of stored and
// absent pairs, bulk runs that grow the tree several levels, and range queries
// with every kind of bound over a random universe. verify() runs after
// structural changes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "structures/ranged_b_tree.hpp"

namespace {

using corvalex::Bitmap;
using corvalex::BitMapBTree;
using corvalex::Bound;
using corvalex::Number;

void require(bool condition) {
    if (!condition) std::abort();
}

// -1, 0 or 1 by mathematical value; NaN is never generated.
int compare(Number a, Number b) {
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
    const double fraction = d - whole;
    return fraction > 0 ? -1 : (fraction < 0 ? 1 : 0);
}

struct Less {
    bool operator()(const std::pair<Number, uint32_t>& a,
                    const std::pair<Number, uint32_t>& b) const {
        const int c = compare(a.first, b.first);
        return c != 0 ? c < 0 : a.second < b.second;
    }
};

Number pick_number(FuzzedDataProvider& in) {
    static constexpr double kFloats[] = {0.0,
                                         -0.0,
                                         0.5,
                                         -0.5,
                                         1.0,
                                         2.5,
                                         -3.25,
                                         1e-300,
                                         4.9e-324,
                                         9007199254740992.0,
                                         9007199254740993.0,
                                         9223372036854775808.0,
                                         -9223372036854775808.0,
                                         1e300,
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity()};
    static constexpr int64_t kInts[] = {0,
                                        1,
                                        -1,
                                        2,
                                        9007199254740992,
                                        9007199254740993,
                                        std::numeric_limits<int64_t>::max(),
                                        std::numeric_limits<int64_t>::min()};
    switch (in.ConsumeIntegralInRange<unsigned>(0, 4)) {
        case 0:
            return Number::from_int(in.ConsumeIntegralInRange<int64_t>(-20, 20));
        case 1:
            return Number::from_float(in.ConsumeIntegralInRange<int>(-40, 40) / 2.0);
        case 2:
            return Number::from_float(in.PickValueInArray(kFloats));
        case 3:
            return Number::from_int(in.PickValueInArray(kInts));
        default: {
            const double d = in.ConsumeFloatingPoint<double>();
            return Number::from_float(std::isnan(d) ? 0.0 : d);
        }
    }
}

Bound pick_bound(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<unsigned>(0, 2)) {
        case 0:
            return Bound::inclusive(pick_number(in));
        case 1:
            return Bound::exclusive(pick_number(in));
        default:
            return Bound::none();
    }
}

bool above_lower(Number v, const Bound& lower) {
    if (lower.kind == Bound::Kind::None) return true;
    const int c = compare(v, lower.value);
    return lower.kind == Bound::Kind::Inclusive ? c >= 0 : c > 0;
}

bool below_upper(Number v, const Bound& upper) {
    if (upper.kind == Bound::Kind::None) return true;
    const int c = compare(v, upper.value);
    return upper.kind == Bound::Kind::Inclusive ? c <= 0 : c < 0;
}

// Every id the harness uses, and every second, third ... fifth of them.
const std::vector<Bitmap>& universes() {
    static const std::vector<Bitmap> all = [] {
        std::vector<Bitmap> made;
        for (uint32_t stride = 1; stride <= 5; ++stride) {
            Bitmap universe;
            for (uint32_t id = 0; id <= 23000; id += stride) universe.add(id);
            made.push_back(std::move(universe));
        }
        return made;
    }();
    return all;
}

struct Harness {
    BitMapBTree tree;
    std::set<std::pair<Number, uint32_t>, Less> pairs;
    std::map<uint32_t, Number> value_of;

    void insert(Number v, uint32_t id) {
        if (auto found = value_of.find(id); found != value_of.end()) {
            // One value per id: the old pair goes first.
            require(tree.remove(found->second, id));
            pairs.erase({found->second, id});
            value_of.erase(found);
        }
        tree.insert(v, id);
        pairs.insert({v, id});
        value_of.emplace(id, v);
    }

    void remove(Number v, uint32_t id) {
        const bool stored = pairs.erase({v, id}) == 1;
        if (stored) value_of.erase(id);
        require(tree.remove(v, id) == stored);
    }

    void query(const Bound& lower, const Bound& upper, const Bitmap& universe) const {
        std::vector<uint32_t> want;
        for (const auto& [v, id] : pairs)
            if (above_lower(v, lower) && below_upper(v, upper) && universe.contains(id))
                want.push_back(id);
        std::sort(want.begin(), want.end());
        require(tree.query_range(lower, upper, universe).to_vector() == want);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Harness h;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<unsigned>(0, 5)) {
            case 0:
            case 1:
                h.insert(pick_number(in), in.ConsumeIntegralInRange<uint32_t>(0, 300));
                break;
            case 2: {
                // Remove a stored pair, or try one that may be absent.
                if (!h.value_of.empty() && in.ConsumeBool()) {
                    auto it = h.value_of.lower_bound(in.ConsumeIntegralInRange<uint32_t>(0, 300));
                    if (it == h.value_of.end()) it = h.value_of.begin();
                    h.remove(it->second, it->first);
                } else {
                    h.remove(pick_number(in), in.ConsumeIntegralInRange<uint32_t>(0, 300));
                }
                break;
            }
            case 3: {
                // A run of ids with values in a pattern: enough for several levels.
                const uint32_t first = in.ConsumeIntegralInRange<uint32_t>(0, 20000);
                const uint32_t count = in.ConsumeIntegralInRange<uint32_t>(1, 3000);
                const int64_t modulus = in.ConsumeIntegralInRange<int64_t>(1, 5000);
                const bool as_float = in.ConsumeBool();
                for (uint32_t i = 0; i < count; ++i) {
                    const int64_t v = (int64_t(first + i) * 7919) % modulus;
                    h.insert(as_float ? Number::from_float(double(v) / 4) : Number::from_int(v),
                             first + i);
                }
                break;
            }
            case 4: {
                // Remove every stored pair whose id falls in a stride.
                const uint32_t stride = in.ConsumeIntegralInRange<uint32_t>(1, 7);
                const uint32_t phase = in.ConsumeIntegralInRange<uint32_t>(0, 6);
                std::vector<std::pair<uint32_t, Number>> chosen;
                for (const auto& [id, v] : h.value_of)
                    if (id % stride == phase % stride) chosen.push_back({id, v});
                for (const auto& [id, v] : chosen) h.remove(v, id);
                break;
            }
            default: {
                const Bound lower = pick_bound(in);
                const Bound upper = pick_bound(in);
                const Bitmap& universe = universes()[in.ConsumeIntegralInRange<uint32_t>(0, 4)];
                h.query(lower, upper, universe);
                break;
            }
        }
        require(h.tree.size() == h.pairs.size());
        h.tree.verify();
    }
    return 0;
}
