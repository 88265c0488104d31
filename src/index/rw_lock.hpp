// Reader/writer locks that hand out scoped guards to the data they protect.
//
// A write guard that is unwound by an exception (an internal fatal error in
// the middle of a change) leaves the lock failed: the data may be half
// changed, so every later read or write of it is itself a fatal error.
//
// Each write guard counts one generation when it ends, so a reader can tell
// whether anything it remembered from an earlier read may have changed.
//
// While a guard is alive its thread counts as holding a table lock, and the
// references it drops are queued instead of released (deferred_release.hpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

#include "base/panic.hpp"
#include "base/shared_mutex.hpp"
#include "binding/deferred_release.hpp"

namespace corvalex {

// The system's fixed message for a lock left failed.
inline constexpr const char* kPoisonedLockMessage = "called `Result::unwrap()` on an `Err` value";

template <typename T>
class RwLocked {
  public:
    template <typename... Args>
    explicit RwLocked(Args&&... args) : value_(std::forward<Args>(args)...) {}

    class ReadGuard {
      public:
        const T& operator*() const noexcept { return owner_->value_; }
        const T* operator->() const noexcept { return &owner_->value_; }
        // How many write guards had ended when this one was taken; it stays
        // the same while this guard lives.
        std::uint64_t generation() const noexcept { return owner_->generation_; }
        ReadGuard(ReadGuard&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
        ReadGuard(const ReadGuard&) = delete;
        ReadGuard& operator=(const ReadGuard&) = delete;
        ReadGuard& operator=(ReadGuard&&) = delete;
        ~ReadGuard() {
            if (!owner_) return;
            owner_->mutex_.unlock_shared();
            py::leave_locked_region();
        }

      private:
        friend class RwLocked;
        explicit ReadGuard(RwLocked* owner) noexcept : owner_(owner) { py::enter_locked_region(); }
        RwLocked* owner_;
    };

    class WriteGuard {
      public:
        T& operator*() const noexcept { return owner_->value_; }
        T* operator->() const noexcept { return &owner_->value_; }
        WriteGuard(WriteGuard&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), exceptions_(other.exceptions_) {}
        WriteGuard(const WriteGuard&) = delete;
        WriteGuard& operator=(const WriteGuard&) = delete;
        WriteGuard& operator=(WriteGuard&&) = delete;
        ~WriteGuard() {
            if (!owner_) return;
            if (std::uncaught_exceptions() > exceptions_)
                owner_->failed_.store(true, std::memory_order_release);
            ++owner_->generation_;
            owner_->mutex_.unlock();
            py::leave_locked_region();
        }

      private:
        friend class RwLocked;
        explicit WriteGuard(RwLocked* owner) noexcept
            : owner_(owner), exceptions_(std::uncaught_exceptions()) {
            py::enter_locked_region();
        }
        RwLocked* owner_;
        int exceptions_;
    };

    ReadGuard read() {
        mutex_.lock_shared();
        ReadGuard guard(this);
        check_not_failed();
        return guard;
    }

    WriteGuard write() {
        mutex_.lock();
        if (failed_.load(std::memory_order_acquire)) {
            mutex_.unlock();
            panic(kPoisonedLockMessage);
        }
        return WriteGuard(this);
    }

    // A read guard if the lock can be had at once and is healthy, else
    // nothing; for callers that must never wait (garbage collection).
    std::optional<ReadGuard> try_read() noexcept {
        if (!mutex_.try_lock_shared()) return std::nullopt;
        ReadGuard guard(this);
        if (failed_.load(std::memory_order_acquire)) return std::nullopt;
        return guard;
    }

    bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }

  private:
    void check_not_failed() const {
        if (failed_.load(std::memory_order_acquire)) panic(kPoisonedLockMessage);
    }

    SharedMutex mutex_;
    std::atomic<bool> failed_{false};
    std::uint64_t generation_ = 0;  // written under the exclusive lock only
    T value_;
};

}  // namespace corvalex
