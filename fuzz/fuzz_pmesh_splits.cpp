// Progressive mesh from arbitrary split records, mispredicts and valence over a refined grid,
// then arbitrary level moves, clones, trims and vertex histories: every call gives a result
// code, never a read or write outside the arrays or an endless walk, and the attribute table
// always adds up to the face count.
#include <cstdint>
#include <cstring>
#include <vector>

#include "../tests/pmesh/pm_grid.h"
#include "mesh/reference_device.h"

namespace {

struct Reader {
  const uint8_t* p;
  size_t n;
  uint32_t Next(uint32_t limit) {
    uint32_t v = 0;
    for (int i = 0; i < 4 && n; ++i, --n) v = v << 8 | *p++;
    return limit ? v % limit : v;
  }
};

lyr::GraphicsDevice* Device() {
  static lyr::GraphicsDevice* device = [] {
    lyr::GraphicsDevice* d = nullptr;
    if (lyr::LoadReferenceDevice({}, &d) != lyr::Ok) __builtin_trap();
    return d;
  }();
  return device;
}

void CheckTable(lyr::ProgressiveMesh* pm) {
  uint32_t n = 0;
  pm->CopyAttributeTable(nullptr, &n);
  std::vector<lyr::AttributeRange> t(n);
  pm->CopyAttributeTable(t.data(), nullptr);
  uint32_t faces = 0;
  for (const auto& e : t) faces += e.faceCount;
  if (faces != pm->GetFaceCount()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader r{data, size};
  lyr::test::PMGridOptions o;
  o.width = r.Next(4) + 1;
  o.height = r.Next(4) + 1;
  o.splits = r.Next(24) + 1;
  o.ranges = r.Next(3) + 1;
  o.seed = r.Next(1000);
  lyr::test::PMGrid grid = lyr::test::BuildPMGrid(o);
  // Overwrite records, mispredicts and the valence from the input.
  for (lyr::VSplitRecord& s : grid.splits) {
    if (r.Next(2) == 0) continue;
    s.faceClw = r.Next(grid.FullFaces() + 3);
    s.vlrOffset = uint16_t(r.Next(10));
    s.code = uint16_t(r.Next(0x10000));
  }
  for (uint16_t& m : grid.mispredicts) m = uint16_t(r.Next(5));
  lyr::PMContents c = lyr::test::ContentsOf(grid);
  c.maxValence = r.Next(12);
  const uint32_t options = lyr::MeshOptions::IndexSystemMemory |
                           lyr::MeshOptions::VertexSystemMemory |
                           (r.Next(2) ? lyr::MeshOptions::Index32 : 0);
  lyr::Ref<lyr::ProgressiveMesh> pm;
  if (lyr::test::MakeGridPM(grid, Device(), options, pm.put(), &c) != lyr::Ok) return 0;
  std::vector<uint32_t> remapF(grid.FullFaces()), remapV(grid.FullVertices());
  for (int step = 0; step < 16 && r.n; ++step) {
    const uint32_t what = r.Next(6), a = r.Next(grid.FullFaces() + 4),
                   b = r.Next(grid.FullVertices() + 4);
    lyr::ProgressiveMesh* p = pm.get();
    switch (what) {
      case 0: p->SetFaceCount(a); break;
      case 1: p->SetVertexCount(b); break;
      case 2: {
        lyr::Ref<lyr::ProgressiveMesh> clone;
        if (p->CloneProgressive(options ^ lyr::MeshOptions::Index32, nullptr, Device(),
                                clone.put()) == lyr::Ok)
          pm = clone;
        break;
      }
      case 3: p->TrimByFaces(a / 2, a, remapF.data(), remapV.data()); break;
      case 4: p->BuildVertexHistory(remapV.data()); break;
      default: p->TrimByVertices(b / 2, b, nullptr, nullptr); break;
    }
    CheckTable(pm.get());
  }
  return 0;
}
