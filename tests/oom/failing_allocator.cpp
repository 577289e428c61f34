#include "tests/oom/failing_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace km::oom {
namespace {

std::atomic<bool> armed{false};
std::atomic<bool> persistent{false};
std::atomic<bool> failed{false};
std::atomic<std::size_t> count{0};
std::atomic<std::size_t> failAtCount{0};
std::atomic<std::size_t> largestThatSucceeds{~std::size_t{0}};

thread_local int suspended = 0;

bool ShouldFail(std::size_t size) {
    if (!armed.load() || suspended > 0) return false;
    if (size > largestThatSucceeds.load()) {
        failed.store(true);
        return true;
    }
    const std::size_t n = count.fetch_add(1);
    const std::size_t at = failAtCount.load();
    if (n == at || (persistent.load() && n > at)) {
        failed.store(true);
        return true;
    }
    return false;
}

}  // namespace

void FailAllocation(std::size_t failAt, bool persist) {
    count.store(0);
    failed.store(false);
    failAtCount.store(failAt);
    persistent.store(persist);
    largestThatSucceeds.store(~std::size_t{0});
    armed.store(true);
}

void FailAllocationsOver(std::size_t bytes) {
    FailAllocation(~std::size_t{0}, false);
    largestThatSucceeds.store(bytes);
}

std::size_t StopFailing() {
    armed.store(false);
    largestThatSucceeds.store(~std::size_t{0});
    return count.load();
}

bool Failed() { return failed.load(); }

Suspend::Suspend() { ++suspended; }
Suspend::~Suspend() { --suspended; }

}  // namespace km::oom

void* operator new(std::size_t size) {
    if (km::oom::ShouldFail(size)) throw std::bad_alloc();
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
// The nothrow forms too (std::stable_sort's buffer): each block is freed by
// the delete above, so every new here must come from malloc.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (km::oom::ShouldFail(size)) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
