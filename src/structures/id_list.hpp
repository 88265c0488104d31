// A list of object ids on its way to becoming a result list.
//
// Up to `kInlineIds` ids live in the object itself, more in one heap block.
// Space is handed out uninitialised (`append_uninitialized`): the ids are
// written right after, and zero-filling them first, as a standard vector's
// resize does, cost a lookup of a hundred ids a tenth of its time.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace corvalex {

class IdList {
  public:
    static constexpr std::size_t kInlineIds = 128;

    IdList() noexcept = default;
    IdList(const IdList&) = delete;
    IdList& operator=(const IdList&) = delete;
    IdList(IdList&& other) noexcept { take(other); }
    IdList& operator=(IdList&&) = delete;

    std::size_t size() const noexcept { return size_; }
    std::uint32_t* data() noexcept { return data_; }
    const std::uint32_t* data() const noexcept { return data_; }
    std::uint32_t* begin() noexcept { return data_; }
    std::uint32_t* end() noexcept { return data_ + size_; }
    const std::uint32_t* begin() const noexcept { return data_; }
    const std::uint32_t* end() const noexcept { return data_ + size_; }
    operator std::span<const std::uint32_t>() const noexcept { return {data_, size_}; }
    operator std::span<std::uint32_t>() noexcept { return {data_, size_}; }

    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        auto grown = std::make_unique_for_overwrite<std::uint32_t[]>(capacity);
        std::copy(data_, data_ + size_, grown.get());
        heap_ = std::move(grown);
        data_ = heap_.get();
        capacity_ = capacity;
    }
    // Room for `count` more ids at the end, for the caller to write.
    std::uint32_t* append_uninitialized(std::size_t count) {
        if (size_ + count > capacity_) reserve(std::max(size_ + count, 2 * capacity_));
        std::uint32_t* at = data_ + size_;
        size_ += count;
        return at;
    }
    void push_back(std::uint32_t id) { *append_uninitialized(1) = id; }
    // Keeps the first `size` ids.
    void truncate(std::size_t size) noexcept { size_ = std::min(size_, size); }

  private:
    void take(IdList& other) noexcept {
        size_ = other.size_;
        if (other.heap_) {
            heap_ = std::move(other.heap_);
            data_ = heap_.get();
            capacity_ = other.capacity_;
        } else {
            std::copy(other.data_, other.data_ + other.size_, inline_.data());
            data_ = inline_.data();
            capacity_ = kInlineIds;
        }
        other.data_ = other.inline_.data();
        other.size_ = 0;
        other.capacity_ = kInlineIds;
    }

    std::array<std::uint32_t, kInlineIds> inline_;
    std::unique_ptr<std::uint32_t[]> heap_;
    std::uint32_t* data_ = inline_.data();
    std::size_t size_ = 0;
    std::size_t capacity_ = kInlineIds;
};

}  // namespace corvalex
