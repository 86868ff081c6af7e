// The mesh data writer on a 1M-triangle grid with normals and texture coordinates: writing the
// Mesh object and its children to a file, in text and in binary. The component's own rate for the
// same number of bytes written as one raw block is the measure for the binary case. Bytes are the
// file's.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>

#include "core/object_impl.h"
#include "mesh/reference_device.h"
#include "platform/platform.h"
#include "vekio/mesh_write.h"
#include "vekio/vek_component.h"

namespace {

using namespace lyr;

constexpr uint32_t kGridW = 708, kGridH = 707;  // 2 x 708 x 707 = 1,001,112 triangles

struct Fixture {
  Ref<GraphicsDevice> device;
  Ref<Mesh> mesh;
  Ref<VekFile> file;
  char path[1024] = {};
  bool ok = false;

  Fixture() {
    char dir[512];
    if (!platform::TempDirectory(dir, sizeof dir) ||
        !platform::MakeTempFile(dir, "vkw", path, sizeof path))
      return;
    if (Failed(vekio::CreateVekFileWithTemplates(file.put())) ||
        Failed(LoadReferenceDevice({}, device.put())))
      return;
    const uint32_t vertices = (kGridW + 1) * (kGridH + 1), faces = 2 * kGridW * kGridH;
    if (Failed(CreateMeshFromFormatCode(
            faces, vertices,
            MeshOptions::Index32 | MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory,
            kFormatPosition | kFormatNormal | FormatTexCount(1), device.get(), mesh.put())))
      return;
    void* p = nullptr;
    if (Failed(mesh->LockVertices(0, &p))) return;
    float* v = static_cast<float*>(p);
    for (uint32_t y = 0; y <= kGridH; ++y) {
      for (uint32_t x = 0; x <= kGridW; ++x, v += 8) {
        const float h = std::sin(x * 0.05f) * std::cos(y * 0.03f);
        const float n[3] = {-0.3f * h, 0.4f * h, 1.0f};
        const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        const float vertex[8] = {x * 0.1f,          y * 0.1f,         h,
                                 n[0] / len,        n[1] / len,       n[2] / len,
                                 x / float(kGridW), y / float(kGridH)};
        std::memcpy(v, vertex, sizeof vertex);
      }
    }
    mesh->UnlockVertices();
    if (Failed(mesh->LockIndices(0, &p))) return;
    uint32_t* i = static_cast<uint32_t*>(p);
    for (uint32_t y = 0; y < kGridH; ++y) {
      for (uint32_t x = 0; x < kGridW; ++x, i += 6) {
        const uint32_t a = y * (kGridW + 1) + x, b = a + 1, d = a + kGridW + 1, e = d + 1;
        const uint32_t two[6] = {a, b, d, d, b, e};
        std::memcpy(i, two, sizeof two);
      }
    }
    mesh->UnlockIndices();
    ok = true;
  }
  ~Fixture() {
    if (path[0]) platform::DeleteFile(path);
  }

  uint64_t FileSize() const {
    uint64_t size = 0;
    platform::FileSize(path, &size);
    return size;
  }
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

// Writes the mesh through the writer in one format; false on failure.
bool WriteMesh(Fixture& f, uint32_t format) {
  Ref<VekSaveObject> save;
  if (Failed(f.file->OpenSave(f.path, format, save.put()))) return false;
  vekio::SaveStrings strings;
  Ref<VekDataObject> object;
  return Succeeded(vekio::WriteMeshData({save.get(), format, &strings}, f.mesh.get(), "Grid",
                                        nullptr, nullptr, nullptr, 0, nullptr, 0, object.put())) &&
         Succeeded(save->WriteObject(object.get()));
}

void MeshWrite(benchmark::State& state, uint32_t format) {
  Fixture& f = Shared();
  if (!f.ok) {
    state.SkipWithError("no component, device or temporary file");
    return;
  }
  uint64_t bytes = 0;
  for (auto _ : state) {
    if (!WriteMesh(f, format)) {
      state.SkipWithError("write failed");
      return;
    }
    bytes += f.FileSize();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["file_MB"] = static_cast<double>(f.FileSize()) / 1e6;
}

void BM_MeshWriteText(benchmark::State& state) {
  MeshWrite(state, kVekFormatText);
}
void BM_MeshWriteBinary(benchmark::State& state) {
  MeshWrite(state, kVekFormatBinary);
}

// The component alone: as many bytes as the binary mesh file, as one FaceAdjacency block.
void BM_MeshWriteRawBlockBinary(benchmark::State& state) {
  Fixture& f = Shared();
  if (!f.ok || !WriteMesh(f, kVekFormatBinary)) {
    state.SkipWithError("no component, device or temporary file");
    return;
  }
  const uint32_t words = static_cast<uint32_t>(f.FileSize() / 4);
  std::vector<uint32_t> block(words);
  block[0] = words - 1;
  for (uint32_t i = 1; i < words; ++i) block[i] = i * 2654435761u;
  uint64_t bytes = 0;
  for (auto _ : state) {
    Ref<VekSaveObject> save;
    Ref<VekDataObject> object;
    if (Failed(f.file->OpenSave(f.path, kVekFormatBinary, save.put())) ||
        Failed(save->NewDataObject(vekio::tid::kFaceAdjacency, nullptr, nullptr, words * 4,
                                   block.data(), object.put())) ||
        Failed(save->WriteObject(object.get()))) {
      state.SkipWithError("write failed");
      return;
    }
    save = Ref<VekSaveObject>();
    bytes += f.FileSize();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK(BM_MeshWriteText)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MeshWriteBinary)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_MeshWriteRawBlockBinary)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
