// The object table of an index: maps each stored id to its object. Memory
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
//
// A slot owns its strong reference directly, except where the handle it was
// given is also held elsewhere (a snapshot stored in several nested indexes);
// such handles are kept in `shared`, which then owns the reference.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "binding/deferred_release.hpp"
#include "core/stored_item.hpp"

namespace corvalex {

class ObjectTable {
  public:
    static constexpr unsigned kPageBits = 12;
    static constexpr unsigned kChunkBits = 8;  // pages per chunk: 256
    static constexpr std::uint32_t kPageSlots = 1u << kPageBits;
    static constexpr std::size_t kSparseLimit = 128;
    static constexpr std::size_t kFlatSpread = 64;

  private:
    struct SparsePage {
        std::vector<std::uint16_t> offsets;  // ascending
        std::vector<PyObject*> objects;

        PyObject* find(std::uint32_t offset) const noexcept {
            auto found = std::lower_bound(offsets.begin(), offsets.end(), offset);
            if (found == offsets.end() || *found != offset) return nullptr;
            return objects[std::size_t(found - offsets.begin())];
        }
    };

    // A page entry: 0 when absent, a `PyObject**` array of kPageSlots when
    // dense, a `SparsePage*` with the low bit set when sparse.
    using PageRef = std::uintptr_t;
    static bool is_sparse(PageRef page) noexcept { return (page & 1) != 0; }
    static PyObject** dense_slots(PageRef page) noexcept {
        return reinterpret_cast<PyObject**>(page);
    }
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

    static PyObject* read(PageRef page, std::uint32_t id) noexcept {
        if (is_sparse(page)) return sparse_page(page)->find(offset_of(id));
        if (page == 0) return nullptr;
        return dense_slots(page)[offset_of(id)];
    }

  public:
    ObjectTable() = default;
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;
    ~ObjectTable() { clear(); }

    // Puts `item` at `id`; an object already there is released. Needs no
    // thread state.
    void store(std::uint32_t id, StoredItem item) {
        PyObject*& slot = slot_for(id);
        release(id, slot);
        ++count_;
        PyObject* object = item.get();
        if (PyObject* owned = item.release_if_unique()) {
            slot = owned;
        } else {
            slot = object;
            shared_.insert_or_assign(id, std::move(item));
        }
        settle();
    }

    // Stores a strong reference the caller hands over.
    void store_owned(std::uint32_t id, PyObject* owned) {
        PyObject*& slot = slot_for(id);
        release(id, slot);
        ++count_;
        slot = owned;
        settle();
    }

    // Makes room for `count` objects with ids up to `highest`.
    void reserve(std::uint32_t highest, std::size_t count) {
        if (!paged_ && fits_flat(highest, count)) flat_.reserve(std::size_t(highest) + 1);
    }

    // The object stored at `id`, or null.
    PyObject* object(std::uint32_t id) const noexcept {
        if (!paged_) return id < flat_.size() ? flat_[id] : nullptr;
        return read(page_ref(id), id);
    }

    bool paged() const noexcept { return paged_; }
    // The slots of a table that is not paged, indexed by id.
    std::span<PyObject* const> flat_slots() const noexcept { return flat_; }

    // Reads ids in mostly ascending order: like `object`, but the chunk of
    // the previous id is kept and a sparse page is walked forward from where
    // the previous id was found. Pages are looked up for every id: results
    // jump between pages at random, and a mispredicted "same page as
    // before?" costs more than the load.
    class Cursor {
      public:
        explicit Cursor(const ObjectTable& table) noexcept
            : table_(&table),
              flat_(table.paged_ ? nullptr : table.flat_.data()),
              flat_size_(table.paged_ ? 0 : table.flat_.size()) {}

        // Where the object of `id` is kept (a null slot when there is none);
        // valid while the table is unchanged.
        PyObject* const* slot(std::uint32_t id) noexcept {
            static PyObject* const kEmpty = nullptr;
            if (!table_->paged_) return id < flat_size_ ? &flat_[id] : &kEmpty;
            if (chunk_of(id) != chunk_key_) [[unlikely]]
                enter_chunk(id);
            const PageRef page = (*pages_)[page_of(id)];
            if (is_sparse(page)) [[unlikely]]
                return find_ascending(sparse_page(page), offset_of(id));
            if (page == 0) return &kEmpty;
            return &dense_slots(page)[offset_of(id)];
        }

        PyObject* object(std::uint32_t id) noexcept { return *slot(id); }

      private:
        void enter_chunk(std::uint32_t id) noexcept {
            static constexpr Chunk::Pages kNoPages{};
            chunk_key_ = chunk_of(id);
            const auto& chunks = table_->chunks_;
            pages_ = chunk_key_ < chunks.size() && chunks[chunk_key_] ? &chunks[chunk_key_]->pages
                                                                      : &kNoPages;
        }

        // Every offset before `position_` is below the last offset asked for.
        PyObject* const* find_ascending(const SparsePage* sparse, std::uint32_t offset) noexcept {
            static PyObject* const kEmpty = nullptr;
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

        const ObjectTable* table_;
        PyObject* const* flat_;
        std::size_t flat_size_;
        std::size_t chunk_key_ = ~std::size_t(0);  // no id's chunk
        const Chunk::Pages* pages_ = nullptr;
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
                    PyObject* const* slots = dense_slots(ref);
                    for (std::uint32_t offset = 0; offset < kPageSlots; ++offset)
                        if (slots[offset] != nullptr) visit(base + offset, slots[offset]);
                }
            }
        }
    }

    // Calls `visit(object)` for each reference the table alone owns, until a
    // call returns non-zero; returns that value. A handle also held elsewhere
    // is left out, so nothing is reported twice.
    template <typename Visit>
    int visit_owned(Visit&& visit) const {
        int stop = 0;
        for_each([&](std::uint32_t id, PyObject* object) {
            if (stop != 0) return;
            if (!shared_.empty()) {
                auto found = shared_.find(id);
                if (found != shared_.end() && !found->second.unique()) return;
            }
            stop = visit(object);
        });
        return stop;
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
    PyObject*& slot_for(std::uint32_t id);
    static PyObject*& page_slot(Chunks& chunks, std::uint32_t id);

    // Turns a paged table flat once its objects fill their range densely.
    void settle() {
        if (paged_ && fits_flat(highest_, count_)) make_flat();
    }
    void make_flat();
    void make_paged();

    void release(std::uint32_t id, PyObject*& slot) {
        PyObject* previous = slot;
        if (previous == nullptr) return;
        slot = nullptr;
        --count_;
        if (auto found = shared_.find(id); found != shared_.end())
            shared_.erase(found);  // the handle owned the reference
        else
            py::release_reference(previous);
    }

    void clear() noexcept;

    bool paged_ = false;
    std::vector<PyObject*> flat_;  // while not paged
    Chunks chunks_;                // while paged
    std::size_t count_ = 0;
    std::uint32_t highest_ = 0;
    absl::flat_hash_map<std::uint32_t, StoredItem> shared_;
};

}  // namespace corvalex
