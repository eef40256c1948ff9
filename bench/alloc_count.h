// Counts the heap allocations made on the calling thread (operator new in all its forms),
// so a benchmark can show how many a library call makes. Other threads (the simulator's)
// are not counted.
#pragma once
#include <cstdint>

namespace qzbench {
uint64_t AllocationsOnThisThread();
}
