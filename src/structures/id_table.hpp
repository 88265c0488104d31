// A table from 32-bit ids to pointers (null for none), the storage of an
// index's object table. Memory
// follows the objects held, not the highest id. While the ids are dense
// enough (at most kFlatSpread ids per object, past a first page) the table
// is one flat array of slots, read with a single load. Otherwise it is paged:
//
//   chunks[id >> 20] -> Chunk { pages[(id >> 12) & 255] -> Page }
//
// A page covers 4096 ids. It starts sparse (sorted offsets and objects) and
// turns into a plain array of 4096 slots once it holds kSparseLimit objects,
// so a lone object costs a chunk and a few bytes instead of a slot for every
// id below it. The table turns paged when an id far beyond the others
// arrives, and flat again once the objects fill the range densely.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace corvalex {

template <typename Value>
class IdTable {
  public:
    static constexpr unsigned kPageBits = 12;
    static constexpr unsigned kChunkBits = 8;  // pages per chunk: 256
    static constexpr std::uint32_t kPageSlots = 1u << kPageBits;
    static constexpr std::size_t kSparseLimit = 128;
    static constexpr std::size_t kFlatSpread = 64;

  private:
    struct SparsePage {
        std::vector<std::uint16_t> offsets;  // ascending
        std::vector<Value> objects;

        Value find(std::uint32_t offset) const noexcept {
            auto found = std::lower_bound(offsets.begin(), offsets.end(), offset);
            if (found == offsets.end() || *found != offset) return nullptr;
            return objects[std::size_t(found - offsets.begin())];
        }
    };

    // A page entry: 0 when absent, a `Value*` array of kPageSlots when
    // dense, a `SparsePage*` with the low bit set when sparse.
    using PageRef = std::uintptr_t;
    static bool is_sparse(PageRef page) noexcept { return (page & 1) != 0; }
    static Value* dense_slots(PageRef page) noexcept { return reinterpret_cast<Value*>(page); }
    static SparsePage* sparse_page(PageRef page) noexcept {
        return reinterpret_cast<SparsePage*>(page & ~PageRef(1));
    }

    struct Chunk {
        using Pages = std::array<PageRef, std::size_t(1) << kChunkBits>;
        Pages pages{};
        Chunk() = default;
        Chunk(const Chunk&) = delete;
        Chunk& operator=(const Chunk&) = delete;
        ~Chunk() {
            for (PageRef page : pages) {
                if (is_sparse(page))
                    delete sparse_page(page);
                else
                    delete[] dense_slots(page);
            }
        }
    };

    static std::size_t chunk_of(std::uint32_t id) noexcept {
        return id >> (kPageBits + kChunkBits);
    }
    static std::size_t page_of(std::uint32_t id) noexcept {
        return (id >> kPageBits) & ((1u << kChunkBits) - 1);
    }
    static std::uint32_t offset_of(std::uint32_t id) noexcept { return id & (kPageSlots - 1); }

    PageRef page_ref(std::uint32_t id) const noexcept {
        const std::size_t chunk = chunk_of(id);
        if (chunk >= chunks_.size() || !chunks_[chunk]) return 0;
        return chunks_[chunk]->pages[page_of(id)];
    }

    static Value read(PageRef page, std::uint32_t id) noexcept {
        if (is_sparse(page)) return sparse_page(page)->find(offset_of(id));
        if (page == 0) return nullptr;
        return dense_slots(page)[offset_of(id)];
    }

  public:
    IdTable() = default;
    IdTable(const IdTable&) = delete;
    IdTable& operator=(const IdTable&) = delete;

    // Puts `value` (not null) at `id` and returns what was there, or null.
    Value put(std::uint32_t id, Value value) {
        Value& slot = slot_for(id);
        const Value previous = slot;
        slot = value;
        if (previous == nullptr) ++count_;
        settle();
        return previous;
    }

    // Empties the table; what it held is the caller's to release first.
    void clear() noexcept {
        flat_.clear();
        chunks_.clear();
        count_ = 0;
        highest_ = 0;
        paged_ = false;
    }

