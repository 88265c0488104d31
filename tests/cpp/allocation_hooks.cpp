#include "allocation_hooks.hpp"

#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t allocations = 0;
thread_local int failing = 0;

}  // namespace

// Every form without an alignment is replaced, so that each allocation and
// its release go through the same pair (a sanitizer checks that they match).
void* operator new(std::size_t size) {
    ++allocations;
    if (failing > 0) throw std::bad_alloc();
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) {
    return ::operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return ::operator new(size, std::nothrow);
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete[](void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

namespace corvalex::testing {

std::size_t allocations_on_this_thread() noexcept {
    return allocations;
}

FailingAllocations::FailingAllocations() noexcept {
    ++failing;
}

FailingAllocations::~FailingAllocations() {
    --failing;
}

}  // namespace corvalex::testing
