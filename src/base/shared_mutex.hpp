// A reader/writer mutex whose uncontended lock and unlock are one atomic
// operation each (pthread's rwlock takes about a hundred instructions per
// pair, which a one-result lookup pays twice).
//
// Readers are preferred, as with glibc's default rwlock: a reader enters
// whenever no writer holds the mutex, so a writer waits until the readers
// are gone. Threads that must wait sleep on the state word
// (std::atomic::wait, a futex on Linux) and are woken only when a waiter has
// said so by setting `kWaiting`.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvalex {

class SharedMutex {
  public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock_shared() noexcept {
        std::uint32_t state = state_.load(std::memory_order_relaxed);
        if ((state & kWriter) == 0 &&
            state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed))
            return;
        wait_until([](std::uint32_t s) { return (s & kWriter) == 0; },
                   [](std::uint32_t s) { return s + 1; });
    }

    bool try_lock_shared() noexcept {
        std::uint32_t state = state_.load(std::memory_order_relaxed);
        while ((state & kWriter) == 0) {
            if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed))
                return true;
        }
        return false;
    }

    void unlock_shared() noexcept {
        const std::uint32_t before = state_.fetch_sub(1, std::memory_order_release);
        if ((before & kReaders) == 1 && (before & kWaiting) != 0) wake_all();
    }

    void lock() noexcept {
        std::uint32_t state = 0;
        if (state_.compare_exchange_strong(state, kWriter, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            return;
        wait_until([](std::uint32_t s) { return (s & (kWriter | kReaders)) == 0; },
                   [](std::uint32_t s) { return s | kWriter; });
    }

    void unlock() noexcept {
        // No reader can have entered while the writer held the mutex.
        if ((state_.exchange(0, std::memory_order_release) & kWaiting) != 0) state_.notify_all();
    }

  private:
    static constexpr std::uint32_t kWriter = 1u << 31;
    static constexpr std::uint32_t kWaiting = 1u << 30;
    static constexpr std::uint32_t kReaders = kWaiting - 1;

    // Takes the mutex once `may_enter(state)` holds, by storing
    // `entered(state)`; until then sleeps with `kWaiting` set. The bit is
    // left set on entry: other threads may still be asleep, and the next
    // unlock wakes them to look again.
    template <typename MayEnter, typename Entered>
    void wait_until(MayEnter may_enter, Entered entered) noexcept {
        std::uint32_t state = state_.load(std::memory_order_relaxed);
        for (;;) {
            if (may_enter(state)) {
                if (state_.compare_exchange_weak(state, entered(state), std::memory_order_acquire,
                                                 std::memory_order_relaxed))
                    return;
                continue;
            }
            if ((state & kWaiting) == 0) {
                if (!state_.compare_exchange_weak(state, state | kWaiting,
                                                  std::memory_order_relaxed,
                                                  std::memory_order_relaxed))
                    continue;
                state |= kWaiting;
            }
            // Returns at once if the state is no longer `state`.
            state_.wait(state, std::memory_order_relaxed);
            state = state_.load(std::memory_order_relaxed);
        }
    }

    // The last reader is leaving and someone sleeps: clear the bit (a
    // sleeper that still cannot enter sets it again) and wake everyone.
    void wake_all() noexcept {
        state_.fetch_and(~kWaiting, std::memory_order_relaxed);
        state_.notify_all();
    }

    std::atomic<std::uint32_t> state_{0};
};

}  // namespace corvalex
