// Cost of the library allocator, which every object creation and container growth pays.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "core/alloc.h"

namespace {

void BM_AllocFree(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* p = lyr::Alloc(size);
    benchmark::DoNotOptimize(p);
    lyr::Free(p);
  }
}
BENCHMARK(BM_AllocFree)->Arg(16)->Arg(256)->Arg(4096);

void BM_MallocFree(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* p = std::malloc(size);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}
BENCHMARK(BM_MallocFree)->Arg(16)->Arg(256)->Arg(4096);

}  // namespace
