// What the model harnesses share: a byte stream read as small integers (the
// same bytes drive a seeded test and the fuzzer), and the error a harness
// throws when a structure and its model disagree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace corvalex::model {

struct Mismatch : std::logic_error {
    using std::logic_error::logic_error;
};

inline void require(bool ok, const char* what, std::size_t step) {
    if (!ok) throw Mismatch(std::string(what) + " after operation " + std::to_string(step));
}

// Little-endian integers; past the end every read yields zero bytes.
class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return at_ >= size_; }
    std::uint64_t bytes(int count) {
        std::uint64_t value = 0;
        for (int i = 0; i < count; ++i, ++at_)
            if (at_ < size_) value |= std::uint64_t{data_[at_]} << (8 * i);
        return value;
    }
    // A number in [0, n): one byte up to 256, two up to 65536, else four.
    std::uint32_t below(std::uint64_t n) {
        return std::uint32_t(bytes(n <= 256 ? 1 : n <= 65536 ? 2 : 4) % n);
    }
    bool flag() { return (bytes(1) & 1) != 0; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace corvalex::model
