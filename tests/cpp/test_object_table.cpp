// The object table against a std::map: owned references, unique handles and
// handles held elsewhere, stored over ids that make pages sparse and dense,
// cross chunks and reach the top of the id range, so that the table turns
// paged and flat again. After each step the lookups, an ascending cursor, a
// cursor jumping between pages, the listing, the references the table alone
// owns and every object's reference count are compared with the model.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "binding/ref.hpp"
#include "index/object_table.hpp"

namespace corvalex {
namespace {

class ObjectTableModel {
  public:
    ObjectTableModel() {
        for (int k = 0; k < 4; ++k) {
            objects_.push_back(py::Ref::steal(PyList_New(0)));
            base_.push_back(Py_REFCNT(objects_.back().get()));
            elsewhere_.push_back(StoredItem::from_borrowed(objects_.back().get()));
        }
    }

    void store(std::uint32_t id, std::mt19937& rng) {
        const std::size_t k = rng() % objects_.size();
        PyObject* object = objects_[k].get();
        const unsigned how = rng() % 3;
        if (how == 0) table_->store_owned(id, Py_NewRef(object));
        if (how == 1) table_->store(id, StoredItem::from_borrowed(object));
        if (how == 2) table_->store(id, elsewhere_[k]);
        model_[id] = {k, how == 2};
    }

    void check() {
        ObjectTable& table = *table_;
        ASSERT_EQ(table.count(), model_.size());
        std::vector<std::uint32_t> listed, want;
        table.for_each([&](std::uint32_t id, PyObject* object) {
            listed.push_back(id);
            ASSERT_EQ(object, objects_[model_.at(id).first].get()) << id;
        });
        std::vector<PyObject*> owned, want_owned;
        std::vector<Py_ssize_t> refs(base_);
        for (std::size_t k = 0; k < refs.size(); ++k) ++refs[k];  // the handle held elsewhere
        ObjectTable::Cursor ascending(table.slots());
        for (const auto& [id, entry] : model_) {
            want.push_back(id);
            PyObject* object = objects_[entry.first].get();
            if (!entry.second) {
                want_owned.push_back(object);
                ++refs[entry.first];
            }
            ASSERT_EQ(table.object(id), object) << id;
            ASSERT_EQ(ascending.object(id), object) << id;
            if (!model_.contains(id + 1)) {
                ASSERT_EQ(ascending.object(id + 1), nullptr) << id + 1;
            }
        }
        ASSERT_EQ(listed, want);
        ObjectTable::Cursor jumping(table.slots());
        for (std::size_t i = want.size(); i-- > 0;) {
            const std::uint32_t id = want[(i * 7919) % want.size()];
            ASSERT_EQ(jumping.object(id), objects_[model_.at(id).first].get()) << id;
            ASSERT_EQ(jumping.object(id ^ 0x5000),
                      model_.contains(id ^ 0x5000) ? objects_[model_.at(id ^ 0x5000).first].get()
                                                   : nullptr);
        }
        ASSERT_EQ(table.visit_owned([&](PyObject* object) {
            owned.push_back(object);
            return 0;
        }),
                  0);
        ASSERT_EQ(owned, want_owned);
        for (std::size_t k = 0; k < refs.size(); ++k)
            ASSERT_EQ(Py_REFCNT(objects_[k].get()), refs[k]) << k;
        paged_seen_ |= table.paged();
        flat_after_paged_ |= paged_seen_ && !table.paged();
    }

    // The table goes: only the handles held here keep references.
    void finish() {
        EXPECT_TRUE(paged_seen_ && flat_after_paged_);
        ASSERT_EQ(table_->visit_owned([](PyObject*) { return 4; }), model_.empty() ? 0 : 4);
        table_.reset();
        elsewhere_.clear();
        for (std::size_t k = 0; k < objects_.size(); ++k)
            EXPECT_EQ(Py_REFCNT(objects_[k].get()), base_[k]);
    }

  private:
    std::vector<py::Ref> objects_;
    std::vector<Py_ssize_t> base_;
    std::vector<StoredItem> elsewhere_;
    std::unique_ptr<ObjectTable> table_ = std::make_unique<ObjectTable>();
    std::map<std::uint32_t, std::pair<std::size_t, bool>> model_;  // object, held elsewhere
    bool paged_seen_ = false, flat_after_paged_ = false;
};

TEST(ObjectTable, MatchesTheModelThroughPagedAndFlatForms) {
    std::mt19937 rng(7);
    ObjectTableModel model;
    auto random_id = [&]() -> std::uint32_t {
        switch (rng() % 5) {
            case 0:
                return rng() % 3000;  // dense, re-stored often
            case 1:
                return 5 * ObjectTable::kPageSlots + rng() % 400;  // a page that turns dense
            case 2:
                return (rng() % 600) * 97;  // a few per page
            case 3:
                return (1u << 20) + rng() % 9000;  // the second chunk
            default:
                return 0xffffffffu - rng() % 5000;  // the top of the id range
        }
    };
    auto steps = [&](int count, int check_every, auto&& pick) {
        for (int i = 0; i < count; ++i) {
            model.store(pick(), rng);
            if (i % check_every == 0) {
                ASSERT_NO_FATAL_FAILURE(model.check());
            }
        }
        ASSERT_NO_FATAL_FAILURE(model.check());
    };
    // Flat, paged for the second chunk, flat again once the ids below it
    // are filled, then paged up to the top of the id range.
    steps(300, 1, [&] { return std::uint32_t(rng() % 3000); });
    steps(300, 1, [&] { return (1u << 20) + std::uint32_t(rng() % 9000); });
    std::uint32_t next = 0;
    steps(17'000, 500, [&] { return next++; });
    steps(3000, 25, random_id);
    model.finish();
}

TEST(ObjectTable, MemoryFollowsTheObjectsHeldNotTheHighestId) {
    ObjectTable lone;
    lone.store_owned(3'000'000, Py_NewRef(Py_None));
    EXPECT_LT(lone.footprint(), 4'096u);
    ObjectTable high, scattered;  // a thousand objects above 10^9, close or one per page
    for (std::uint32_t i = 0; i < 1'000; ++i) {
        high.store_owned(1'000'000'000u + 7 * i, Py_NewRef(Py_None));
        scattered.store_owned(1'000'000'000u + (i << 14), Py_NewRef(Py_None));
    }
    EXPECT_LT(high.footprint(), 200'000u);
    EXPECT_LT(scattered.footprint(), 1'000'000u);
    ObjectTable dense;  // dense ids cost little more than one slot each
    constexpr std::uint32_t kDense = 100'000;
    dense.reserve(kDense - 1, kDense);
    for (std::uint32_t id = 0; id < kDense; ++id) dense.store_owned(id, Py_NewRef(Py_None));
    EXPECT_FALSE(dense.paged());
    EXPECT_LT(dense.footprint(), std::size_t(kDense) * sizeof(PyObject*) * 11 / 10);
}

}  // namespace
}  // namespace corvalex
