// Whole-scene loading through LyrLoadMeshHierarchyFromVekInMemory: 100 frames, a skinned grid of
// 100,352 triangles bound to four of them, and two animation sets that move every frame, from
// Vek text and binary bytes in memory. Items are triangles; the frames counter is frames loaded
// per second. The grid-only cases give the mesh data loader's rate on the same bytes, and the
// case without the grid what everything else costs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "lyr/hierarchy_load.h"
#include "lyr/mesh.h"
#include "lyr/skin.h"
#include "mesh/mesh_load.h"
#include "mesh/reference_device.h"
#include "platform/platform.h"
#include "vekio/vek_component.h"

namespace {

using namespace lyr;

constexpr uint32_t kFrames = 100;
constexpr uint32_t kBones = 4;
constexpr uint32_t kGrid = 224;  // 224 x 224 quads: 100,352 triangles, 50,625 vertices
constexpr uint32_t kTriangles = 2 * kGrid * kGrid;
constexpr uint32_t kKeys = 10;

void Put(std::vector<uint8_t>& b, const void* p, size_t n) {
  const uint8_t* s = static_cast<const uint8_t*>(p);
  b.insert(b.end(), s, s + n);
}
void PutU32(std::vector<uint8_t>& b, uint32_t v) {
  Put(b, &v, 4);
}
void PutF(std::vector<uint8_t>& b, float v) {
  Put(b, &v, 4);
}

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// Names F0 ... F99; F0 is the root and frame i > 0 the child of frame (i - 1) / 3.
struct Names {
  std::vector<std::string> frame;
  Names() {
    for (uint32_t i = 0; i < kFrames; ++i) frame.push_back("F" + std::to_string(i));
  }
};

// Builds the scene's objects through a save object of the component and writes them.
// Without the grid (withGrid false) only the frames and the sets are written.
LyrResult WriteScene(VekSaveObject* save, const Names& names, bool withGrid) {
  LyrResult r = Ok;
  auto make = [&](const Guid& tid, const char* name, const std::vector<uint8_t>& block,
                  Ref<VekDataObject>* out) {
    if (Succeeded(r)) {
      r = save->NewDataObject(tid, name, nullptr, static_cast<uint32_t>(block.size()), block.data(),
                              out->put());
    }
  };
  std::vector<Ref<VekDataObject>> frames(kFrames);
  for (uint32_t i = 0; i < kFrames; ++i) {
    make(vekio::tid::kFrame, names.frame[i].c_str(), {}, &frames[i]);
    std::vector<uint8_t> m;
    Put(m, kIdentity, 64);
    const float t[3] = {1.0f, float(i % 3), 0.0f};
    std::memcpy(&m[48], t, 12);
    Ref<VekDataObject> matrix;
    make(vekio::tid::kFrameTransformMatrix, nullptr, m, &matrix);
    if (Succeeded(r)) r = frames[i]->AddChild(matrix.get());
  }

  // The skinned grid, in frame F0.
  const uint32_t side = kGrid + 1, nv = side * side;
  std::vector<uint8_t> mesh;
  PutU32(mesh, nv);
  for (uint32_t y = 0; y < side; ++y)
    for (uint32_t x = 0; x < side; ++x) {
      PutF(mesh, float(x));
      PutF(mesh, float(y));
      PutF(mesh, std::sin(x * 0.05f) * std::cos(y * 0.05f));
    }
  PutU32(mesh, kTriangles);
  for (uint32_t y = 0; y < kGrid; ++y)
    for (uint32_t x = 0; x < kGrid; ++x) {
      const uint32_t a = y * side + x, b = a + 1, d = a + side, e = d + 1;
      const uint32_t f[8] = {3, a, b, d, 3, d, b, e};
      Put(mesh, f, sizeof f);
    }
  Ref<VekDataObject> meshObject;
  make(vekio::tid::kMesh, "Grid", mesh, &meshObject);
  const uint16_t header[3] = {1, 2, kBones};
  Ref<VekDataObject> skinHeader;
  make(vekio::tid::kVekSkinMeshHeader, nullptr,
       std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(header),
                            reinterpret_cast<const uint8_t*>(header) + 6),
       &skinHeader);
  if (Succeeded(r)) r = meshObject->AddChild(skinHeader.get());
  for (uint32_t bone = 0; bone < kBones; ++bone) {
    // Bone b holds every vertex whose column is b modulo 4.
    std::vector<uint32_t> vertices;
    for (uint32_t v = 0; v < nv; ++v)
      if ((v % side) % kBones == bone) vertices.push_back(v);
    std::vector<uint8_t> w;
    const char* boneName = names.frame[1 + bone].c_str();
    Put(w, &boneName, sizeof boneName);
    PutU32(w, static_cast<uint32_t>(vertices.size()));
    Put(w, vertices.data(), 4 * vertices.size());
    for (size_t i = 0; i < vertices.size(); ++i) PutF(w, 1.0f);
    Put(w, kIdentity, 64);
    Ref<VekDataObject> weights;
    make(vekio::tid::kSkinWeights, nullptr, w, &weights);
    if (Succeeded(r)) r = meshObject->AddChild(weights.get());
  }
  if (Succeeded(r) && withGrid) r = frames[0]->AddChild(meshObject.get());
  for (uint32_t i = kFrames; i-- > 1;) {
    if (Succeeded(r)) r = frames[(i - 1) / 3]->AddChild(frames[i].get());
  }
  if (Succeeded(r)) r = save->WriteObject(frames[0].get());

