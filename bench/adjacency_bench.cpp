// Adjacency generation on large meshes: triangles per second of BuildAdjacency (exact positions
// and a small epsilon) and of AdjacencyFromPointReps, on UV spheres with an unwelded seam and
// split poles, faces shuffled, at several sizes to show linear growth, and on the scanned dragon
// (argument 0) when scripts/fetch-data.sh has fetched it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "mesh/adjacency.h"
#include "mesh_data.h"

namespace {

using lyr::bench::TriMesh;

lyr::MeshArrays<uint32_t> Arrays(const TriMesh& t) {
  lyr::MeshArrays<uint32_t> m;
  m.indices = t.indices.data();
  m.faceCount = t.FaceCount();
  m.vertexCount = t.VertexCount();
  m.positions = reinterpret_cast<const uint8_t*>(t.positions.data());
  m.stride = 12;
  return m;
}

// About `triangles` faces: `slices` x `stacks` with 2 * slices * (stacks - 1) faces, the seam
// column repeated, one pole vertex per slice, faces in random order.
TriMesh MakeSphere(uint32_t triangles) {
  const uint32_t stacks = std::max(3u, uint32_t(std::sqrt(triangles / 4.0)));
  const uint32_t slices = std::max(3u, triangles / (2 * (stacks - 1)));
  TriMesh m;
  auto vertex = [&](uint32_t i, uint32_t j) {
    const double th = M_PI * j / stacks, ph = 2 * M_PI * (i % slices) / slices;
    m.positions.insert(m.positions.end(), {float(std::sin(th) * std::cos(ph)), float(std::cos(th)),
                                           float(std::sin(th) * std::sin(ph))});
    return m.VertexCount() - 1;
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
  for (uint32_t f : order) m.indices.insert(m.indices.end(), &faces[f * 3], &faces[f * 3] + 3);
  return m;
}

// Argument 0 stands for the full-resolution dragon scan (empty when it has not been fetched).
const TriMesh& Mesh(int64_t triangles) {
  static std::vector<std::pair<int64_t, TriMesh>> cache;
  for (auto& [n, m] : cache)
    if (n == triangles) return m;
  TriMesh m;
  if (triangles > 0) {
    m = MakeSphere(uint32_t(triangles));
  } else if (!lyr::bench::LoadDragon("", m)) {
    m = TriMesh();
  }
  cache.push_back({triangles, std::move(m)});
  return cache.back().second;
}

// False (and the benchmark skipped) when the mesh is absent.
bool Present(benchmark::State& state, const TriMesh& m) {
  if (m.FaceCount() > 0) return true;
  state.SkipWithError("dragon data absent (scripts/fetch-data.sh)");
  return false;
}

void Report(benchmark::State& state, const TriMesh& m) {
  state.counters["triangles/s"] =
      benchmark::Counter(double(m.FaceCount()), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["triangles"] = double(m.FaceCount());
}

void BM_BuildAdjacencyExact(benchmark::State& state) {
  const TriMesh& m = Mesh(state.range(0));
  if (!Present(state, m)) return;
  std::vector<uint32_t> adj(m.indices.size());
  for (auto _ : state) {
    if (lyr::BuildAdjacency(Arrays(m), 0.0f, adj.data()) != lyr::Ok) state.SkipWithError("fail");
    benchmark::DoNotOptimize(adj.data());
  }
  Report(state, m);
}

void BM_BuildAdjacencyEpsilon(benchmark::State& state) {
  const TriMesh& m = Mesh(state.range(0));
  if (!Present(state, m)) return;
  std::vector<uint32_t> adj(m.indices.size());
  for (auto _ : state) {
    if (lyr::BuildAdjacency(Arrays(m), 1e-6f, adj.data()) != lyr::Ok) state.SkipWithError("fail");
    benchmark::DoNotOptimize(adj.data());
  }
  Report(state, m);
}

void BM_AdjacencyFromPointReps(benchmark::State& state) {
  const TriMesh& m = Mesh(state.range(0));
  if (!Present(state, m)) return;
  std::vector<uint32_t> reps(m.VertexCount()), adj(m.indices.size());
  lyr::PointRepsFromPositions(Arrays(m), 0.0f, reps.data());
  for (auto _ : state) {
    if (lyr::AdjacencyFromPointReps(Arrays(m), reps.data(), adj.data()) != lyr::Ok)
      state.SkipWithError("fail");
    benchmark::DoNotOptimize(adj.data());
  }
  Report(state, m);
}

void BM_PointRepsFromAdjacency(benchmark::State& state) {
  const TriMesh& m = Mesh(state.range(0));
  if (!Present(state, m)) return;
  std::vector<uint32_t> reps(m.VertexCount()), adj(m.indices.size());
  lyr::BuildAdjacency(Arrays(m), 0.0f, adj.data());
  for (auto _ : state) {
    if (lyr::PointRepsFromAdjacency(Arrays(m), adj.data(), reps.data()) != lyr::Ok)
      state.SkipWithError("fail");
    benchmark::DoNotOptimize(reps.data());
  }
  Report(state, m);
}

#define LYR_ADJACENCY_SIZES \
  ->Arg(70000)->Arg(250000)->Arg(1000000)->Arg(0)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_BuildAdjacencyExact) LYR_ADJACENCY_SIZES;
BENCHMARK(BM_BuildAdjacencyEpsilon) LYR_ADJACENCY_SIZES;
BENCHMARK(BM_AdjacencyFromPointReps) LYR_ADJACENCY_SIZES;
BENCHMARK(BM_PointRepsFromAdjacency) LYR_ADJACENCY_SIZES;
#undef LYR_ADJACENCY_SIZES

}  // namespace
