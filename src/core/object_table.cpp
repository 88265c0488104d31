#include "core/object_table.hpp"

namespace corvalex {

PyObject*& ObjectTable::slot_for(std::uint32_t id) {
    if (!paged_) {
        if (id < flat_.size()) return flat_[id];
        if (fits_flat(id, count_ + 1)) {
            flat_.resize(std::size_t(id) + 1, nullptr);
            highest_ = id;
            return flat_[id];
        }
        make_paged();
    }
    PyObject*& slot = page_slot(chunks_, id);
    highest_ = std::max(highest_, id);
    return slot;
}

PyObject*& ObjectTable::page_slot(Chunks& chunks, std::uint32_t id) {
    if (chunks.size() <= chunk_of(id)) chunks.resize(chunk_of(id) + 1);
    std::unique_ptr<Chunk>& chunk = chunks[chunk_of(id)];
    if (!chunk) chunk = std::make_unique<Chunk>();
    PageRef& page = chunk->pages[page_of(id)];
    if (page == 0) page = reinterpret_cast<PageRef>(new SparsePage) | 1;
    if (!is_sparse(page)) return dense_slots(page)[offset_of(id)];

    SparsePage& sparse = *sparse_page(page);
    const auto offset = std::uint16_t(offset_of(id));
    const auto at = std::lower_bound(sparse.offsets.begin(), sparse.offsets.end(), offset);
    const auto position = std::size_t(at - sparse.offsets.begin());
    if (at != sparse.offsets.end() && *at == offset) return sparse.objects[position];

    const std::size_t held = sparse.offsets.size();
    if (held < kSparseLimit) {
        if (held == sparse.offsets.capacity()) {
            // Both grow before either changes, so a failed allocation leaves
            // the page as it was.
            const std::size_t capacity = std::max<std::size_t>(4, held * 2);
            sparse.offsets.reserve(capacity);
            sparse.objects.reserve(capacity);
        }
        sparse.offsets.insert(sparse.offsets.begin() + std::ptrdiff_t(position), offset);
        sparse.objects.insert(sparse.objects.begin() + std::ptrdiff_t(position), nullptr);
        return sparse.objects[position];
    }

    // Full enough to be cheaper as a plain array.
    std::unique_ptr<PyObject*[]> slots(new PyObject*[kPageSlots]());
    for (std::size_t i = 0; i < held; ++i) slots[sparse.offsets[i]] = sparse.objects[i];
    delete &sparse;
    page = reinterpret_cast<PageRef>(slots.release());
    return dense_slots(page)[offset];
}

// Both conversions build the new form aside: pages and chunks do not own the
// references they hold, so a failed allocation leaves the table as it was.
void ObjectTable::make_paged() {
    Chunks chunks;
    for (std::size_t id = 0; id < flat_.size(); ++id)
        if (flat_[id] != nullptr) page_slot(chunks, std::uint32_t(id)) = flat_[id];
    chunks_ = std::move(chunks);
    std::vector<PyObject*>().swap(flat_);
    paged_ = true;
}

void ObjectTable::make_flat() {
    std::vector<PyObject*> flat(std::size_t(highest_) + 1, nullptr);
    for_each([&](std::uint32_t id, PyObject* object) { flat[id] = object; });
    flat_ = std::move(flat);
    chunks_.clear();
    paged_ = false;
}

std::size_t ObjectTable::footprint() const noexcept {
    std::size_t bytes =
        flat_.capacity() * sizeof(PyObject*) + chunks_.capacity() * sizeof(chunks_[0]);
    for (const auto& chunk : chunks_) {
        if (!chunk) continue;
        bytes += sizeof(Chunk);
        for (PageRef page : chunk->pages) {
            if (page == 0) continue;
            if (is_sparse(page)) {
                const SparsePage& sparse = *sparse_page(page);
                bytes += sizeof(SparsePage) + sparse.offsets.capacity() * sizeof(std::uint16_t) +
                         sparse.objects.capacity() * sizeof(PyObject*);
            } else {
                bytes += kPageSlots * sizeof(PyObject*);
            }
        }
    }
    return bytes;
}

void ObjectTable::clear() noexcept {
    for_each([&](std::uint32_t id, PyObject* object) {
        if (!shared_.contains(id)) py::release_reference(object);
    });
    flat_.clear();
    chunks_.clear();
    shared_.clear();
    count_ = 0;
}

}  // namespace corvalex
