// Importing robot.glb (14 skinned meshes, 3,238 triangles, 14 clips) into frames, meshes, skins
// and sets, alone and followed by a save of the whole scene in binary form. Rates count the
// file's triangles and the keys of the imported interpolators (every channel's keys, the held
// values of unanimated channels included, as they are written).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "core/object_impl.h"
#include "lyr/hierarchy_save.h"
#include "lyr/material.h"
#include "lyr/mesh.h"
#include "lyr/skin.h"
#include "lyr_import.h"
#include "mesh/reference_device.h"
#include "platform/platform.h"

namespace {

using namespace lyr;

// Frames and containers with plain new and delete; containers keep their materials and texture
// names, which the save writes.
class Host final : public HierarchyAllocator {
 public:
  LyrResult LYR_CALL NewFrame(const char* name, Frame** out) override {
    Frame* f = new Frame{};
    f->name = Copy(name);
    *out = f;
    return Ok;
  }
  LyrResult LYR_CALL NewMeshContainer(const char* name, const MeshData* meshData,
                                      const Material* materials, const EffectInstance*,
                                      uint32_t count, const uint32_t* adjacency, SkinInfo* skin,
                                      MeshContainer** out) override {
    MeshContainer* c = new MeshContainer{};
    c->name = Copy(name);
    c->meshType = meshData->meshType;
    c->mesh = meshData->mesh;
    reinterpret_cast<Unknown*>(c->mesh)->AddRef();
    c->materials = new Material[count];
    c->materialCount = count;
    for (uint32_t i = 0; i < count; ++i) {
      c->materials[i] = materials[i];
      c->materials[i].textureFilename = Copy(materials[i].textureFilename);
    }
    const uint32_t n = 3 * c->mesh->GetFaceCount();
    c->adjacency = new uint32_t[n];
    std::memcpy(c->adjacency, adjacency, 4 * n);
    c->skinInfo = skin;
    if (skin) skin->AddRef();
    *out = c;
    return Ok;
  }
  LyrResult LYR_CALL DeleteFrame(Frame* f) override {
    delete[] f->name;
    delete f;
    return Ok;
  }
  LyrResult LYR_CALL DeleteMeshContainer(MeshContainer* c) override {
    reinterpret_cast<Unknown*>(c->mesh)->Release();
    if (c->skinInfo) c->skinInfo->Release();
    for (uint32_t i = 0; i < c->materialCount; ++i) delete[] c->materials[i].textureFilename;
    delete[] c->materials;
    delete[] c->adjacency;
    delete[] c->name;
    delete c;
    return Ok;
  }

 private:
  static char* Copy(const char* s) {
    if (!s) return nullptr;
    char* c = new char[std::strlen(s) + 1];
    std::strcpy(c, s);
    return c;
  }
};

// Triangles of every container and keys of every set of one import.
void Count(const Frame* f, const import::ImportedScene& scene, uint64_t* triangles,
           uint64_t* keys) {
  for (; f; f = f->nextSibling) {
    for (const MeshContainer* c = f->meshContainers; c; c = c->next)
      *triangles += c->mesh->GetFaceCount();
    Count(f->firstChild, scene, triangles, nullptr);
  }
  if (!keys) return;
  for (AnimationSet* set : scene.animationSets)
    for (uint32_t i = 0; i < set->InterpolatorCount(); ++i) {
      Ref<KeyFrameInterpolator> ip;
      if (Failed(set->InterpolatorAt(i, ip.put()))) continue;
      *keys += ip->ScaleKeyCount() + ip->RotationKeyCount() + ip->TranslationKeyCount();
    }
}

void ImportRobot(benchmark::State& state, bool save) {
  const std::string model = std::string(LYR_SHARED_DATA_DIR) + "/gltf/robot.glb";
  Ref<GraphicsDevice> device;
  char dir[512], path[1024];
  if (Failed(LoadReferenceDevice({}, device.put())) || !platform::TempDirectory(dir, sizeof dir) ||
      !platform::MakeTempFile(dir, "imb", path, sizeof path)) {
    state.SkipWithError("no device or temporary file");
    return;
  }
  Host host;
  uint64_t triangles = 0, keys = 0;
  for (auto _ : state) {
    import::ImportedScene scene;
    std::string message;
    if (Failed(import::ImportGltf(model.c_str(), MeshOptions::VertexSystemMemory, device.get(),
                                  &host, &scene, &message))) {
      state.SkipWithError(message.c_str());
      break;
    }
    if (save) {
      Ref<AnimationController> sets;
      bool ok = Succeeded(LyrCreateAnimationController(
          1, static_cast<uint32_t>(scene.animationSets.size()), 1, 1, sets.put()));
      for (AnimationSet* set : scene.animationSets) ok = ok && Succeeded(sets->RegisterSet(set));
      ok = ok && Succeeded(LyrSaveMeshHierarchyToFileA(path, kVekFormatBinary, scene.root,
                                                       sets.get(), nullptr));
      if (!ok) {
        LyrFrameDestroy(scene.root, &host);
        state.SkipWithError("save failed");
        break;
      }
    }
    if (triangles == 0) Count(scene.root, scene, &triangles, &keys);  // the same every time
    LyrFrameDestroy(scene.root, &host);
  }
  platform::DeleteFile(path);
  const double n = static_cast<double>(state.iterations());
  state.counters["triangles/s"] =
      benchmark::Counter(double(triangles) * n, benchmark::Counter::kIsRate);
  state.counters["keys/s"] = benchmark::Counter(double(keys) * n, benchmark::Counter::kIsRate);
}

void BM_ImportRobot(benchmark::State& state) {
  ImportRobot(state, false);
}
void BM_ImportRobotSaveBinary(benchmark::State& state) {
  ImportRobot(state, true);
}

}  // namespace

BENCHMARK(BM_ImportRobot)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_ImportRobotSaveBinary)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
