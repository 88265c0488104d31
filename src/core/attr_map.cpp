#include "core/attr_map.hpp"

#include <algorithm>

namespace corvalex {
namespace {

// The children of the empty shape: the shapes of one name.
const AttrShape& root_shape() {
    static const auto* root = new AttrShape({}, nullptr);  // lives for the process
    return *root;
}

}  // namespace

std::shared_ptr<const AttrShape> AttrShape::extend(const std::shared_ptr<const AttrShape>& self,
                                                   std::string_view name) {
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
