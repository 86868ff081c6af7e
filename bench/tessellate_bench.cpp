// The teapot's 32 bicubic patches tessellated at level 32 with derivative normals, uniformly
// and by distance, in output vertices per second. Each call writes into one Mesh made
// beforehand; the PatchMesh's working memory has grown on the first call.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "core/object_impl.h"
#include "lyr/patch.h"
#include "mesh/reference_device.h"
#include "patch/patch_impl.h"

namespace {

using namespace lyr;

struct Teapot {
  Ref<GraphicsDevice> device;
  Ref<PatchMesh> patches;
  bool ok = false;

  Teapot() {
    std::ifstream in(std::string(LYR_SHARED_DATA_DIR) + "/patches/teapot_32patches.txt");
    std::vector<uint16_t> indices;
    std::vector<float> positions;
    std::string word;
    while (in >> word) {
      size_t n = 0;
      if (word == "patches") {
        in >> n;
        indices.resize(n * 16);
        for (uint16_t& i : indices) in >> i;
      } else if (word == "vertices") {
        in >> n;
        positions.resize(n * 3);
        for (float& f : positions) in >> f;
      } else {
        std::getline(in, word);
      }
    }
    if (indices.empty() || positions.empty()) return;
    const VertexElement decl[] = {
        {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0},
        {0, 0, ElementType::F32x3, ElementMethod::CrossUV, ElementUsage::Normal, 0},
        kEndElement};
    const PatchInfo info{kPatchRectangle, kPatchCubic, kPatchBezier};
    if (Failed(LoadReferenceDevice({}, device.put())) ||
        Failed(CreatePatchMesh(&info, uint32_t(indices.size() / 16), uint32_t(positions.size() / 3),
                               0, decl, device.get(), patches.put())))
      return;
    void* p = nullptr;
    if (Failed(patches->LockVertices(0, &p))) return;
    std::memcpy(p, positions.data(), positions.size() * sizeof(float));
    patches->UnlockVertices();
    if (Failed(patches->LockIndices(0, &p))) return;
    std::memcpy(p, indices.data(), indices.size() * 2);
    patches->UnlockIndices();
    ok = true;
  }
};

Teapot& Shared() {
  static Teapot t;
  return t;
}

void Run(benchmark::State& state, bool adaptive) {
  Teapot& t = Shared();
  if (!t.ok) {
    state.SkipWithError("teapot data or reference device missing");
    return;
  }
  uint32_t faces = 0, vertices = 0;
  t.patches->TessellatedSize(32, adaptive, &faces, &vertices);
  Ref<Mesh> out;
  if (Failed(CreateMesh(
          faces, vertices,
          MeshOptions::Index32 | MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory,
          GetPatchMeshInternal(t.patches.get())->TessellationLayout(), t.device.get(),
          out.put()))) {
    state.SkipWithError("output mesh");
    return;
  }
  // Seen along x from a distance where the levels run from 32 down to about 8.
  const Vector4 view{0.5f, 0.0f, 0.0f, 2.0f};
  uint64_t written = 0;
  for (auto _ : state) {
    const LyrResult r = adaptive ? t.patches->TessellateByDistance(&view, 32, 1, out.get())
                                 : t.patches->TessellateUniform(32, out.get());
    if (Failed(r)) {
      state.SkipWithError("tessellation failed");
      return;
    }
    AttributeRange entry{};
    uint32_t n = 1;
    out->CopyAttributeTable(&entry, &n);
    written += entry.vertexCount;
  }
  state.SetItemsProcessed(static_cast<int64_t>(written));
  state.counters["vertices"] = double(written) / double(state.iterations());
}

void BM_TessellateTeapotUniform32(benchmark::State& state) {
  Run(state, false);
}
void BM_TessellateTeapotByDistance32(benchmark::State& state) {
  Run(state, true);
}

BENCHMARK(BM_TessellateTeapotUniform32)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TessellateTeapotByDistance32)->Unit(benchmark::kMicrosecond);

}  // namespace
