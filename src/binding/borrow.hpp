// Borrow flags of Python-facing objects.
//
// Each object that owns C++ state carries one flag: either one exclusive
// borrow or any number of shared borrows. Borrows are only ever tried, never
// waited for; a refusal raises RuntimeError at once. The flag is atomic
// because a holder may keep its borrow while its thread state is released.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

namespace corvalex::py {

class BorrowFlag {
  public:
    // Borrows are only ever taken and ended with an attached thread state
    // (a holder may keep one while detached, but lets it go attached). With
    // a global interpreter lock that serialises every change of the flag, so
    // plain loads and stores do what the (much dearer) read-modify-writes
    // would; without one, they are needed.
#ifdef Py_GIL_DISABLED
    bool try_shared() noexcept {
        std::int32_t state = state_.load(std::memory_order_relaxed);
        while (state >= 0) {
            if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire))
                return true;
        }
        return false;
    }
    void end_shared() noexcept {
        state_.fetch_sub(1, std::memory_order_release);
    }
    bool try_exclusive() noexcept {
        std::int32_t expected = 0;
        return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire);
    }
#else
    bool try_shared() noexcept {
        const std::int32_t state = state_.load(std::memory_order_relaxed);
        if (state < 0) return false;
        state_.store(state + 1, std::memory_order_relaxed);
        return true;
    }
    void end_shared() noexcept {
        state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
    bool try_exclusive() noexcept {
        if (state_.load(std::memory_order_relaxed) != 0) return false;
        state_.store(kExclusive, std::memory_order_relaxed);
        return true;
    }
#endif
    void end_exclusive() noexcept {
        state_.store(0, std::memory_order_release);
    }
    bool held_exclusively() const noexcept {
        return state_.load(std::memory_order_relaxed) == kExclusive;
    }

  private:
    static constexpr std::int32_t kExclusive = -1;
    std::atomic<std::int32_t> state_{0};
};

// Scoped borrows. `acquire` raises RuntimeError ("Already mutably borrowed"
// for a refused shared borrow, "Already borrowed" for a refused exclusive one)
// and throws PythonError; `try_acquire` returns an empty guard instead.
template <bool Exclusive>
class Borrow {
  public:
    Borrow() noexcept = default;
    static Borrow acquire(BorrowFlag& flag) {
        if (!take(flag)) [[unlikely]]
            refuse();
        return Borrow(&flag);
    }
    static Borrow try_acquire(BorrowFlag& flag) noexcept {
        return Borrow(take(flag) ? &flag : nullptr);
    }
    Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    Borrow& operator=(Borrow&& other) noexcept {
        reset();
        flag_ = std::exchange(other.flag_, nullptr);
        return *this;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() { reset(); }

    explicit operator bool() const noexcept { return flag_ != nullptr; }
    void reset() noexcept {
        if (!flag_) return;
        BorrowFlag* flag = std::exchange(flag_, nullptr);
        if constexpr (Exclusive)
            flag->end_exclusive();
        else
            flag->end_shared();
    }

  private:
    explicit Borrow(BorrowFlag* flag) noexcept : flag_(flag) {}
    [[noreturn]] static void refuse();
    static bool take(BorrowFlag& flag) noexcept {
        if constexpr (Exclusive)
            return flag.try_exclusive();
        else
            return flag.try_shared();
    }
    BorrowFlag* flag_ = nullptr;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

}  // namespace corvalex::py
