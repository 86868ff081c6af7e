// Mesh optimiser throughput (triangles per second) on a shuffled grid and, when fetched, on the
// scanned dragon; with the vertex-cache miss ratio (misses per triangle through first-in
// first-out caches of 12 and 16 entries) of the input and of the output.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>

#include "mesh_data.h"
#include "core/object_impl.h"
#include "lyr/mesh.h"
#include "mesh/optimize_core.h"
#include "mesh/reference_device.h"

namespace {

using lyr::bench::TriMesh;
namespace OF = lyr::OptimizeFlags;

struct Input {
  TriMesh mesh;
  std::vector<uint32_t> adjacency;
  std::vector<uint32_t> attributes;
  bool ok = false;
};

// The shuffled grid; with ids > 1 every face gets a random attribute id below ids.
const Input& Grid(uint32_t faces, uint32_t ids = 1) {
  static std::map<std::pair<uint32_t, uint32_t>, Input> cache;
  Input& in = cache[{faces, ids}];
  if (!in.ok) {
    // w x h quads with 2 w h close to the face count asked for.
    uint32_t w = 1000, h = faces / 2000;
    if (faces < 200000) w = 250, h = faces / 500;
    in.mesh = lyr::bench::ShuffledGrid(w, h);
    in.adjacency = lyr::bench::EdgeAdjacency(in.mesh);
    in.attributes.assign(in.mesh.FaceCount(), 0);
    std::mt19937 rng(7);
    if (ids > 1)
      for (uint32_t& a : in.attributes) a = rng() % ids;
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

// A 32-bit Mesh with positions on the reference device, holding the input's faces.
lyr::Ref<lyr::Mesh> MakeMesh(lyr::GraphicsDevice* device, const Input& in) {
  static const lyr::VertexElement kDecl[] = {
      {0, 0, lyr::ElementType::F32x3, lyr::ElementMethod::Default, lyr::ElementUsage::Position, 0},
      lyr::kEndElement};
  lyr::Ref<lyr::Mesh> m;
  if (lyr::CreateMesh(in.mesh.FaceCount(), in.mesh.VertexCount(), lyr::MeshOptions::Index32, kDecl,
                      device, m.put()) != lyr::Ok)
    return m;
  void* p = nullptr;
  m->LockIndices(0, &p);
  std::memcpy(p, in.mesh.indices.data(), in.mesh.indices.size() * 4);
  m->UnlockIndices();
  m->LockVertices(0, &p);
  std::memcpy(p, in.mesh.positions.data(), in.mesh.positions.size() * 4);
  m->UnlockVertices();
  uint32_t* ids = nullptr;
  m->LockAttributeIds(0, &ids);
  std::memcpy(ids, in.attributes.data(), in.attributes.size() * 4);
  m->UnlockAttributeIds();
  return m;
}

void RunOptimize(benchmark::State& state, const Input& in, uint32_t flags) {
  lyr::RefDeviceDesc desc;
  desc.vertexCache = {0, 1, 16, 7};
  lyr::Ref<lyr::GraphicsDevice> device;
  if (lyr::LoadReferenceDevice(desc, device.put()) != lyr::Ok) {
    state.SkipWithError("no reference device");
    return;
  }
  std::vector<uint32_t> adjacency(in.adjacency.size()), remap(in.mesh.FaceCount());
  lyr::Ref<lyr::Mesh> m;
  for (auto _ : state) {
    state.PauseTiming();
    m = MakeMesh(device.get(), in);
    state.ResumeTiming();
    if (!m || m->OptimizeSelf(flags, in.adjacency.data(), adjacency.data(), remap.data(),
                              nullptr) != lyr::Ok)
      state.SkipWithError("optimise failed");
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * in.mesh.FaceCount());
  const uint32_t V = in.mesh.VertexCount(), F = in.mesh.FaceCount();
  state.counters["in_miss12"] = MissRatio(in.mesh.indices.data(), F, V, 12);
  state.counters["in_miss16"] = MissRatio(in.mesh.indices.data(), F, V, 16);
  if (!m) return;
  void* p = nullptr;
  m->LockIndices(lyr::kLockReadOnly, &p);
  const uint32_t* out = static_cast<const uint32_t*>(p);
  state.counters["out_miss12"] = MissRatio(out, m->GetFaceCount(), m->GetVertexCount(), 12);
  state.counters["out_miss16"] = MissRatio(out, m->GetFaceCount(), m->GetVertexCount(), 16);
  m->UnlockIndices();
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
// 70k, 100k and 1M faces: the rate at 1M against 100k shows that every phase is linear.
BENCHMARK(BM_OptimizeGrid_VertexCache)
    ->Arg(70000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptimizeGrid_Strip)
    ->Arg(70000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
// Eight attribute ids at random: the sort moves faces and splits the vertices they share.
void BM_OptimizeGrid_AttributeSort8Ids(benchmark::State& s) {
  RunOptimize(s, Grid(uint32_t(s.range(0)), 8), OF::AttributeSort);
}
BENCHMARK(BM_OptimizeGrid_AttributeSort8Ids)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptimizeGrid_AttributeSort)
    ->Arg(70000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

void BM_OptimizeDragon(benchmark::State& s, const char* res, uint32_t flags) {
  const Input* in = Dragon(res);
  if (!in) {
    s.SkipWithError("dragon data absent (scripts/fetch-data.sh)");
    return;
  }
  RunOptimize(s, *in, flags);
}
// The 47k-triangle level ("res3") and the full-resolution scan (871,414 triangles).
BENCHMARK_CAPTURE(BM_OptimizeDragon, 47k_VertexCache, "res3", kVertexCache)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OptimizeDragon, 47k_Strip, "res3", OF::StripReorder)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OptimizeDragon, 47k_AttributeSort, "res3", OF::AttributeSort)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OptimizeDragon, 871k_VertexCache, "", kVertexCache)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OptimizeDragon, 871k_Strip, "", OF::StripReorder)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OptimizeDragon, 871k_AttributeSort, "", OF::AttributeSort)
    ->Unit(benchmark::kMillisecond);

}  // namespace
