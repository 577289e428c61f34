// A global allocator that can be told to fail: the binary that links it
// replaces operator new for everything in it.
#pragma once

#include <cstddef>

namespace km::oom {

// From now on, count allocations; the one numbered `failAt` (from 0) throws
// std::bad_alloc. With `persist`, every allocation after it throws as well.
void FailAllocation(std::size_t failAt, bool persist);
// From now on, every allocation larger than `bytes` throws std::bad_alloc:
// a machine that holds the package's file but not much more.
void FailAllocationsOver(std::size_t bytes);
// Stop failing and counting; returns how many allocations were counted.
std::size_t StopFailing();
// Whether an allocation was failed since FailAllocation.
bool Failed();

// While one lives on this thread, allocations neither count nor fail.
class Suspend {
public:
    Suspend();
    ~Suspend();
    Suspend(const Suspend&) = delete;
    Suspend& operator=(const Suspend&) = delete;
};

}  // namespace km::oom
