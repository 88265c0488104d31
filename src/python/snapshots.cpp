#include "python/snapshots.hpp"

#include <deque>
#include <utility>

#include "binding/borrow.hpp"
#include "python/indexable.hpp"

namespace corvalex::python {

namespace {

bool expands(std::string_view name, SnapshotBuilder::Names names) noexcept {
    return names == SnapshotBuilder::Names::Every || is_public_name(name);
}

// True when some attribute that `names` expands holds an indexable value.
bool has_indexable_values(const AttrMap& attrs, SnapshotBuilder::Names names) noexcept {
    for (const auto& [name, value] : attrs)
        if (value.kind() == CastKind::Ind && expands(name, names)) return true;
    return false;
}

ObjectSnapshot snapshot_of(PyObject* object, const IndexableRecord& record) {
    return {record.id, StoredItem::from_borrowed(object), record.attrs, {}};
}

}  // namespace

bool SnapshotBuilder::is_held_by_caller(PyObject* object) {
    if (held_set_.empty())
        for (const py::Ref& held : held_) held_set_.insert(held.get());
    return held_set_.contains(object);
}

SnapshotBuilder::Entry& SnapshotBuilder::entry_of(PyObject* object) {
    if (auto found = entries_.find(object); found != entries_.end()) return *found->second;
    auto* indexable = as_indexable(object);
    auto borrow = py::SharedBorrow::try_acquire(indexable->borrow);
    if (!borrow && !is_held_by_caller(object))
        borrow = py::SharedBorrow::acquire(indexable->borrow);  // raises
    auto entry = std::make_unique<Entry>(Entry{snapshot_of(object, indexable->record)});
    return *entries_.emplace(object, std::move(entry)).first->second;
}

SnapshotBuilder::Batch SnapshotBuilder::batch_of(std::span<const py::Ref> objects, Names names) {
    Batch batch;
    batch.expansions.reserve(objects.size());
    for (const py::Ref& object : objects)
        batch.expansions.push_back(expansions_for(as_indexable(object.get())->record.attrs, names));
    batch.members.reserve(objects.size());
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const Expansions& expansions = batch.expansions[i];
        batch.members.push_back({objects[i].get(), &as_indexable(objects[i].get())->record,
                                 expansions.empty() ? nullptr : &expansions});
    }
    return batch;
}

Expansions SnapshotBuilder::link(const AttrMap& attrs, Names names) {
    Expansions expansions;
    for (const auto& [name, value] : attrs) {
        if (value.kind() != CastKind::Ind || !expands(name, names)) continue;
        PyObject* object = value.object();
        if (find_expansion(&expansions, object) != nullptr) continue;
        const ObjectSnapshot& snapshot = entry_of(object).snapshot;
        expansions.push_back({object, snapshot.id, &snapshot});
    }
    return expansions;
}

Expansions SnapshotBuilder::expansions_for(const AttrMap& attrs, Names names) {
    if (!has_indexable_values(attrs, names)) return {};
    Expansions roots = link(attrs, names);
    // Breadth first, so that each object is expanded from the shallowest
    // depth at which this root reaches it.
    std::deque<std::pair<PyObject*, std::size_t>> pending;
    for (const Expansion& expansion : roots) pending.emplace_back(expansion.object, 1);
    while (!pending.empty()) {
        auto [object, depth] = pending.front();
        pending.pop_front();
        Entry& entry = *entries_.at(object);
        if (entry.expanded || depth >= kMaxNestingDepth) continue;
        entry.snapshot.nested = link(entry.snapshot.attrs, Names::Public);
        entry.expanded = true;
        for (const Expansion& child : entry.snapshot.nested)
            pending.emplace_back(child.object, depth + 1);
    }
    return roots;
}

}  // namespace corvalex::python
