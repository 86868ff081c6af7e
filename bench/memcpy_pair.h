// Times an operation and a memcpy of the same bytes alternately, on the calling thread's CPU
// clock, so that both see the same machine load. The benchmark's own time (manual time) is the
// operation's; the counter `of_memcpy` is the operation's speed as a share of memcpy's (1 = as
// fast), and `memcpy_GBps` is memcpy's rate over the bytes.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <cstring>

namespace lyrbench {

inline double ThreadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Register with ->UseManualTime().
template <class Op>
void AgainstMemcpy(benchmark::State& state, Op&& op, void* to, const void* from, size_t bytes) {
  double opTime = 0, copyTime = 0;
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    op();
    benchmark::ClobberMemory();
    const double t1 = ThreadSeconds();
    std::memcpy(to, from, bytes);
    benchmark::ClobberMemory();
    const double t2 = ThreadSeconds();
    state.SetIterationTime(t1 - t0);
    opTime += t1 - t0;
    copyTime += t2 - t1;
  }
  state.counters["of_memcpy"] = opTime > 0 ? copyTime / opTime : 0.0;
  state.counters["memcpy_GBps"] =
      copyTime > 0
          ? static_cast<double>(bytes) * static_cast<double>(state.iterations()) / copyTime * 1e-9
          : 0.0;
}

}  // namespace lyrbench
