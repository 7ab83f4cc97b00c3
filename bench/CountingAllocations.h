// Heap allocations counted: the program's operator new and delete replaced
// by ones that count every allocation, on every thread. Included by one
// source file of a benchmark program (it defines the replacements).
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace bench {

inline std::atomic<uint64_t> g_allocations{0};

// Counts the allocations from its making to Report.
class AllocationCount {
 public:
  AllocationCount() : start_(g_allocations.load()) {}
  // The allocations per item, as the counter `name`.
  void Report(benchmark::State& state, const char* name, int64_t items) const {
    const uint64_t n = g_allocations.load() - start_;
    state.counters[name] = items > 0 ? static_cast<double>(n) / static_cast<double>(items) : 0.0;
  }

 private:
  uint64_t start_;
};

}  // namespace bench

// Out of line, so that the compiler pairs no inlined malloc with a delete.
__attribute__((noinline)) void* operator new(size_t size) {
  bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (size == 0) size = 1;
  if (void* p = std::malloc(size)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void* operator new[](size_t size) { return operator new(size); }
__attribute__((noinline)) void* operator new(size_t size, const std::nothrow_t&) noexcept {
  bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
__attribute__((noinline)) void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, size_t) noexcept { std::free(p); }
