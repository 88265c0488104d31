// Random operation sequences on three HybridSets, each checked against a
// std::set after every step: inline and bitmap forms, conversions, unions and
// intersections between the sets, copies and moves.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

#include "structures/hybrid_set.hpp"

namespace {

using corvalex::HybridSet;
using Model = std::set<uint32_t>;

void require(bool condition) {
    if (!condition) std::abort();
}

uint32_t pick_id(FuzzedDataProvider& in) {
    // Mostly a few ids, so that sets collide; sometimes any id, so that the
    // bitmap holds several containers.
    if (in.ConsumeBool()) return in.ConsumeIntegralInRange<uint32_t>(0, 15);
    return in.ConsumeIntegral<uint32_t>();
}

void check(const HybridSet& set, const Model& model) {
    require(set.count() == model.size());
    require(set.is_empty() == model.empty());
    if (set.kind() == HybridSet::Kind::Small) {
        const auto ids = set.small_ids();
        require(ids.size() <= HybridSet::kInlineIds);
        require(Model(ids.begin(), ids.end()) == model);
        require(set.large() == nullptr);
    } else if (set.kind() == HybridSet::Kind::Large) {
        require(set.small_ids().empty());
        require(set.large()->cardinality() == model.size());
    } else {
        require(model.empty());
    }
    const std::vector<uint32_t> all = set.as_bitmap().to_vector();
    require(std::vector<uint32_t>(model.begin(), model.end()) == all);
    corvalex::Bitmap extra{7};
    set.add_to(extra);
    Model with_extra = model;
    with_extra.insert(7);
    const std::vector<uint32_t> added = extra.to_vector();
    require(std::vector<uint32_t>(with_extra.begin(), with_extra.end()) == added);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::array<HybridSet, 3> sets{HybridSet::make_small(), HybridSet::make_single(1),
                                  HybridSet::make_large(corvalex::Bitmap{2, 3})};
    std::array<Model, 3> models{Model{}, Model{1}, Model{2, 3}};
    while (in.remaining_bytes() > 0) {
        const unsigned op = in.ConsumeIntegralInRange<unsigned>(0, 8);
        const unsigned a = in.ConsumeIntegralInRange<unsigned>(0, 2);
        const unsigned b = in.ConsumeIntegralInRange<unsigned>(0, 2);
        HybridSet& set = sets[a];
        Model& model = models[a];
        switch (op) {
            case 0:
            case 1: {
                const uint32_t id = pick_id(in);
                set.add(id);
                model.insert(id);
                break;
            }
            case 2: {
                const uint32_t id = pick_id(in);
                set.remove(id);
                model.erase(id);
                break;
            }
            case 3: {
                const uint32_t id = pick_id(in);
                require(set.contains(id) == (model.count(id) == 1));
                break;
            }
            case 4: {
                if (a == b) {
                    set.or_inplace(HybridSet(sets[b]));
                } else {
                    set.or_inplace(sets[b]);
                    model.insert(models[b].begin(), models[b].end());
                }
                break;
            }
            case 5: {
                const HybridSet other = sets[b];
                set.and_inplace(other);
                Model kept;
                for (const uint32_t id : model)
                    if (models[b].count(id) != 0) kept.insert(id);
                model = std::move(kept);
                break;
            }
            case 6: {
                if (a != b) {
                    sets[b] = set;
                    models[b] = model;
                }
                break;
            }
            case 7: {
                if (a != b) {
                    sets[b] = std::move(set);
                    models[b] = model;
                    // A moved-from set is Empty; intersections refuse it.
                    require(set.kind() == HybridSet::Kind::Empty);
                    set = HybridSet::make_small();
                    model.clear();
                }
                break;
            }
            case 8: {
                std::vector<uint32_t> left, right;
                const unsigned n = in.ConsumeIntegralInRange<unsigned>(0, 4);
                const unsigned m = in.ConsumeIntegralInRange<unsigned>(0, 4);
                Model wanted;
                for (unsigned i = 0; i < n; ++i) {
                    const uint32_t id = pick_id(in);
                    if (wanted.insert(id).second) left.push_back(id);
                }
                Model right_ids;
                for (unsigned i = 0; i < m; ++i) {
                    const uint32_t id = pick_id(in);
                    if (right_ids.insert(id).second) right.push_back(id);
                }
                wanted.insert(right_ids.begin(), right_ids.end());
                set = HybridSet::or_inplace_small(left, right);
                model = wanted;
                break;
            }
        }
        for (unsigned i = 0; i < 3; ++i) check(sets[i], models[i]);
    }
    return 0;
}
