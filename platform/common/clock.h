// Sleeping and a monotonic clock in milliseconds; the only time source of the libraries.
#pragma once
#include <cstdint>

namespace qz {

// Sleeps at least ms milliseconds (resumes after signals); nothing for ms <= 0.
void sleepMs(int ms);
// Milliseconds of the monotonic clock, for measuring elapsed time only.
int64_t monotonicMs();

}  // namespace qz
