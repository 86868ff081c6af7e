// What the progressive-mesh tests compare: the faces, adjacency, table and counts of a level.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mesh/mesh_load.h"
#include "pm_grid.h"
#include "pmesh/pmesh_file.h"
#include "pmesh/split_engine.h"
#include "ref_device.h"
#include "vekio/vek_component.h"

namespace lyr {
inline bool operator==(const AttributeRange& a, const AttributeRange& b) {
  return a.attributeId == b.attributeId && a.firstFace == b.firstFace &&
         a.faceCount == b.faceCount && a.firstVertex == b.firstVertex &&
         a.vertexCount == b.vertexCount;
}
}  // namespace lyr

namespace lyr::test {

struct LevelShot {
  std::vector<uint32_t> idx, adj;  // the faces of the current table's ranges, in table order
  std::vector<AttributeRange> table;
  uint32_t faces = 0, vertices = 0, mispredictPosition = 0, applied = 0;
  bool operator==(const LevelShot&) const = default;
};

inline LevelShot Capture(ProgressiveMesh* pm) {
  LevelShot s;
  uint32_t n = 0;
  pm->CopyAttributeTable(nullptr, &n);
  s.table.resize(n);
  pm->CopyAttributeTable(s.table.data(), nullptr);
  std::vector<uint32_t> adj(size_t(pm->GetMaxFaceCount()) * 3);
  EXPECT_EQ(pm->GetAdjacency(adj.data()), Ok);
  void* p = nullptr;
  EXPECT_EQ(pm->LockIndices(kLockReadOnly, &p), Ok);
  const bool wide = pm->GetOptionBits() & MeshOptions::Index32;
  for (const AttributeRange& e : s.table)
    for (uint32_t f = e.firstFace; f < e.firstFace + e.faceCount; ++f)
      for (int k = 0; k < 3; ++k) {
        const size_t i = size_t(f) * 3 + k;
        const uint32_t v = wide ? static_cast<uint32_t*>(p)[i] : static_cast<uint16_t*>(p)[i];
        s.idx.push_back(!wide && v == 0xFFFF ? 0xFFFFFFFFu : v);
        s.adj.push_back(adj[i]);
      }
  pm->UnlockIndices();
  s.faces = pm->GetFaceCount();
  s.vertices = pm->GetVertexCount();
  PMSnapshot snap;
  EXPECT_TRUE(ReadProgressiveSnapshot(pm, &snap));
  s.mispredictPosition = snap.mispredictPosition;
  s.applied = snap.appliedSplits;
  return s;
}

// Mispredict bits among the first `applied` records.
inline uint32_t MispredictsUsed(const PMSnapshot& s) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < s.appliedSplits; ++i) {
    n += (s.splits[i].code & SplitCode::LeftMispredict) != 0;
    n += s.splits[i].vlrOffset && (s.splits[i].code & SplitCode::RightMispredict);
  }
  return n;
}

// A progressive mesh made from a grid description on a reference device.
struct GridPM {
  PMGrid grid;
  Ref<GraphicsDevice> device = MakeRefDevice();
  Ref<ProgressiveMesh> pm;
  explicit GridPM(const PMGridOptions& o, uint32_t options = MeshOptions::IndexSystemMemory |
                                                             MeshOptions::VertexSystemMemory)
      : grid(BuildPMGrid(o)) {
    EXPECT_EQ(MakeGridPM(grid, device.get(), options, pm.put()), Ok);
  }
};

// Every level from the base up, then every level down again.
inline std::vector<LevelShot> Sweep(ProgressiveMesh* pm) {
  std::vector<LevelShot> shots;
  for (uint32_t f = pm->GetMinFaceCount(); f <= pm->GetMaxFaceCount(); ++f) {
    EXPECT_EQ(pm->SetFaceCount(f), Ok);
    shots.push_back(Capture(pm));
  }
  for (uint32_t f = pm->GetMaxFaceCount(); f-- > pm->GetMinFaceCount();) {
    EXPECT_EQ(pm->SetFaceCount(f), Ok);
    shots.push_back(Capture(pm));
  }
  return shots;
}

// A stream that keeps what it takes, takes at most `limit` bytes of a write and can fail.
// Lives on the test's stack; reference counting is not exercised.
struct MemoryStream final : OutputStream {
  LyrResult LYR_CALL QueryInterface(const Guid&, void** out) override {
    *out = nullptr;
    return ErrNoInterface;
  }
  uint32_t LYR_CALL AddRef() override { return 1; }
  uint32_t LYR_CALL Release() override { return 1; }
  std::string bytes;
  uint32_t limit = 0xFFFFFFFFu, largestChunk = 0;
  LyrResult failWith = Ok;
  LyrResult LYR_CALL Write(const void* p, uint32_t count, uint32_t* written) override {
    largestChunk = std::max(largestChunk, count);
    if (Failed(failWith)) return failWith;
    *written = std::min(count, limit);
    bytes.append(static_cast<const char*>(p), *written);
    return Ok;
  }
};

// Loads the first Mesh of a Vek file in memory and turns it back into a progressive mesh.
inline LyrResult LoadProgressive(const std::string& bytes, GraphicsDevice* device,
                                 ProgressiveMesh** out) {
  Ref<VekFile> file;
  LyrResult r = vekio::CreateVekFileWithTemplates(file.put());
  if (Failed(r)) return r;
  VekMemorySource source{bytes.data(), bytes.size()};
  Ref<VekEnumeration> e;
  Ref<VekDataObject> object;
  if (Failed(r = file->OpenEnumeration(&source, kVekSourceMemory, e.put())) ||
      Failed(r = e->NextTopLevelObject(object.put())))
    return r;
  Ref<Mesh> base;
  Ref<Buffer> adjacency;
  void* image = nullptr;
  uint32_t imageBytes = 0;
  r = LoadMeshData(object.get(), 0, device, adjacency.put(), nullptr, nullptr, nullptr, nullptr,
                   base.put(), &image, &imageBytes, nullptr, nullptr);
  if (Succeeded(r))
    r = CreateProgressiveMeshFromData(
        base.get(),
        MeshOptions::IndexSystemMemory | MeshOptions::VertexSystemMemory |
            (base->GetOptionBits() & MeshOptions::Index32),
        static_cast<const uint32_t*>(adjacency->GetBytes()), image, imageBytes, out);
  Free(image);
  return r;
}

}  // namespace lyr::test
