// The test binary replaces the global operator new so that a test can count
// the allocations made on its thread and make them fail.
#pragma once

#include <cstddef>

namespace corvalex::testing {

// Calls of the global operator new made on this thread so far.
std::size_t allocations_on_this_thread() noexcept;

// While alive, every global operator new on this thread throws std::bad_alloc.
class FailingAllocations {
  public:
    FailingAllocations() noexcept;
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace corvalex::testing
