// Replaces the global operator new and delete of this test program with versions that obey
// the allocation countdown (AllocFaults.h): while it is armed, the n-th allocation of the
// arming thread throws std::bad_alloc. Blocks come from std::malloc, so the sanitizers and
// valgrind still see every allocation and release. The aligned forms are left to the runtime
// (they pair with their own delete).
#include <cstdlib>
#include <new>

#include "tests/faults/AllocFaults.h"

namespace n95::test {

// A probe rather than a constant: a tool that puts its own allocator in place of the
// program's (valgrind does) leaves these replacements unused.
bool FailingNewInstalled() {
    // valgrind routes calls through the operator new symbol to its own allocator but not the
    // probe's direct call below, so the probe cannot tell; scripts/valgrind.sh says so.
    if (std::getenv("N95_UNDER_VALGRIND") != nullptr)
        return false;
    ArmAllocationFailure(1);
    bool threw = false;
    try {
        ::operator delete(::operator new(1));
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    ArmAllocationFailure(0);
    return threw;
}

}  // namespace n95::test

namespace {

void* Allocate(std::size_t size) {
    if (n95::test::AllocationMustFail())
        throw std::bad_alloc();
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void* AllocateNoThrow(std::size_t size) noexcept {
    if (n95::test::AllocationMustFail())
        return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
