// Progressive mesh from arbitrary information images over a refined grid's base Mesh, then a
// sweep of every level up and down: every image gives a result code, never a read past the
// image or the arrays; an accepted one sweeps without a malformed record.
//
// Input: four bytes choose the grid and the index width; the fifth chooses how the rest is
// used: even, the rest is the image as it stands; odd, the grid's own image patched by
// (word offset, value) pairs and cut to a chosen length, which keeps most images close enough
// to valid to reach the deeper checks.
#include <cstdint>
#include <cstring>
#include <vector>

#include "../tests/pmesh/pm_grid.h"
#include "mesh/reference_device.h"
#include "pmesh/pmesh_file.h"

namespace {

lyr::GraphicsDevice* Device() {
  static lyr::GraphicsDevice* device = [] {
    lyr::GraphicsDevice* d = nullptr;
    if (lyr::LoadReferenceDevice({}, &d) != lyr::Ok) __builtin_trap();
    return d;
  }();
  return device;
}

std::vector<uint32_t> ImageOf(const lyr::test::PMGrid& g) {
  std::vector<uint32_t> w{uint32_t(g.ranges.size())};
  for (const lyr::PMRange& r : g.ranges)
    w.insert(w.end(), {r.faceOffset, r.facesMin, r.facesMax, r.vertexOffset, r.verticesMin,
                       r.verticesMax});
  w.insert(w.end(), {g.maxValence, g.minLogical, g.maxLogical, uint32_t(g.splits.size())});
  for (const lyr::VSplitRecord& s : g.splits) w.insert(w.end(), {s.faceClw, s.vlrOffset, s.code});
  w.push_back(uint32_t(g.mispredicts.size()));
  w.insert(w.end(), g.mispredicts.begin(), g.mispredicts.end());
  return w;
}

uint32_t Word(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  lyr::test::PMGridOptions o;
  o.width = data[0] % 4 + 1;
  o.height = data[1] % 4 + 1;
  o.splits = data[2] % 24;
  o.ranges = data[3] % 3 + 1;
  o.seed = data[3] / 3;
  const bool wide = data[2] & 0x80;
  const bool raw = !(data[4] & 1);
  data += 5;
  size -= 5;
  const lyr::test::PMGrid grid = lyr::test::BuildPMGrid(o);
  std::vector<uint8_t> image;
  if (raw) {
    image.assign(data, data + size);
  } else {
    std::vector<uint32_t> w = ImageOf(grid);
    for (; size >= 8; data += 8, size -= 8) w[Word(data) % w.size()] = Word(data + 4);
    size_t bytes = w.size() * 4;
    if (size >= 2) bytes -= (data[0] | data[1] << 8) % (bytes + 1);
    image.assign(reinterpret_cast<const uint8_t*>(w.data()),
                 reinterpret_cast<const uint8_t*>(w.data()) + bytes);
  }
  const uint32_t options = lyr::MeshOptions::IndexSystemMemory |
                           lyr::MeshOptions::VertexSystemMemory |
                           (wide ? lyr::MeshOptions::Index32 : 0);
  lyr::Ref<lyr::Mesh> base;
  if (lyr::test::MakeGridBase(grid, Device(), options, base.put()) != lyr::Ok) __builtin_trap();
  lyr::Ref<lyr::ProgressiveMesh> pm;
  // An exact-size heap copy (never empty), so that a read past the image is a read past a block.
  std::vector<uint8_t> exact(image.begin(), image.end());
  if (lyr::CreateProgressiveMeshFromData(base.get(), options, grid.baseAdj.data(), exact.data(),
                                         uint32_t(exact.size()), pm.put()) != lyr::Ok)
    return 0;
  // Accepted: every level is reachable without a malformed record.
  for (uint32_t f = pm->GetMinFaceCount(); f <= pm->GetMaxFaceCount(); ++f)
    if (pm->SetFaceCount(f) != lyr::Ok) __builtin_trap();
  if (pm->SetVertexCount(pm->GetMaxVertexCount()) != lyr::Ok) __builtin_trap();
  for (uint32_t f = pm->GetMaxFaceCount() + 1; f-- > pm->GetMinFaceCount();)
    if (pm->SetFaceCount(f) != lyr::Ok) __builtin_trap();
  return 0;
}
