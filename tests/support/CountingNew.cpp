#include "support/CountingNew.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool t_counting = false;
thread_local testsupport::Allocations t_allocations;

} // namespace

namespace testsupport {

void startCountingAllocations() {
    t_allocations = {};
    t_counting = true;
}

Allocations stopCountingAllocations() {
    t_counting = false;
    return t_allocations;
}

} // namespace testsupport

void* operator new(std::size_t size) {
    if (t_counting) {
        ++t_allocations.count;
        t_allocations.bytes += size;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
// GCC takes the free() in a replaced delete for a mismatch with new, which it is not here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop
