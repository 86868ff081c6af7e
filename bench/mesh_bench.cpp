// Mesh optimiser throughput (triangles per second) on a shuffled grid and, when fetched, on the
// scanned dragon; with the vertex-cache miss ratio (misses per triangle through first-in
// first-out caches of 12 and 16 entries) of the input and of the output.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

#include "mesh_data.h"
#include "mesh/optimize_core.h"

namespace {

using lyr::bench::TriMesh;
namespace OF = lyr::OptimizeFlags;

struct Input {
  TriMesh mesh;
  std::vector<uint32_t> adjacency;
  std::vector<uint32_t> attributes;
  bool ok = false;
};

const Input& Grid(uint32_t faces) {
  static std::map<uint32_t, Input> cache;
  Input& in = cache[faces];
  if (!in.ok) {
    // w x h quads with 2 w h close to the face count asked for.
    uint32_t w = 1000, h = faces / 2000;
    if (faces < 200000) w = 250, h = faces / 500;
    in.mesh = lyr::bench::ShuffledGrid(w, h);
    in.adjacency = lyr::bench::EdgeAdjacency(in.mesh);
    in.attributes.assign(in.mesh.FaceCount(), 0);
    in.ok = true;
  }
  return in;
}

const Input* Dragon(const char* res) {
  static std::map<std::string, Input> cache;
  static std::map<std::string, bool> tried;
  Input& in = cache[res];
  if (!tried[res]) {
    tried[res] = true;
    std::string path;
    if (lyr::bench::LoadDragon(res, in.mesh, &path)) {
      in.adjacency = lyr::bench::EdgeAdjacency(in.mesh);
      in.attributes.assign(in.mesh.FaceCount(), 0);
      in.ok = true;
    } else {
      std::fprintf(stderr, "mesh_bench: %s not found; run scripts/fetch-data.sh for the dragon\n",
                   path.c_str());
    }
  }
  return in.ok ? &in : nullptr;
}

double MissRatio(const uint32_t* idx, uint32_t faces, uint32_t vertices, uint32_t size) {
  return double(lyr::meshopt::CountCacheMisses(idx, faces, vertices, size)) / faces;
}

void RunOptimize(benchmark::State& state, const Input& in, uint32_t flags) {
  lyr::meshopt::CoreInput ci;
  ci.faceCount = in.mesh.FaceCount();
  ci.vertexCount = in.mesh.VertexCount();
  ci.indices = in.mesh.indices.data();
  ci.attributes = in.attributes.data();
  ci.adjacency = in.adjacency.data();
  ci.flags = flags;
  ci.cacheSize = 16;
  ci.cacheMagic = 7;
  lyr::meshopt::CoreOutput out;
  for (auto _ : state) {
    out = {};
    if (lyr::meshopt::OptimizeCore(ci, out) != lyr::Ok) state.SkipWithError("optimise failed");
    benchmark::DoNotOptimize(out.indices.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * ci.faceCount);
  const uint32_t V = ci.vertexCount, F = ci.faceCount;
  state.counters["in_miss12"] = MissRatio(ci.indices, F, V, 12);
  state.counters["in_miss16"] = MissRatio(ci.indices, F, V, 16);
  state.counters["out_miss12"] = MissRatio(out.indices.data(), out.faceCount, out.vertexCount, 12);
  state.counters["out_miss16"] = MissRatio(out.indices.data(), out.faceCount, out.vertexCount, 16);
}

const uint32_t kVertexCache = OF::VertexCache | OF::DeviceIndependent;

void BM_OptimizeGrid_VertexCache(benchmark::State& s) {
  RunOptimize(s, Grid(uint32_t(s.range(0))), kVertexCache);
}
void BM_OptimizeGrid_Strip(benchmark::State& s) {
  RunOptimize(s, Grid(uint32_t(s.range(0))), OF::StripReorder);
}
void BM_OptimizeGrid_AttributeSort(benchmark::State& s) {
  RunOptimize(s, Grid(uint32_t(s.range(0))), OF::AttributeSort);
}
BENCHMARK(BM_OptimizeGrid_VertexCache)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptimizeGrid_Strip)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptimizeGrid_AttributeSort)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void DragonCase(benchmark::State& s, const char* res, uint32_t flags) {
  const Input* in = Dragon(res);
  if (!in) {
    s.SkipWithError("dragon data absent (scripts/fetch-data.sh)");
    return;
  }
  RunOptimize(s, *in, flags);
}
void BM_OptimizeDragon47k_VertexCache(benchmark::State& s) {
  DragonCase(s, "res3", kVertexCache);
}
void BM_OptimizeDragon47k_Strip(benchmark::State& s) {
  DragonCase(s, "res3", OF::StripReorder);
}
void BM_OptimizeDragon47k_AttributeSort(benchmark::State& s) {
  DragonCase(s, "res3", OF::AttributeSort);
}
BENCHMARK(BM_OptimizeDragon47k_VertexCache)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptimizeDragon47k_Strip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptimizeDragon47k_AttributeSort)->Unit(benchmark::kMillisecond);

}  // namespace
