// Interposes malloc, calloc and realloc for every object in the process, the agent
// library among them (it calls them through the PLT). free stays the C library's: the
// blocks are its own.
#include "bench/CountingAllocator.h"

#include <atomic>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
}

namespace {
std::atomic<size_t> gAllocations{0};
}

extern "C" void* malloc(size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}

namespace bench {

size_t AllocationCount() { return gAllocations.load(std::memory_order_relaxed); }

}  // namespace bench