  // Two sets: every frame turns about z and moves along x, over kKeys keys.
  for (int s = 0; s < 2; ++s) {
    Ref<VekDataObject> set;
    make(vekio::tid::kAnimationSet, s == 0 ? "walk" : "run", {}, &set);
    for (uint32_t i = 0; i < kFrames && Succeeded(r); ++i) {
      Ref<VekDataObject> animation;
      make(vekio::tid::kAnimation, nullptr, {}, &animation);
      if (Succeeded(r)) r = animation->AddReference(names.frame[i].c_str(), nullptr);
      for (uint32_t type : {0u, 2u}) {
        std::vector<uint8_t> k;
        PutU32(k, type);
        PutU32(k, kKeys);
        for (uint32_t key = 0; key < kKeys; ++key) {
          PutU32(k, key * 480);
          const float a = 0.1f * float(key + s + i);
          PutU32(k, type == 0 ? 4 : 3);
          if (type == 0) {
            const float q[4] = {std::cos(a), 0, 0, std::sin(a)};
            Put(k, q, 16);
          } else {
            const float t[3] = {a, 0, 0};
            Put(k, t, 12);
          }
        }
        Ref<VekDataObject> key;
        make(vekio::tid::kAnimationKey, nullptr, k, &key);
        if (Succeeded(r)) r = animation->AddChild(key.get());
      }
      if (Succeeded(r)) r = set->AddChild(animation.get());
    }
    if (Succeeded(r)) r = save->WriteObject(set.get());
  }
  return r;
}

std::string WriteSceneBytes(uint32_t format, bool withGrid) {
  static const Names names;
  Ref<VekFile> file;
  if (Failed(vekio::CreateVekFileWithTemplates(file.put()))) return {};
  char dir[512], path[1024];
  if (!platform::TempDirectory(dir, sizeof dir) ||
      !platform::MakeTempFile(dir, "hlb", path, sizeof path))
    return {};
  LyrResult r;
  {
    Ref<VekSaveObject> save;
    r = file->OpenSave(path, format, save.put());
    if (Succeeded(r)) r = WriteScene(save.get(), names, withGrid);
  }
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  platform::DeleteFile(path);
  return Failed(r) ? std::string() : s.str();
}

const std::string& SceneBytes(uint32_t format, bool withGrid = true) {
  static const std::string text = WriteSceneBytes(kVekFormatText, true);
  static const std::string binary = WriteSceneBytes(kVekFormatBinary, true);
  static const std::string bareBinary = WriteSceneBytes(kVekFormatBinary, false);
  if (!withGrid) return bareBinary;
  return format == kVekFormatText ? text : binary;
}

// Frames and containers with plain new and delete, as a simple host would make them.
class Host final : public HierarchyAllocator {
 public:
  LyrResult LYR_CALL NewFrame(const char* name, Frame** out) override {
    Frame* f = new Frame{};
    if (name) {
      f->name = new char[std::strlen(name) + 1];
      std::strcpy(f->name, name);
    }
    *out = f;
    return Ok;
  }
  LyrResult LYR_CALL NewMeshContainer(const char*, const MeshData* meshData, const Material*,
                                      const EffectInstance*, uint32_t, const uint32_t*,
                                      SkinInfo* skin, MeshContainer** out) override {
    MeshContainer* c = new MeshContainer{};
    c->meshType = meshData->meshType;
    c->mesh = meshData->mesh;
    reinterpret_cast<Unknown*>(c->mesh)->AddRef();
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
    delete c;
    return Ok;
  }
};

