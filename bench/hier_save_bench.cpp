// The hierarchy saver on the loader's benchmark scene: 100 frames, one 100k-triangle skinned mesh
// with normals and texture coordinates on 100 bones, and two animation sets of 100 animated
// frames each, saved to a file in text and in binary. Bytes are the file's.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "lyr/hierarchy_save.h"
#include "lyr/skin.h"
#include "mesh/reference_device.h"
#include "platform/platform.h"

namespace {

using namespace lyr;

constexpr uint32_t kGrid = 224;  // 2 x 224 x 224 = 100,352 triangles
constexpr uint32_t kFrames = 100, kKeys = 30;

struct Scene {
  Ref<GraphicsDevice> device;
  Ref<Mesh> mesh;
  Ref<SkinInfo> skin;
  Ref<AnimationController> controller;
  std::deque<Frame> frames;
  std::deque<std::string> names;
  MeshContainer container{};
  char path[1024] = {};
  bool ok = false;

  Scene() {
    char dir[512];
    if (!platform::TempDirectory(dir, sizeof dir) ||
        !platform::MakeTempFile(dir, "hsb", path, sizeof path) ||
        Failed(LoadReferenceDevice({}, device.put())))
      return;
    const uint32_t vertices = (kGrid + 1) * (kGrid + 1), faces = 2 * kGrid * kGrid;
    if (Failed(CreateMeshFromFormatCode(
            faces, vertices,
            MeshOptions::Index32 | MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory,
            kFormatPosition | kFormatNormal | FormatTexCount(1), device.get(), mesh.put())))
      return;
    void* p = nullptr;
    if (Failed(mesh->LockVertices(0, &p))) return;
    float* v = static_cast<float*>(p);
    for (uint32_t y = 0; y <= kGrid; ++y)
      for (uint32_t x = 0; x <= kGrid; ++x, v += 8) {
        const float h = std::sin(x * 0.05f) * std::cos(y * 0.03f);
        const float vertex[8] = {x * 0.1f,         y * 0.1f,        h, 0, 0, 1,
                                 x / float(kGrid), y / float(kGrid)};
        std::memcpy(v, vertex, sizeof vertex);
      }
    mesh->UnlockVertices();
    if (Failed(mesh->LockIndices(0, &p))) return;
    uint32_t* i = static_cast<uint32_t*>(p);
    for (uint32_t y = 0; y < kGrid; ++y)
      for (uint32_t x = 0; x < kGrid; ++x, i += 6) {
        const uint32_t a = y * (kGrid + 1) + x, b = a + 1, d = a + kGrid + 1, e = d + 1;
        const uint32_t two[6] = {a, b, d, d, b, e};
        std::memcpy(i, two, sizeof two);
      }
    mesh->UnlockIndices();

    // Frame k animates bone k: rows of the grid in bands of ten frames.
    VertexElement decl[MaxElementEntries];
    if (Failed(mesh->CopyDeclaration(decl)) ||
        Failed(CreateSkinInfo(vertices, decl, kFrames, skin.put())))
      return;
    std::vector<std::vector<uint32_t>> influenced(kFrames);
    for (uint32_t k = 0; k < vertices; ++k)
      influenced[(k / (kGrid + 1)) * kFrames / (kGrid + 1)].push_back(k);
    for (uint32_t b = 0; b < kFrames; ++b) {
      names.push_back("bone" + std::to_string(b));
      std::vector<float> weights(influenced[b].size(), 1.0f);
      if (Failed(skin->SetBoneWeights(b, uint32_t(weights.size()), influenced[b].data(),
                                      weights.data())) ||
          Failed(skin->SetBoneLabel(b, names.back().c_str())))
        return;
      Frame f{};
      f.name = names.back().data();
      for (int d = 0; d < 4; ++d) f.matrix.m[d][d] = 1;
      frames.push_back(f);
      if (b > 0) {
        // Ten chains of ten frames under the first frame of each chain.
        Frame* parent = b % 10 ? &frames[b - 1] : &frames[0];
        if (b % 10 == 0 && b > 0) {
          Frame* last = &frames[0];
          while (last->nextSibling) last = last->nextSibling;
          last->nextSibling = &frames.back();
        } else {
          parent->firstChild = &frames.back();
        }
      }
    }
    container.name = names.front().data();
    container.meshType = MeshTypeMesh;
    container.mesh = mesh.get();
    container.skinInfo = skin.get();
    frames[0].meshContainers = &container;

    if (Failed(LyrCreateAnimationController(kFrames, 2, 1, 1, controller.put()))) return;
    for (int s = 0; s < 2; ++s) {
      std::vector<Ref<KeyFrameInterpolator>> items;
      std::vector<KeyFrameInterpolator*> raw;
      for (uint32_t b = 0; b < kFrames; ++b) {
        std::vector<VectorKey> t(kKeys);
        std::vector<RotationKey> r(kKeys);
        for (uint32_t k = 0; k < kKeys; ++k) {
          const float a = 0.1f * k + b + s;
          t[k] = {160.0f * k, {a, 0, -a}};
          r[k] = {160.0f * k, {std::sin(a), 0, 0, std::cos(a)}};
        }
        KeyFrameInterpolator* kf = nullptr;
        if (Failed(LyrCreateKeyFrameInterpolator(names[b].c_str(), t.data(), kKeys, r.data(), kKeys,
                                                 t.data(), kKeys, 4800, &kf)))
          return;
        items.emplace_back(kf);
        raw.push_back(kf);
      }
      Ref<AnimationSet> set;
      if (Failed(LyrCreateAnimationSet(s ? "run" : "walk", raw.data(), kFrames, set.put())) ||
          Failed(controller->RegisterSet(set.get())))
        return;
    }
    ok = true;
  }
  ~Scene() {
    if (path[0]) platform::DeleteFile(path);
  }
};

Scene& Shared() {
  static Scene s;
  return s;
}

void HierarchySave(benchmark::State& state, uint32_t format) {
  Scene& s = Shared();
  if (!s.ok) {
    state.SkipWithError("no device, scene or temporary file");
    return;
  }
  uint64_t bytes = 0, size = 0;
  for (auto _ : state) {
    if (Failed(LyrSaveMeshHierarchyToFileA(s.path, format, &s.frames[0], s.controller.get(),
                                           nullptr))) {
      state.SkipWithError("save failed");
      return;
    }
    platform::FileSize(s.path, &size);
    bytes += size;
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["file_MB"] = static_cast<double>(size) / 1e6;
  state.counters["triangles/s"] = benchmark::Counter(
      double(2 * kGrid * kGrid) * double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["frames/s"] =
      benchmark::Counter(double(kFrames) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_HierarchySaveText(benchmark::State& state) {
  HierarchySave(state, kVekFormatText);
}
void BM_HierarchySaveBinary(benchmark::State& state) {
  HierarchySave(state, kVekFormatBinary);
}

}  // namespace

BENCHMARK(BM_HierarchySaveText)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(5)->Repetitions(3);
BENCHMARK(BM_HierarchySaveBinary)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(5)->Repetitions(3);
