// The N-patch evaluation kernel (fast-function entry 70), plain and SSE forms, on one bent
// triangle evaluated at every grid point of a uniform level: positions only (3 floats) and
// position, normal and texture coordinates (8 floats). Reported in points per second.
#include <benchmark/benchmark.h>

#include <vector>

#include "math/fast_functions.h"
#include "math/kernels.h"

namespace {

using Kernel = decltype(lyr::FastFunctionSet::EvaluateNPatchPoints);

// The grid points (a, b) of a triangle split `level` times along each edge.
std::vector<float> GridPoints(uint32_t level) {
  std::vector<float> points;
  for (uint32_t i = 0; i <= level; ++i)
    for (uint32_t j = 0; i + j <= level; ++j) {
      points.push_back(static_cast<float>(i) / level);
      points.push_back(static_cast<float>(j) / level);
    }
  return points;
}

void Run(benchmark::State& state, Kernel kernel) {
  if (!kernel) {
    state.SkipWithError("no SSE on this processor");
    return;
  }
  const uint32_t level = static_cast<uint32_t>(state.range(0));
  const uint32_t n = static_cast<uint32_t>(state.range(1));
  const std::vector<float> points = GridPoints(level);
  const uint32_t count = static_cast<uint32_t>(points.size() / 2);
  const float corners[3][8] = {{0, 0, 0, -0.5f, -0.5f, 0.7f, 0, 0},
                               {1, 0, 0.1f, 0.6f, 0, 0.8f, 1, 0},
                               {0, 1, 0.2f, 0, 0.6f, 0.8f, 0, 1}};
  const lyr::Vector3 normals[3] = {{-0.5f, -0.5f, 0.7f}, {0.6f, 0, 0.8f}, {0, 0.6f, 0.8f}};
  std::vector<float> out(size_t(count) * n);
  for (auto _ : state) {
    kernel(normals, points.data(), count, out.data(), corners[0], corners[1], corners[2], n);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}

Kernel SseKernel() {
  const lyr::ProcessorInfo info = lyr::QueryProcessor();
  if (!info.osSse) return nullptr;
  lyr::FastFunctionSet set = lyr::kPlainFastFunctions;
  lyr::InstallSseForms(&set);
  return set.EvaluateNPatchPoints;
}

void BM_NPatchPointsPlain(benchmark::State& state) {
  Run(state, lyr::kPlainFastFunctions.EvaluateNPatchPoints);
}
void BM_NPatchPointsSse(benchmark::State& state) {
  Run(state, SseKernel());
}

// Levels 8 and 32; 3 and 8 floats per vertex.
BENCHMARK(BM_NPatchPointsPlain)->ArgsProduct({{8, 32}, {3, 8}});
BENCHMARK(BM_NPatchPointsSse)->ArgsProduct({{8, 32}, {3, 8}});

}  // namespace
