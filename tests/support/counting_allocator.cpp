#include "tests/support/counting_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "client/sim_line.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUOR_COUNTING_ALLOCATOR 0  // the sanitizers bring their own allocator
#else
#define QUOR_COUNTING_ALLOCATOR 1
#endif

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

// The replacements below pair malloc with free; GCC, seeing operator new inlined into its
// callers here, would take every delete of them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#if QUOR_COUNTING_ALLOCATOR
void* operator new(std::size_t n) {
    if (g_counting.load(std::memory_order_relaxed) && !quor::client::SimLine::InEmulator()) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace quor::test {

bool CountingAllocator() { return QUOR_COUNTING_ALLOCATOR != 0; }
void CountAllocations(bool on) { g_counting.store(on); }
long Allocations() { return g_allocations.load(); }

}  // namespace quor::test
