// Three HybridSets against std::set models and the form each must have:
// inline (Small) until a fifth id arrives or a union does not fit in four
// slots, a bitmap (Large) from then on and after any intersection, never
// back; Empty once moved from, where only a union may be received.
// Operations are decoded from bytes: adds, removals, membership, unions and
// intersections between the sets and of a set with itself, copies, moves,
// the three constructors and the union of two inline id lists. A set may
// also borrow the bitmap of an owner that changes beside it: it must see the
// owner's changes until its own first change, and the owner must never see a
// set's. Every set and the owner are compared with their models after every
// operation.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "base/panic.hpp"
#include "model_input.hpp"
#include "structures/hybrid_set.hpp"

namespace corvalex::model {

class HybridSetModel {
  public:
    void run(ByteReader& in) {
        for (; !in.done(); ++steps_) {
            step(in);
            for (std::size_t i = 0; i < sets_.size(); ++i) check(sets_[i], models_[i]);
            require(
                owner_.to_vector() == std::vector<uint32_t>(owner_ids_.begin(), owner_ids_.end()),
                "a borrowing set changed its owner", steps_);
        }
    }

  private:
    using Kind = HybridSet::Kind;
    struct Model {
        std::set<uint32_t> ids;
        Kind kind;
        bool borrowed = false;
    };

    static uint32_t pick_id(ByteReader& in) {
        // Mostly a few ids, so that sets meet; sometimes any id, so that a
        // bitmap holds several containers.
        return in.flag() ? in.below(16) : uint32_t(in.bytes(4));
    }

    template <typename Operation>
    void expect_panic(Operation&& operation) {
        bool refused = false;
        try {
            operation();
        } catch (const Panic&) {
            refused = true;
        }
        require(refused, "the Empty form took an add, remove or intersection", steps_);
    }

    void step(ByteReader& in) {
        const unsigned op = in.below(11), a = in.below(3), b = in.below(3);
        HybridSet& set = sets_[a];
        Model& model = models_[a];
        const bool empty_form = model.kind == Kind::Empty;
        switch (op) {
            case 0:
            case 1: {
                const uint32_t id = pick_id(in);
                if (empty_form) return expect_panic([&] { set.add(id); });
                set.add(id);
                if (model.ids.insert(id).second && model.ids.size() > HybridSet::kInlineIds)
                    model.kind = Kind::Large;
                model.borrowed = false;
                break;
            }
            case 2: {
                const uint32_t id = pick_id(in);
                if (empty_form) return expect_panic([&] { set.remove(id); });
                set.remove(id);
                model.ids.erase(id);
                model.borrowed = false;
                break;
            }
            case 3: {
                const uint32_t id = pick_id(in);
                require(set.contains(id) == model.ids.contains(id), "contains() differs", steps_);
                break;
            }
            case 4: {
                set.or_inplace(sets_[b]);
                const Model& other = models_[b];
                if (a == b || other.kind == Kind::Empty) break;
                model.borrowed = false;
                const Kind before = model.kind;
                model.ids.insert(other.ids.begin(), other.ids.end());
                if (before == Kind::Empty) {
                    model.kind = other.kind;
                } else if (before == Kind::Large || other.kind == Kind::Large ||
                           model.ids.size() > HybridSet::kInlineIds) {
                    model.kind = Kind::Large;
                }
                break;
            }
            case 5: {
                const Model& other = models_[b];
                if (empty_form || other.kind == Kind::Empty)
                    return expect_panic([&] { set.and_inplace(sets_[b]); });
                set.and_inplace(sets_[b]);
                std::erase_if(model.ids, [&](uint32_t id) { return !other.ids.contains(id); });
                model.kind = Kind::Large;
                if (a != b) model.borrowed = false;
                break;
            }
            case 6:
                if (a == b) break;
                sets_[b] = set;
                models_[b] = model;
                models_[b].borrowed = false;
                break;
            case 7:
                if (a == b) break;
                sets_[b] = std::move(set);
                models_[b] = std::exchange(model, Model{{}, Kind::Empty});
                break;
            case 8:
                reset(in, set, model);
                break;
            case 9: {
                // The owner changes; its borrowers see it.
                const uint32_t id = pick_id(in);
                const bool adds = in.flag();
                adds ? owner_.add(id) : owner_.remove(id);
                adds ? void(owner_ids_.insert(id)) : void(owner_ids_.erase(id));
                for (Model& each : models_)
                    if (each.borrowed) each.ids = owner_ids_;
                break;
            }
            default: {
                std::vector<uint32_t> lists[2];
                std::set<uint32_t> all;
                for (auto& list : lists) {
                    std::set<uint32_t> seen;
                    for (unsigned n = in.below(5); n > 0; --n)
                        if (const uint32_t id = pick_id(in); seen.insert(id).second)
                            list.push_back(id);
                    all.insert(seen.begin(), seen.end());
                }
                set = HybridSet::or_inplace_small(lists[0], lists[1]);
                model = {all, all.size() > HybridSet::kInlineIds ? Kind::Large : Kind::Small};
                break;
            }
        }
    }

