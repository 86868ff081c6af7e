// Vek component throughput on a large mesh-like file: 1M vertices, 1M triangles, per-vertex
// normals with a face-normal list, and texture coordinates. Reading is measured from memory
// (whole parse plus a walk of every block); writing to a temporary file. Bytes are the file's.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "platform/platform.h"
#include "vekio/vek_component.h"
#include "memcpy_pair.h"

namespace {

using namespace lyr;
using namespace lyr::vekio;

constexpr uint32_t kCount = 1000000;

struct MeshBlocks {
  std::vector<uint8_t> mesh, normals, coords;
};

void Put(std::vector<uint8_t>& b, const void* p, size_t n) {
  const uint8_t* s = static_cast<const uint8_t*>(p);
  b.insert(b.end(), s, s + n);
}

const MeshBlocks& Blocks() {
  static const MeshBlocks blocks = [] {
    MeshBlocks m;
    uint32_t n = kCount;
    Put(m.mesh, &n, 4);
    for (uint32_t i = 0; i < n; ++i) {
      float v[3] = {std::sin(i * 0.001f) * 10.0f, std::cos(i * 0.0007f) * 3.5f,
                    static_cast<float>(i) / 977.0f};
      Put(m.mesh, v, 12);
    }
    Put(m.mesh, &n, 4);
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t f[4] = {3, i, (i + 1) % n, (i + 2) % n};
      Put(m.mesh, f, 16);
    }
    Put(m.normals, &n, 4);
    for (uint32_t i = 0; i < n; ++i) {
      float a = i * 0.0003f;
      float v[3] = {std::cos(a) * 0.6f, std::sin(a) * 0.6f, 0.8f};
      Put(m.normals, v, 12);
    }
    Put(m.normals, &n, 4);
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t f[4] = {3, i, (i + 1) % n, (i + 2) % n};
      Put(m.normals, f, 16);
    }
    Put(m.coords, &n, 4);
    for (uint32_t i = 0; i < n; ++i) {
      float uv[2] = {(i % 1024) / 1023.0f, (i / 1024) / 977.0f};
      Put(m.coords, uv, 8);
    }
    return m;
  }();
  return blocks;
}

struct Temp {
  char path[1024] = {};
  Temp() {
    char dir[512];
    platform::TempDirectory(dir, sizeof dir);
    platform::MakeTempFile(dir, "vkb", path, sizeof path);
  }
  ~Temp() { platform::DeleteFile(path); }
};

// Writes the mesh in one format; returns the file size (0 on failure).
uint64_t WriteMesh(VekFile* file, const char* path, uint32_t format) {
  const MeshBlocks& b = Blocks();
  Ref<VekSaveObject> save;
  if (Failed(file->OpenSave(path, format, save.put()))) return 0;
  Ref<VekDataObject> mesh, normals, coords;
  if (Failed(save->NewDataObject(tid::kMesh, "Big", nullptr, static_cast<uint32_t>(b.mesh.size()),
                                 b.mesh.data(), mesh.put())) ||
      Failed(save->NewDataObject(tid::kMeshNormals, nullptr, nullptr,
                                 static_cast<uint32_t>(b.normals.size()), b.normals.data(),
                                 normals.put())) ||
      Failed(save->NewDataObject(tid::kMeshTextureCoords, nullptr, nullptr,
                                 static_cast<uint32_t>(b.coords.size()), b.coords.data(),
                                 coords.put())) ||
      Failed(mesh->AddChild(normals.get())) || Failed(mesh->AddChild(coords.get())) ||
      Failed(save->WriteObject(mesh.get())))
    return 0;
  save = Ref<VekSaveObject>();
  uint64_t size = 0;
  platform::FileSize(path, &size);
  return size;
}

std::string FileBytes(uint32_t format) {
  Ref<VekFile> file;
  if (Failed(CreateVekFileWithTemplates(file.put()))) return {};
  Temp t;
  WriteMesh(file.get(), t.path, format);
  std::ifstream f(t.path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void Read(benchmark::State& state, const std::string& bytes) {
  Ref<VekFile> file;
  if (bytes.empty() || Failed(CreateVekFileWithTemplates(file.put()))) {
    state.SkipWithError("no component");
    return;
  }
  for (auto _ : state) {
    VekMemorySource src{bytes.data(), bytes.size()};
    Ref<VekEnumeration> e;
    if (Failed(file->OpenEnumeration(&src, kVekSourceMemory, e.put()))) {
      state.SkipWithError("read failed");
      return;
    }
    Ref<VekDataObject> mesh;
    e->NextTopLevelObject(mesh.put());
    uint32_t size;
    const void* data;
    mesh->ReadData(nullptr, &size, &data);
    benchmark::DoNotOptimize(data);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_VekReadText(benchmark::State& state) {
  static const std::string bytes = FileBytes(kVekFormatText);
  Read(state, bytes);
}
void BM_VekReadBinary(benchmark::State& state) {
  static const std::string bytes = FileBytes(kVekFormatBinary);
  Read(state, bytes);
}

// The binary file read from the file system (in the page cache after the first pass), timed
// against memcpy of the file's bytes, the two alternating.
void BM_VekReadBinaryFile(benchmark::State& state) {
  static const std::string bytes = FileBytes(kVekFormatBinary);
  Ref<VekFile> file;
  if (bytes.empty() || Failed(CreateVekFileWithTemplates(file.put()))) {
    state.SkipWithError("no component");
    return;
  }
  Temp t;
  {
    std::ofstream f(t.path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::vector<char> copy(bytes.size());
  bool failed = false;
  lyrbench::AgainstMemcpy(
      state,
      [&] {
        Ref<VekEnumeration> e;
        failed |= Failed(file->OpenEnumeration(t.path, kVekSourceFile, e.put()));
      },
      copy.data(), bytes.data(), bytes.size());
  if (failed) state.SkipWithError("read failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void Write(benchmark::State& state, uint32_t format) {
  Ref<VekFile> file;
  if (Failed(CreateVekFileWithTemplates(file.put()))) {
    state.SkipWithError("no component");
    return;
  }
  Blocks();
  Temp t;
  uint64_t bytes = 0;
  for (auto _ : state) bytes += WriteMesh(file.get(), t.path, format);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
void BM_VekWriteText(benchmark::State& state) {
  Write(state, kVekFormatText);
}
void BM_VekWriteBinary(benchmark::State& state) {
  Write(state, kVekFormatBinary);
}

BENCHMARK(BM_VekReadText)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_VekReadBinary)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_VekReadBinaryFile)->Unit(benchmark::kMillisecond)->Iterations(10)->UseManualTime();
BENCHMARK(BM_VekWriteText)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_VekWriteBinary)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
