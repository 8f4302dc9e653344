// SPDX-License-Identifier: Apache-2.0
// Replaces the global allocation functions of this executable with counting ones over malloc.
#include "support/AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<uint64_t> gAllocations{0};

void* countedAllocate(std::size_t size) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

namespace krvbench {

uint64_t allocationCount() {
    return gAllocations.load(std::memory_order_relaxed);
}

}  // namespace krvbench

void* operator new(std::size_t size) {
    void* memory = countedAllocate(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocate(size);
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
