#include "index/attr_map.hpp"

#include <algorithm>

namespace corvalex {
namespace {

// The children of the empty shape: the shapes of one name.
const AttrShape& root_shape() {
    static const auto* root = new AttrShape({}, nullptr);  // lives for the process
    return *root;
}

}  // namespace

std::shared_ptr<const AttrShape> AttrShape::make_private(std::vector<AttrName> names) {
    auto shape = std::make_shared<AttrShape>(std::move(names), nullptr);
    shape->positions_.reserve(shape->names_.size());
    for (std::uint32_t i = 0; i < shape->names_.size(); ++i)
        shape->positions_.emplace(shape->names_[i], i);
    return shape;
}

void AttrShape::extend(std::shared_ptr<const AttrShape>& shape, std::string_view name) {
    if (shape && shape->is_private()) {
        if (shape.use_count() != 1) shape = make_private(shape->names_);
        // Private shapes are never created const, and this map is their only
        // holder: growing it in place is safe.
        auto& own = const_cast<AttrShape&>(*shape);
        own.positions_.reserve(own.positions_.size() + 1);
        own.names_.emplace_back(name);
        try {
            own.positions_.emplace(own.names_.back(), std::uint32_t(own.names_.size() - 1));
        } catch (...) {
            own.names_.pop_back();
            throw;
        }
        return;
    }
    if (shape && shape->names_.size() >= kMaxSharedNames) {
        std::vector<AttrName> names = shape->names_;
        names.emplace_back(name);
        shape = make_private(std::move(names));
        return;
    }
    shape = shared_child(shape, name);
}

std::shared_ptr<const AttrShape> AttrShape::shared_child(
    const std::shared_ptr<const AttrShape>& self, std::string_view name) {
    const AttrShape& parent = self ? *self : root_shape();
    std::lock_guard lock(parent.mutex_);
    auto [found, inserted] = parent.children_.try_emplace(AttrName(name));
    if (!inserted) {
        if (auto child = found->second.lock()) return child;
    }
    std::vector<AttrName> names = parent.names_;
    names.emplace_back(name);
    auto child = std::make_shared<const AttrShape>(std::move(names), self);
    found->second = child;
    // Shapes nobody uses any more leave stale entries; sweep them whenever
    // the table has doubled, so that endlessly new names cost amortised O(1).
    if (parent.children_.size() >= parent.prune_at_) {
        absl::erase_if(parent.children_, [](const auto& entry) { return entry.second.expired(); });
        parent.prune_at_ = std::max<std::size_t>(64, 2 * parent.children_.size());
    }
    return child;
}

}  // namespace corvalex