    // Makes room for `count` objects with ids up to `highest`.
    void reserve(std::uint32_t highest, std::size_t count) {
        if (!paged_ && fits_flat(highest, count)) flat_.reserve(std::size_t(highest) + 1);
    }

    // The object stored at `id`, or null.
    Value object(std::uint32_t id) const noexcept {
        if (!paged_) return id < flat_.size() ? flat_[id] : nullptr;
        return read(page_ref(id), id);
    }

    bool paged() const noexcept { return paged_; }
    // The slots of a table that is not paged, indexed by id.
    std::span<Value const> flat_slots() const noexcept { return flat_; }

    // Reads ids in mostly ascending order: like `object`, but the chunk of
    // the previous id is kept and a sparse page is walked forward from where
    // the previous id was found. Pages are looked up for every id: results
    // jump between pages at random, and a mispredicted "same page as
    // before?" costs more than the load.
    class Cursor {
      public:
        explicit Cursor(const IdTable& table) noexcept
            : table_(&table),
              flat_(table.paged_ ? nullptr : table.flat_.data()),
              flat_size_(table.paged_ ? 0 : table.flat_.size()) {}

        // Where the object of `id` is kept (a null slot when there is none);
        // valid while the table is unchanged.
        Value const* slot(std::uint32_t id) noexcept {
            static Value const kEmpty = nullptr;
            if (!table_->paged_) return id < flat_size_ ? &flat_[id] : &kEmpty;
            if (chunk_of(id) != chunk_key_) [[unlikely]]
                enter_chunk(id);
            const PageRef page = (*pages_)[page_of(id)];
            if (is_sparse(page)) [[unlikely]]
                return find_ascending(sparse_page(page), offset_of(id));
            if (page == 0) return &kEmpty;
            return &dense_slots(page)[offset_of(id)];
        }

        Value object(std::uint32_t id) noexcept { return *slot(id); }

      private:
        void enter_chunk(std::uint32_t id) noexcept {
            static constexpr typename Chunk::Pages kNoPages{};
            chunk_key_ = chunk_of(id);
            const auto& chunks = table_->chunks_;
            pages_ = chunk_key_ < chunks.size() && chunks[chunk_key_] ? &chunks[chunk_key_]->pages
                                                                      : &kNoPages;
        }

        // Every offset before `position_` is below the last offset asked for.
        Value const* find_ascending(const SparsePage* sparse, std::uint32_t offset) noexcept {
            static Value const kEmpty = nullptr;
            if (sparse != sparse_ || offset < last_offset_) {
                sparse_ = sparse;
                position_ = 0;
            }
            last_offset_ = offset;
            const std::uint16_t* offsets = sparse->offsets.data();
            const std::size_t held = sparse->offsets.size();
            // A few steps forward, then a search of the rest.
            const std::size_t near = std::min(held, position_ + 8);
            while (position_ < near && offsets[position_] < offset) ++position_;
            if (position_ == near && near < held)
                position_ =
                    std::size_t(std::lower_bound(offsets + near, offsets + held, offset) - offsets);
            if (position_ < held && offsets[position_] == offset)
                return &sparse->objects[position_];
            return &kEmpty;
        }

        const IdTable* table_;
        Value const* flat_;
        std::size_t flat_size_;
        std::size_t chunk_key_ = ~std::size_t(0);  // no id's chunk
        const typename Chunk::Pages* pages_ = nullptr;
        const SparsePage* sparse_ = nullptr;
        std::size_t position_ = 0;
        std::uint32_t last_offset_ = 0;
    };

