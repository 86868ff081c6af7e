// Adjacency generation on large meshes: triangles per second of BuildAdjacency (exact positions
// and a small epsilon) and of AdjacencyFromPointReps, on UV spheres with an unwelded seam and
// split poles, faces shuffled, at several sizes to show linear growth.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "mesh/adjacency.h"

namespace {

struct BenchMesh {
  std::vector<float> xyz;
  std::vector<uint32_t> idx;
  lyr::MeshArrays<uint32_t> Arrays() const {
    lyr::MeshArrays<uint32_t> m;
    m.indices = idx.data();
    m.faceCount = uint32_t(idx.size() / 3);
    m.vertexCount = uint32_t(xyz.size() / 3);
    m.positions = reinterpret_cast<const uint8_t*>(xyz.data());
    m.stride = 12;
    return m;
  }
};

// About `triangles` faces: `slices` x `stacks` with 2 * slices * (stacks - 1) faces, the seam
// column repeated, one pole vertex per slice, faces in random order.
BenchMesh MakeSphere(uint32_t triangles) {
  const uint32_t stacks = std::max(3u, uint32_t(std::sqrt(triangles / 4.0)));
  const uint32_t slices = std::max(3u, triangles / (2 * (stacks - 1)));
  BenchMesh m;
  auto vertex = [&](uint32_t i, uint32_t j) {
    const double th = M_PI * j / stacks, ph = 2 * M_PI * (i % slices) / slices;
    m.xyz.insert(m.xyz.end(), {float(std::sin(th) * std::cos(ph)), float(std::cos(th)),
                               float(std::sin(th) * std::sin(ph))});
    return uint32_t(m.xyz.size() / 3 - 1);
  };
  std::vector<uint32_t> grid;
  for (uint32_t j = 0; j <= stacks; ++j)
    for (uint32_t i = 0; i <= slices; ++i) grid.push_back(vertex(i, j));
  auto at = [&](uint32_t i, uint32_t j) { return grid[j * (slices + 1) + i]; };
  std::vector<uint32_t> faces;
  for (uint32_t j = 0; j < stacks; ++j) {
    for (uint32_t i = 0; i < slices; ++i) {
      if (j > 0) faces.insert(faces.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1)});
      if (j + 1 < stacks) faces.insert(faces.end(), {at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    }
  }
  std::vector<uint32_t> order(faces.size() / 3);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::mt19937(1));
  for (uint32_t f : order) m.idx.insert(m.idx.end(), &faces[f * 3], &faces[f * 3] + 3);
  return m;
}

const BenchMesh& Mesh(int64_t triangles) {
  static std::vector<std::pair<int64_t, BenchMesh>> cache;
  for (auto& [n, m] : cache)
    if (n == triangles) return m;
  cache.push_back({triangles, MakeSphere(uint32_t(triangles))});
  return cache.back().second;
}

void Report(benchmark::State& state, const BenchMesh& m) {
  state.counters["triangles/s"] =
      benchmark::Counter(double(m.idx.size() / 3), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["triangles"] = double(m.idx.size() / 3);
}

void BM_BuildAdjacencyExact(benchmark::State& state) {
  const BenchMesh& m = Mesh(state.range(0));
  std::vector<uint32_t> adj(m.idx.size());
  for (auto _ : state) {
    if (lyr::BuildAdjacency(m.Arrays(), 0.0f, adj.data()) != lyr::Ok) state.SkipWithError("fail");
    benchmark::DoNotOptimize(adj.data());
  }
  Report(state, m);
}

void BM_BuildAdjacencyEpsilon(benchmark::State& state) {
  const BenchMesh& m = Mesh(state.range(0));
  std::vector<uint32_t> adj(m.idx.size());
  for (auto _ : state) {
    if (lyr::BuildAdjacency(m.Arrays(), 1e-6f, adj.data()) != lyr::Ok) state.SkipWithError("fail");
    benchmark::DoNotOptimize(adj.data());
  }
  Report(state, m);
}

void BM_AdjacencyFromPointReps(benchmark::State& state) {
  const BenchMesh& m = Mesh(state.range(0));
  std::vector<uint32_t> reps(m.xyz.size() / 3), adj(m.idx.size());
  lyr::PointRepsFromPositions(m.Arrays(), 0.0f, reps.data());
  for (auto _ : state) {
    if (lyr::AdjacencyFromPointReps(m.Arrays(), reps.data(), adj.data()) != lyr::Ok)
      state.SkipWithError("fail");
    benchmark::DoNotOptimize(adj.data());
  }
  Report(state, m);
}

void BM_PointRepsFromAdjacency(benchmark::State& state) {
  const BenchMesh& m = Mesh(state.range(0));
  std::vector<uint32_t> reps(m.xyz.size() / 3), adj(m.idx.size());
  lyr::BuildAdjacency(m.Arrays(), 0.0f, adj.data());
  for (auto _ : state) {
    if (lyr::PointRepsFromAdjacency(m.Arrays(), adj.data(), reps.data()) != lyr::Ok)
      state.SkipWithError("fail");
    benchmark::DoNotOptimize(reps.data());
  }
  Report(state, m);
}

#define LYR_ADJACENCY_SIZES ->Arg(70000)->Arg(250000)->Arg(1000000)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_BuildAdjacencyExact) LYR_ADJACENCY_SIZES;
BENCHMARK(BM_BuildAdjacencyEpsilon) LYR_ADJACENCY_SIZES;
BENCHMARK(BM_AdjacencyFromPointReps) LYR_ADJACENCY_SIZES;
BENCHMARK(BM_PointRepsFromAdjacency) LYR_ADJACENCY_SIZES;
#undef LYR_ADJACENCY_SIZES

}  // namespace
