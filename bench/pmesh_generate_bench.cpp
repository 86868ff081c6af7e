// Progressive mesh generation: triangles simplified per second on a 1M-triangle grid, the
// bunny and the dragon scan (when fetched), and a full sweep of the result in splits per second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>

#include "core/object_impl.h"
#include "lyr/pmesh.h"
#include "mesh/reference_device.h"
#include "mesh_data.h"

namespace {

struct Source {
  lyr::Ref<lyr::GraphicsDevice> device;
  lyr::Ref<lyr::Mesh> mesh;
  std::vector<uint32_t> adjacency;
};

bool MakeSource(const lyr::bench::TriMesh& t, Source& s) {
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
    lyr::bench::TriMesh t;
    bool ok = which == 0   ? (t = lyr::bench::ShuffledGrid(708, 707), true)
              : which == 1 ? lyr::bench::LoadBunny(t)
                           : lyr::bench::LoadDragon("", t);
    if (!ok || !MakeSource(t, s)) s.mesh = lyr::Ref<lyr::Mesh>();
  }
  return s.mesh ? &s : nullptr;
}

void Generate(benchmark::State& state, int which) {
  Source* s = Get(int(which));
  if (!s) {
    state.SkipWithError("mesh not available (scripts/fetch-data.sh)");
    return;
  }
  lyr::PMeshGenerateOptions o;
  lyr::Ref<lyr::ProgressiveMesh> pm;
  for (auto _ : state) {
    pm = lyr::Ref<lyr::ProgressiveMesh>();
    if (lyr::GeneratePMesh(s->mesh.get(), s->adjacency.data(), o, pm.put()) != lyr::Ok) {
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

BENCHMARK_CAPTURE(Generate, grid_1M, 0)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(Generate, bunny, 1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Generate, dragon, 2)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