    // Calls `visit(id, object)` for each stored object in ascending id order.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        if (!paged_) {
            for (std::size_t id = 0; id < flat_.size(); ++id)
                if (flat_[id] != nullptr) visit(std::uint32_t(id), flat_[id]);
            return;
        }
        for (std::size_t chunk = 0; chunk < chunks_.size(); ++chunk) {
            if (!chunks_[chunk]) continue;
            const auto& pages = chunks_[chunk]->pages;
            for (std::size_t page = 0; page < pages.size(); ++page) {
                const PageRef ref = pages[page];
                if (ref == 0) continue;
                const auto base = std::uint32_t(((chunk << kChunkBits) | page) << kPageBits);
                if (is_sparse(ref)) {
                    const SparsePage& sparse = *sparse_page(ref);
                    for (std::size_t i = 0; i < sparse.offsets.size(); ++i)
                        visit(base + sparse.offsets[i], sparse.objects[i]);
                } else {
                    Value const* slots = dense_slots(ref);
                    for (std::uint32_t offset = 0; offset < kPageSlots; ++offset)
                        if (slots[offset] != nullptr) visit(base + offset, slots[offset]);
                }
            }
        }
    }

    // How many objects are stored.
    std::size_t count() const noexcept { return count_; }

    // Bytes held by the table's own structures (not the objects).
    std::size_t footprint() const noexcept;

  private:
    using Chunks = std::vector<std::unique_ptr<Chunk>>;

    static bool fits_flat(std::uint32_t highest, std::size_t count) noexcept {
        return std::size_t(highest) < kFlatSpread * count + kPageSlots;
    }

    // The slot for `id`, created empty if missing.
    Value& slot_for(std::uint32_t id);
    static Value& page_slot(Chunks& chunks, std::uint32_t id);

    // Turns a paged table flat once its objects fill their range densely.
    void settle() {
        if (paged_ && fits_flat(highest_, count_)) make_flat();
    }
    void make_flat();
    void make_paged();

    bool paged_ = false;
    std::vector<Value> flat_;  // while not paged
    Chunks chunks_;            // while paged
    std::size_t count_ = 0;
    std::uint32_t highest_ = 0;
};

template <typename Value>
Value& IdTable<Value>::slot_for(std::uint32_t id) {
    if (!paged_) {
        if (id < flat_.size()) return flat_[id];
        if (fits_flat(id, count_ + 1)) {
            flat_.resize(std::size_t(id) + 1, nullptr);
            highest_ = id;
            return flat_[id];
        }
        make_paged();
    }
    Value& slot = page_slot(chunks_, id);
    highest_ = std::max(highest_, id);
    return slot;
}

template <typename Value>
Value& IdTable<Value>::page_slot(Chunks& chunks, std::uint32_t id) {
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
    std::unique_ptr<Value[]> slots(new Value[kPageSlots]());
    for (std::size_t i = 0; i < held; ++i) slots[sparse.offsets[i]] = sparse.objects[i];
    delete &sparse;
    page = reinterpret_cast<PageRef>(slots.release());
    return dense_slots(page)[offset];
}

// Both conversions build the new form aside: pages and chunks do not own the
// references they hold, so a failed allocation leaves the table as it was.
template <typename Value>
void IdTable<Value>::make_paged() {
    Chunks chunks;
    for (std::size_t id = 0; id < flat_.size(); ++id)
        if (flat_[id] != nullptr) page_slot(chunks, std::uint32_t(id)) = flat_[id];
    chunks_ = std::move(chunks);
    std::vector<Value>().swap(flat_);
    paged_ = true;
}

template <typename Value>
void IdTable<Value>::make_flat() {
    std::vector<Value> flat(std::size_t(highest_) + 1, nullptr);
    for_each([&](std::uint32_t id, Value object) { flat[id] = object; });
    flat_ = std::move(flat);
    chunks_.clear();
    paged_ = false;
}

template <typename Value>
std::size_t IdTable<Value>::footprint() const noexcept {
    std::size_t bytes = flat_.capacity() * sizeof(Value) + chunks_.capacity() * sizeof(chunks_[0]);
    for (const auto& chunk : chunks_) {
        if (!chunk) continue;
        bytes += sizeof(Chunk);
        for (PageRef page : chunk->pages) {
            if (page == 0) continue;
            if (is_sparse(page)) {
                const SparsePage& sparse = *sparse_page(page);
                bytes += sizeof(SparsePage) + sparse.offsets.capacity() * sizeof(std::uint16_t) +
                         sparse.objects.capacity() * sizeof(Value);
            } else {
                bytes += kPageSlots * sizeof(Value);
            }
        }
    }
    return bytes;
}

}  // namespace corvalex
