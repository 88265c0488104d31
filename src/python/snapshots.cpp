#include "python/snapshots.hpp"

#include "binding/borrow.hpp"
#include "python/indexable.hpp"

namespace corvalex::python {

bool has_indexable_values(const AttrMap& attrs) noexcept {
    for (const auto& [name, value] : attrs)
        if (value.kind() == CastKind::Ind && is_public_name(name)) return true;
    return false;
}

Expansions SnapshotBuilder::expansions_for(PyObject* owner, const AttrMap& attrs) {
    if (!has_indexable_values(attrs)) return {};
    InProgress mark(*this, owner);
    return expand(attrs, 1);
}

Expansions SnapshotBuilder::expand(const AttrMap& attrs, int depth) {
    Expansions expansions;
    for (const auto& [name, value] : attrs) {
        if (value.kind() != CastKind::Ind || !is_public_name(name)) continue;
        PyObject* object = value.object();
        if (find_expansion(&expansions, object) != nullptr) continue;
        expansions.push_back({object, as_indexable(object)->record.id, snapshot_of(object, depth)});
    }
    return expansions;
}

std::shared_ptr<const ObjectSnapshot> SnapshotBuilder::snapshot_of(PyObject* object, int depth) {
    if (depth > kMaxNestingDepth || in_progress_.contains(object)) return nullptr;
    if (auto found = done_.find(object); found != done_.end()) return found->second;

    auto* indexable = as_indexable(object);
    auto snapshot = std::make_shared<ObjectSnapshot>();
    {
        auto borrow = py::SharedBorrow::acquire(indexable->borrow);
        snapshot->id = indexable->record.id;
        snapshot->item = StoredItem::from_borrowed(object);
        snapshot->attrs = indexable->record.attrs;
    }
    {
        InProgress mark(*this, object);
        snapshot->nested = expand(snapshot->attrs, depth + 1);
    }
    done_.emplace(object, snapshot);
    return snapshot;
}

}  // namespace corvalex::python
