// Progressive mesh generation: triangles simplified per second on a 1M-triangle grid, the
// bunny and the dragon scan (when fetched), a full sweep of the result in splits per second,
// and the geometric error of its levels at 10% and 1% of the faces against the plain
// simplifier's at the same face counts (sampled symmetric Hausdorff distance over the bounding
// box diagonal).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>

#include "core/object_impl.h"
#include "hausdorff.h"
#include "lyr/pmesh.h"
#include "mesh/reference_device.h"
#include "mesh_data.h"
#include "pmesh/generate.h"

namespace {

struct Source {
  lyr::bench::TriMesh tri;
  lyr::Ref<lyr::GraphicsDevice> device;
  lyr::Ref<lyr::Mesh> mesh;
  std::vector<uint32_t> adjacency;
  std::vector<char> scratch;
};

bool MakeSource(Source& s) {
  const lyr::bench::TriMesh& t = s.tri;
  lyr::RefDeviceDesc desc;
  if (t.FaceCount() == 0 || lyr::LoadReferenceDevice(desc, s.device.put()) != lyr::Ok ||
      lyr::CreateMeshFromFormatCode(t.FaceCount(), t.VertexCount(),
                                    lyr::MeshOptions::Index32 |
                                        lyr::MeshOptions::IndexSystemMemory |
                                        lyr::MeshOptions::VertexSystemMemory,
                                    lyr::kFormatPosition, s.device.get(), s.mesh.put()) != lyr::Ok)
    return false;
  void* p = nullptr;
  s.mesh->LockIndices(0, &p);
  std::memcpy(p, t.indices.data(), t.indices.size() * 4);
  s.mesh->UnlockIndices();
  s.mesh->LockVertices(0, &p);
  std::memcpy(p, t.positions.data(), t.positions.size() * 4);
  s.mesh->UnlockVertices();
  s.adjacency = lyr::bench::EdgeAdjacency(t);
  return true;
}

Source* Get(int which) {
  static Source sources[3];
  static bool tried[3];
  Source& s = sources[which];
  if (!tried[which]) {
    tried[which] = true;
    bool ok = which == 0   ? (s.tri = lyr::bench::ShuffledGrid(708, 707), true)
              : which == 1 ? lyr::bench::LoadBunny(s.tri)
                           : lyr::bench::LoadDragon("", s.tri);
    if (!ok || !MakeSource(s)) s.mesh = lyr::Ref<lyr::Mesh>();
    // Building the adjacency frees millions of small map nodes; the C allocator merges them at
    // the next large request. Make that happen here, not in the first timed generation.
    std::vector<char>(size_t(64) << 20).swap(s.scratch);
    std::vector<char>().swap(s.scratch);
  }
  return s.mesh ? &s : nullptr;
}

// which: the mesh; strict: the strict cost order instead of the one GeneratePMesh picks; threads:
// as PMeshGenerateOptions takes it. Timed on the wall clock, as the generator may use threads.
void Generate(benchmark::State& state, int which, bool strict = false, uint32_t threads = 0) {
  Source* s = Get(int(which));
  if (!s) {
    state.SkipWithError("mesh not available (scripts/fetch-data.sh)");
    return;
  }
  lyr::PMeshGenerateOptions o;
  o.threads = threads;
  lyr::Ref<lyr::ProgressiveMesh> pm;
  for (auto _ : state) {
    pm = lyr::Ref<lyr::ProgressiveMesh>();
    const lyr::CollapseOrder order =
        strict ? lyr::CollapseOrder{} : lyr::DefaultCollapseOrder(s->mesh->GetVertexCount());
    if (lyr::GeneratePMeshInOrder(s->mesh.get(), s->adjacency.data(), o, order, pm.put()) !=
        lyr::Ok) {
      state.SkipWithError("generation failed");
      return;
    }
  }
  const uint32_t faces = s->mesh->GetFaceCount();
  state.counters["faces"] = faces;
  state.counters["base faces"] = pm->GetMinFaceCount();
  state.counters["triangles/s"] =
      benchmark::Counter(double(faces) * double(state.iterations()), benchmark::Counter::kIsRate);
  // A full sweep of the result, timed apart from the generation.
  auto t0 = std::chrono::steady_clock::now();
  pm->SetFaceCount(0);
  pm->SetFaceCount(0xFFFFFFFFu);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  state.counters["sweep splits/s"] =
      secs > 0 ? double(faces - pm->GetMinFaceCount()) / secs : 0.0;  // down and up: 2 x splits
}

// The faces of the progressive mesh's current level and its vertex positions.
void ReadLevel(lyr::ProgressiveMesh* pm, std::vector<float>& pos, std::vector<uint32_t>& idx) {
  uint32_t n = 0;
  pm->CopyAttributeTable(nullptr, &n);
  std::vector<lyr::AttributeRange> table(n);
  pm->CopyAttributeTable(table.data(), nullptr);
  void* p = nullptr;
  idx.clear();
  pm->LockIndices(lyr::kLockReadOnly, &p);
  for (const lyr::AttributeRange& r : table)
    for (uint32_t f = r.firstFace; f < r.firstFace + r.faceCount; ++f)
      for (int k = 0; k < 3; ++k) idx.push_back(static_cast<const uint32_t*>(p)[f * 3 + k]);
  pm->UnlockIndices();
  const uint32_t vertices = pm->GetMaxVertexCount(), stride = pm->GetVertexStride();
  pos.resize(size_t(vertices) * 3);
  pm->LockVertices(lyr::kLockReadOnly, &p);
  for (uint32_t v = 0; v < vertices; ++v)
    std::memcpy(&pos[size_t(v) * 3], static_cast<const char*>(p) + size_t(v) * stride, 12);
  pm->UnlockVertices();
}

// Error of the levels at 10% and 1% of the faces, ours and the plain simplifier's (the strict
// cost order, without records).
void Quality(benchmark::State& state, int which) {
  Source* s = Get(int(which));
  if (!s) {
    state.SkipWithError("mesh not available (scripts/fetch-data.sh)");
    return;
  }
  lyr::Ref<lyr::ProgressiveMesh> pm;
  for (auto _ : state) {
    pm = lyr::Ref<lyr::ProgressiveMesh>();
    if (lyr::GeneratePMesh(s->mesh.get(), s->adjacency.data(), lyr::PMeshGenerateOptions(),
                           pm.put()) != lyr::Ok) {
      state.SkipWithError("generation failed");
      return;
    }
  }
  const lyr::bench::TriMesh& t = s->tri;
  std::vector<float> pos;
  std::vector<uint32_t> idx, plain(t.indices.size());
  // The estimate is a maximum, so it jumps where one feature goes (a spike, a thin fin): two
  // simplifiers that order a few collapses differently can differ by a lot at one face count and
  // not at the next. Besides 10% and 1%, the geometric mean and the worst of the ratios over five
  // levels say whether a difference is one such jump or a trend.
  double logSum = 0, worst = 0;
  int levels = 0;
  for (const auto& [name, fraction] :
       {std::pair{"20%", 0.2}, std::pair{"10%", 0.1}, std::pair{"5%", 0.05}, std::pair{"2%", 0.02},
        std::pair{"1%", 0.01}}) {
    const uint32_t target = uint32_t(t.FaceCount() * fraction);
    pm->SetFaceCount(target);
    ReadLevel(pm.get(), pos, idx);
    // Every vertex of both meshes (the tips of features are vertices) and 100 000 points inside
    // faces.
    constexpr size_t kVertices = size_t(1) << 24, kRandom = 100000;
    const double ours =
        lyr::bench::SymmetricHausdorff(t.positions, t.indices, pos, idx, kVertices, kRandom);
    uint32_t left = 0;
    if (lyr::SimplifyTriangles(t.positions.data(), t.VertexCount(), t.indices.data(),
                               s->adjacency.data(), t.FaceCount(), target, plain.data(),
                               &left) != lyr::Ok) {
      state.SkipWithError("plain simplification failed");
      return;
    }
    const std::vector<uint32_t> plainFaces(plain.begin(), plain.begin() + size_t(left) * 3);
    const double base = lyr::bench::SymmetricHausdorff(t.positions, t.indices, t.positions,
                                                       plainFaces, kVertices, kRandom);
    // Below 1e-9 of the diagonal both are rounding: the ratio then says 1.
    const double ratio = base > 1e-9 ? ours / base : ours > 1e-9 ? 1e9 : 1.0;
    logSum += std::log(ratio);
    worst = std::max(worst, ratio);
    ++levels;
    const std::string n(name);
    if (n != "10%" && n != "1%") continue;
    state.counters["ours " + n] = ours;
    state.counters["plain " + n] = base;
    state.counters["ratio " + n] = ratio;
    state.counters["faces " + n] = double(idx.size() / 3);
  }
  state.counters["ratio mean of 5"] = std::exp(logSum / levels);
  state.counters["ratio worst of 5"] = worst;
}

BENCHMARK_CAPTURE(Generate, grid_1M, 0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();
BENCHMARK_CAPTURE(Generate, bunny, 1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_CAPTURE(Generate, dragon, 2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(Generate, dragon_1thread, 2, false, 1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();
BENCHMARK_CAPTURE(Generate, dragon_strict, 2, true)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();
BENCHMARK_CAPTURE(Quality, grid_1M, 0)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(Quality, dragon, 2)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
