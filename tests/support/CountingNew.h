#pragma once
// Every allocation of a test program that links CountingNew.cpp passes through its operator
// new, so that a test can count and weigh the allocations of one call on its own thread.

#include <cstddef>

namespace testsupport {

struct Allocations {
    std::size_t count = 0;
    std::size_t bytes = 0;
};

/// Starts counting this thread's allocations from zero.
void startCountingAllocations();
/// Stops counting and says what was allocated since the start.
Allocations stopCountingAllocations();

} // namespace testsupport
