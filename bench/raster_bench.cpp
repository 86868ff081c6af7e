// The reference device's rasterizer on a preview-sized load: one million lit triangles, a grid
// filling a 1280x720 target (each triangle about a pixel), drawn by one indexed call per frame.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "core/object_impl.h"
#include "mesh/reference_device.h"

namespace lyr {
namespace {

struct GridVertex {
  float x, y, z, nx, ny, nz;
};

void BM_RasterMillionTriangles(benchmark::State& state) {
  constexpr uint32_t kW = 1000, kH = 500;  // quads: 2 * 1000 * 500 = 1,000,000 triangles
  Ref<GraphicsDevice> device;
  if (LoadReferenceDevice({}, device.put()) != Ok) {
    state.SkipWithError("the reference device module is missing");
    return;
  }
  void* p = nullptr;
  device->QueryInterface(RefDeviceControl::kIid, &p);
  Ref<RefDeviceControl> control(static_cast<RefDeviceControl*>(p));
  control->SetRenderTarget(1280, 720);

  std::vector<GridVertex> v;
  for (uint32_t j = 0; j <= kH; ++j)
    for (uint32_t i = 0; i <= kW; ++i) {
      const float x = -1.0f + 2.0f * i / kW, y = 1.0f - 2.0f * j / kH;
      v.push_back({x, y, 0.5f + 0.25f * x * y, 0.3f * x, 0.3f * y, -1});
    }
  std::vector<uint32_t> idx;
  for (uint32_t j = 0; j < kH; ++j)
    for (uint32_t i = 0; i < kW; ++i) {
      const uint32_t a = j * (kW + 1) + i, b = a + 1, c = a + kW + 1, d = c + 1;
      for (uint32_t k : {a, b, c, c, b, d}) idx.push_back(k);
    }
  const uint32_t vbytes = static_cast<uint32_t>(v.size() * sizeof(GridVertex));
  const uint32_t ibytes = static_cast<uint32_t>(idx.size() * 4);
  Ref<VertexBuffer> vb;
  Ref<IndexBuffer> ib;
  device->MakeVertexBuffer(vbytes, 0, kFormatPosition | kFormatNormal, kPoolManaged, vb.put(),
                           nullptr);
  device->MakeIndexBuffer(ibytes, 0, kIndexFormat32, kPoolManaged, ib.put(), nullptr);
  vb->LockBuffer(0, 0, &p, 0);
  std::memcpy(p, v.data(), vbytes);
  vb->UnlockBuffer();
  ib->LockBuffer(0, 0, &p, 0);
  std::memcpy(p, idx.data(), ibytes);
  ib->UnlockBuffer();
  VertexElement d[MaxElementEntries];
  FormatCodeToElements(kFormatPosition | kFormatNormal, d);
  Ref<DeclarationObject> decl;
  device->MakeDeclarationObject(d, decl.put());
  device->BindDeclaration(decl.get());
  device->BindVertexStream(0, vb.get(), 0, sizeof(GridVertex));
  device->BindIndexBuffer(ib.get());
  const RefLight light = {{0, 0, 1}, {0.8f, 0.8f, 0.8f, 1}, {0.2f, 0.2f, 0.2f, 1}, 1};
  control->SetLight(&light);

  const uint32_t triangles = 2 * kW * kH;
  for (auto _ : state) {
    control->Clear(0xFF000000u, 1.0f);
    if (device->DrawIndexedTriangles(kTriangleList, 0, 0, static_cast<uint32_t>(v.size()), 0,
                                     triangles) != Ok) {
      state.SkipWithError("draw refused");
      return;
    }
    control->ClearDrawLog();
  }
  state.SetItemsProcessed(state.iterations() * triangles);
}
BENCHMARK(BM_RasterMillionTriangles)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lyr
