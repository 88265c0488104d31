// The reader/writer mutex under contention: readers share it, a writer
// excludes everyone, and every thread that had to sleep is woken.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "base/shared_mutex.hpp"

namespace corvalex {
namespace {

TEST(SharedMutex, ReadersShareItAndAWriterExcludesThem) {
    SharedMutex mutex;
    mutex.lock_shared();
    EXPECT_TRUE(mutex.try_lock_shared());
    mutex.unlock_shared();
    mutex.unlock_shared();

    mutex.lock();
    EXPECT_FALSE(mutex.try_lock_shared());
    std::atomic<bool> entered{false};
    std::thread reader([&] {
        std::shared_lock lock(mutex);
        entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered);  // asleep until the writer leaves
    mutex.unlock();
    reader.join();
    EXPECT_TRUE(entered);
    EXPECT_TRUE(mutex.try_lock_shared());
    mutex.unlock_shared();
}

// Writers keep two counters equal only under the lock; a reader that sees
// them differ, or a writer that finds anyone else inside, breaks exclusion.
// With two cores and four threads, many acquisitions have to sleep.
TEST(SharedMutex, ExcludesWritersFromEveryoneUnderContention) {
    SharedMutex mutex;
    long first = 0, second = 0;
    std::atomic<int> readers_inside{0}, writers_inside{0}, violations{0};
    constexpr int kRounds = 20000;
    auto writer = [&] {
        for (int i = 0; i < kRounds; ++i) {
            std::unique_lock lock(mutex);
            if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) ++violations;
            ++first;
            std::this_thread::yield();
            ++second;
            writers_inside.fetch_sub(1);
        }
    };
    auto reader = [&] {
        for (int i = 0; i < kRounds; ++i) {
            std::shared_lock lock(mutex);
            readers_inside.fetch_add(1);
            if (writers_inside.load() != 0 || first != second) ++violations;
            readers_inside.fetch_sub(1);
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(writer);
    threads.emplace_back(reader);
    threads.emplace_back(writer);
    threads.emplace_back(reader);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(first, 2 * kRounds);
    EXPECT_EQ(second, 2 * kRounds);
}

}  // namespace
}  // namespace corvalex
