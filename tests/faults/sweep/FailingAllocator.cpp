// SPDX-License-Identifier: Apache-2.0
#include "FailingAllocator.h"

#include <cstdlib>
#include <new>

namespace sweep {
namespace {

thread_local bool tArmed = false;
thread_local uint64_t tCount = 0;
thread_local uint64_t tFailAt = 0;
thread_local bool tInjected = false;
thread_local int64_t tHeld = 0;

// True when this allocation is the one that must fail.
bool failsNow() noexcept {
    if (!tArmed) return false;
    if (++tCount != tFailAt) return false;
    tInjected = true;
    return true;
}

void* allocate(std::size_t size) noexcept {
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory != nullptr && tArmed) ++tHeld;
    return memory;
}

void release(void* memory) noexcept {
    if (memory == nullptr) return;
    if (tArmed) --tHeld;
    std::free(memory);
}

}  // namespace

void armAllocationFailure(uint64_t failAt) {
    tCount = 0;
    tFailAt = failAt;
    tInjected = false;
    tHeld = 0;
    tArmed = true;
}

uint64_t disarmAllocationFailure() {
    tArmed = false;
    return tCount;
}

bool allocationFailureInjected() {
    return tInjected;
}

int64_t allocationsStillHeld() {
    return tHeld;
}

}  // namespace sweep

void* operator new(std::size_t size) {
    void* memory = sweep::failsNow() ? nullptr : sweep::allocate(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return sweep::failsNow() ? nullptr : sweep::allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}

void operator delete(void* memory) noexcept {
    sweep::release(memory);
}

void operator delete[](void* memory) noexcept {
    sweep::release(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    sweep::release(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
    sweep::release(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
    sweep::release(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    sweep::release(memory);
}
