#pragma once
// Heap allocations made by the whole process (the agent library included), counted by
// a malloc of this program's own that forwards to the C library's.
#include <cstddef>

namespace bench {

size_t AllocationCount();

}  // namespace bench