    void reset(ByteReader& in, HybridSet& set, Model& model) {
        switch (in.below(4)) {
            case 0:
                set = HybridSet::make_small();
                model = {{}, Kind::Small};
                break;
            case 1: {
                const uint32_t id = pick_id(in);
                set = HybridSet::make_single(id);
                model = {{id}, Kind::Small};
                break;
            }
            case 2:
                set = HybridSet::borrow(owner_);
                model = {owner_ids_, Kind::Large, true};
                break;
            default: {
                Bitmap bitmap;
                model = {{}, Kind::Large};
                for (unsigned n = in.below(7); n > 0; --n) {
                    const uint32_t id = pick_id(in);
                    bitmap.add(id);
                    model.ids.insert(id);
                }
                set = HybridSet::make_large(std::move(bitmap));
            }
        }
    }

    void check(const HybridSet& set, const Model& model) const {
        const std::vector<uint32_t> want(model.ids.begin(), model.ids.end());
        require(set.kind() == model.kind, "kind() differs", steps_);
        require(set.is_borrowed() == model.borrowed && set.borrows(owner_) == model.borrowed,
                "is_borrowed() differs", steps_);
        require(set.count() == want.size() && set.is_empty() == want.empty(), "count() differs",
                steps_);
        const auto inline_ids = set.small_ids();
        require(model.kind == Kind::Small
                    ? inline_ids.size() == want.size() &&
                          std::set(inline_ids.begin(), inline_ids.end()) == model.ids
                    : inline_ids.empty(),
                "small_ids() differs", steps_);
        require(
            model.kind == Kind::Large ? set.large()->to_vector() == want : set.large() == nullptr,
            "large() differs", steps_);
        require(set.as_bitmap().to_vector() == want, "as_bitmap() differs", steps_);
        Bitmap extra{7};
        set.add_to(extra);
        std::set<uint32_t> with_extra = model.ids;
        with_extra.insert(7);
        require(extra.to_vector() == std::vector<uint32_t>(with_extra.begin(), with_extra.end()),
                "add_to() differs", steps_);
        for (const uint32_t id : want) require(set.contains(id), "contains() misses an id", steps_);
    }

    // Declared before the sets, which may borrow its bitmap.
    Bitmap owner_{5, 70000};
    std::set<uint32_t> owner_ids_{5, 70000};
    std::array<HybridSet, 3> sets_{HybridSet::make_small(), HybridSet::make_single(1),
                                   HybridSet::make_large(Bitmap{2, 3})};
    std::array<Model, 3> models_{Model{{}, Kind::Small}, Model{{1}, Kind::Small},
                                 Model{{2, 3}, Kind::Large}};
    std::size_t steps_ = 0;
};

inline void run_hybrid_set_model(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    HybridSetModel().run(in);
}

}  // namespace corvalex::model
