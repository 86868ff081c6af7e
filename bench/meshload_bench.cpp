// Mesh data loader end to end on a grid of about 1M triangles with per-vertex normals (given as a
// face-normal list) and texture coordinates, from Vek text and binary bytes in memory: parse,
// build, adjacency and final optimisation. Items are triangles. The phase benchmarks time parsing,
// adjacency and the optimisation alone on the same data; the build is the rest of the load.
#include <benchmark/benchmark.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "mesh/mesh_load.h"
#include "mesh/reference_device.h"
#include "platform/platform.h"
#include "vekio/vek_component.h"

namespace {

using namespace lyr;

constexpr uint32_t kGrid = 708;  // 708 x 708 quads: 1,002,528 triangles, 502,681 vertices
constexpr uint32_t kTriangles = 2 * kGrid * kGrid;

void Put(std::vector<uint8_t>& b, const void* p, size_t n) {
  const uint8_t* s = static_cast<const uint8_t*>(p);
  b.insert(b.end(), s, s + n);
}

// The Mesh, MeshNormals and MeshTextureCoords blocks of a gently curved grid.
struct Blocks {
  std::vector<uint8_t> mesh, normals, coords;
  Blocks() {
    const uint32_t side = kGrid + 1, nv = side * side, nf = kTriangles;
    std::vector<uint8_t> faces;
    Put(faces, &nf, 4);
    for (uint32_t y = 0; y < kGrid; ++y)
      for (uint32_t x = 0; x < kGrid; ++x) {
        const uint32_t a = y * side + x, b = a + 1, d = a + side, e = d + 1;
        const uint32_t f[8] = {3, a, b, d, 3, d, b, e};
        Put(faces, f, sizeof f);
      }
    Put(mesh, &nv, 4);
    Put(normals, &nv, 4);
    Put(coords, &nv, 4);
    for (uint32_t y = 0; y < side; ++y)
      for (uint32_t x = 0; x < side; ++x) {
        const float p[3] = {float(x), float(y), std::sin(x * 0.01f) * std::cos(y * 0.01f)};
        Put(mesh, p, 12);
        const float n[3] = {0.0f, 0.6f, 0.8f};
        Put(normals, n, 12);
        const float uv[2] = {x / float(kGrid), y / float(kGrid)};
        Put(coords, uv, 8);
      }
    mesh.insert(mesh.end(), faces.begin(), faces.end());
    normals.insert(normals.end(), faces.begin(), faces.end());
  }
};

// The grid written by the component in one of its forms.
std::string FileBytes(uint32_t format) {
  static const Blocks b;
  Ref<VekFile> file;
  if (Failed(vekio::CreateVekFileWithTemplates(file.put()))) return {};
  char dir[512], path[1024];
  if (!platform::TempDirectory(dir, sizeof dir) ||
      !platform::MakeTempFile(dir, "mlb", path, sizeof path))
    return {};
  {
    Ref<VekSaveObject> save;
    Ref<VekDataObject> mesh, normals, coords;
    if (Failed(file->OpenSave(path, format, save.put())) ||
        Failed(save->NewDataObject(vekio::tid::kMesh, "Grid", nullptr,
                                   static_cast<uint32_t>(b.mesh.size()), b.mesh.data(),
                                   mesh.put())) ||
        Failed(save->NewDataObject(vekio::tid::kMeshNormals, nullptr, nullptr,
                                   static_cast<uint32_t>(b.normals.size()), b.normals.data(),
                                   normals.put())) ||
        Failed(save->NewDataObject(vekio::tid::kMeshTextureCoords, nullptr, nullptr,
                                   static_cast<uint32_t>(b.coords.size()), b.coords.data(),
                                   coords.put())) ||
        Failed(mesh->AddChild(normals.get())) || Failed(mesh->AddChild(coords.get())) ||
        Failed(save->WriteObject(mesh.get()))) {
      platform::DeleteFile(path);
      return {};
    }
  }
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  platform::DeleteFile(path);
  return s.str();
}

const std::string& Bytes(bool binary) {
  static const std::string text = FileBytes(kVekFormatText);
  static const std::string bin = FileBytes(kVekFormatBinary);
  return binary ? bin : text;
}

struct Setup {
  Ref<VekFile> file;
  Ref<GraphicsDevice> device;
  bool Make(benchmark::State& state, const std::string& bytes) {
    if (bytes.empty() || Failed(vekio::CreateVekFileWithTemplates(file.put())) ||
        Failed(LoadReferenceDevice({}, device.put()))) {
      state.SkipWithError("no component or device");
      return false;
    }
    return true;
  }
};

LyrResult Parse(VekFile* file, const std::string& bytes, VekDataObject** out) {
  VekMemorySource src{bytes.data(), bytes.size()};
  Ref<VekEnumeration> e;
  LyrResult r = file->OpenEnumeration(&src, kVekSourceMemory, e.put());
  return Failed(r) ? r : e->NextTopLevelObject(out);
}

LyrResult Load(VekDataObject* object, GraphicsDevice* device, Ref<Mesh>* mesh,
               Ref<Buffer>* adjacency) {
  Ref<Buffer> materials, effects;
  uint32_t count = 0;
  return LoadMeshData(object, 0, device, adjacency->put(), materials.put(), effects.put(), &count,
                      nullptr, mesh->put(), nullptr, nullptr, nullptr, nullptr);
}

void EndToEnd(benchmark::State& state, bool binary) {
  const std::string& bytes = Bytes(binary);
  Setup s;
  if (!s.Make(state, bytes)) return;
  for (auto _ : state) {
    Ref<VekDataObject> object;
    Ref<Mesh> mesh;
    Ref<Buffer> adjacency;
    if (Failed(Parse(s.file.get(), bytes, object.put())) ||
        Failed(Load(object.get(), s.device.get(), &mesh, &adjacency)) ||
        mesh->GetFaceCount() != kTriangles) {
      state.SkipWithError("load failed");
      return;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kTriangles);
  state.counters["file_MB"] = double(bytes.size()) / 1e6;
}

void PhaseParse(benchmark::State& state, bool binary) {
  const std::string& bytes = Bytes(binary);
  Setup s;
  if (!s.Make(state, bytes)) return;
  for (auto _ : state) {
    Ref<VekDataObject> object;
    if (Failed(Parse(s.file.get(), bytes, object.put()))) {
      state.SkipWithError("parse failed");
      return;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kTriangles);
}

// Adjacency and optimisation of the loaded Mesh, as the loader runs them.
void PhaseMesh(benchmark::State& state, bool optimize) {
  const std::string& bytes = Bytes(true);
  Setup s;
  if (!s.Make(state, bytes)) return;
  Ref<VekDataObject> object;
  Ref<Mesh> mesh;
  Ref<Buffer> adjacency;
  if (Failed(Parse(s.file.get(), bytes, object.put())) ||
      Failed(Load(object.get(), s.device.get(), &mesh, &adjacency))) {
    state.SkipWithError("load failed");
    return;
  }
  uint32_t* adj = static_cast<uint32_t*>(adjacency->GetBytes());
  for (auto _ : state) {
    LyrResult r =
        optimize ? mesh->OptimizeSelf(OptimizeFlags::AttributeSort | OptimizeFlags::KeepVertices |
                                          OptimizeFlags::DoNotSplit,
                                      adj, adj, nullptr, nullptr)
                 : mesh->BuildAdjacency(0.0f, adj);
    if (Failed(r)) {
      state.SkipWithError("phase failed");
      return;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kTriangles);
}

void BM_MeshLoadText(benchmark::State& state) {
  EndToEnd(state, false);
}
void BM_MeshLoadBinary(benchmark::State& state) {
  EndToEnd(state, true);
}
void BM_MeshLoadPhaseParseText(benchmark::State& state) {
  PhaseParse(state, false);
}
void BM_MeshLoadPhaseParseBinary(benchmark::State& state) {
  PhaseParse(state, true);
}
void BM_MeshLoadPhaseAdjacency(benchmark::State& state) {
  PhaseMesh(state, false);
}
void BM_MeshLoadPhaseOptimize(benchmark::State& state) {
  PhaseMesh(state, true);
}

BENCHMARK(BM_MeshLoadText)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MeshLoadBinary)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MeshLoadPhaseParseText)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MeshLoadPhaseParseBinary)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MeshLoadPhaseAdjacency)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MeshLoadPhaseOptimize)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