void LoadScene(benchmark::State& state, uint32_t format, bool withGrid = true) {
  const std::string& bytes = SceneBytes(format, withGrid);
  Ref<GraphicsDevice> device;
  if (bytes.empty() || Failed(LoadReferenceDevice({}, device.put()))) {
    state.SkipWithError("no component or device");
    return;
  }
  Host host;
  for (auto _ : state) {
    Frame* root = nullptr;
    Ref<AnimationController> controller;
    const LyrResult r =
        LyrLoadMeshHierarchyFromVekInMemory(bytes.data(), static_cast<uint32_t>(bytes.size()), 0,
                                            device.get(), &host, nullptr, &root, controller.put());
    if (Failed(r) || !controller || controller->MaxOutputs() != kFrames) {
      char message[64];
      std::snprintf(message, sizeof message, "load failed: 0x%08X, %u outputs",
                    static_cast<unsigned>(r), controller ? controller->MaxOutputs() : 0u);
      state.SkipWithError(message);
      return;
    }
    controller = Ref<AnimationController>();
    LyrFrameDestroy(root, &host);
  }
  if (withGrid) state.SetItemsProcessed(int64_t(state.iterations()) * kTriangles);
  state.counters["frames"] =
      benchmark::Counter(double(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
  state.counters["file_MB"] = double(bytes.size()) / 1e6;
}

// The same bytes parsed and only the grid given to the mesh data loader (with its skin), for the
// rate of the mesh alone: what the frames, the sets, the controller and the host add is the
// difference. Like every scene load, each run makes its own VekFile with the templates.
LyrResult LoadGridOnly(const std::string& bytes, GraphicsDevice* device) {
  Ref<VekFile> file;
  VekMemorySource src{bytes.data(), bytes.size()};
  Ref<VekEnumeration> e;
  Ref<VekDataObject> root;
  LyrResult r = vekio::CreateVekFileWithTemplates(file.put());
  if (Succeeded(r)) r = file->OpenEnumeration(&src, kVekSourceMemory, e.put());
  if (Succeeded(r)) r = e->NextTopLevelObject(root.put());
  for (; Succeeded(r);) {
    Ref<Unknown> child;
    Ref<VekDataObject> data;
    const Guid* id = nullptr;
    if (Failed(r = root->NextChild(child.put()))) break;
    if (Failed(child->QueryInterface(VekDataObject::kIid, reinterpret_cast<void**>(data.put()))) ||
        Failed(data->ReadTemplateId(&id)) || *id != vekio::tid::kMesh)
      continue;
    Ref<Buffer> adjacency, materials, effects;
    Ref<SkinInfo> skin;
    Ref<Mesh> mesh;
    uint32_t count = 0;
    return LoadMeshData(data.get(), 0, device, adjacency.put(), materials.put(), effects.put(),
                        &count, skin.put(), mesh.put(), nullptr, nullptr, nullptr, nullptr);
  }
  return r;
}

void LoadGrid(benchmark::State& state, uint32_t format) {
  const std::string& bytes = SceneBytes(format);
  Ref<GraphicsDevice> device;
  if (bytes.empty() || Failed(LoadReferenceDevice({}, device.put()))) {
    state.SkipWithError("no component or device");
    return;
  }
  for (auto _ : state) {
    if (Failed(LoadGridOnly(bytes, device.get()))) {
      state.SkipWithError("load failed");
      return;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kTriangles);
}

void BM_HierarchyLoadText(benchmark::State& state) {
  LoadScene(state, kVekFormatText);
}
void BM_HierarchyLoadBinary(benchmark::State& state) {
  LoadScene(state, kVekFormatBinary);
}

// Everything but the grid: the frames, the sets, the controller and the component's set-up.
void BM_HierarchyLoadWithoutGridBinary(benchmark::State& state) {
  LoadScene(state, kVekFormatBinary, false);
}
void BM_HierarchyLoadGridOnlyText(benchmark::State& state) {
  LoadGrid(state, kVekFormatText);
}
void BM_HierarchyLoadGridOnlyBinary(benchmark::State& state) {
  LoadGrid(state, kVekFormatBinary);
}

BENCHMARK(BM_HierarchyLoadText)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_HierarchyLoadBinary)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_HierarchyLoadWithoutGridBinary)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_HierarchyLoadGridOnlyText)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_HierarchyLoadGridOnlyBinary)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
