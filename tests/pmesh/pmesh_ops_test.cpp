// The object's operations: interface, clones, plain copies of a level, trimming, optimising the
// base level, save data, and allocation failures in each.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "fault_injection.h"
#include "pm_test_util.h"

namespace lyr::test {
namespace {

namespace MO = MeshOptions;
namespace OF = OptimizeFlags;
constexpr uint32_t kSys = MO::IndexSystemMemory | MO::VertexSystemMemory;
constexpr uint32_t N = 0xFFFFFFFFu;

using Triangle = std::array<float, 9>;

// The current level's faces as sorted position triples (independent of numbering).
template <class M>
std::vector<Triangle> Triangles(M* mesh, const std::vector<uint32_t>& idx) {
  void* vb = nullptr;
  EXPECT_EQ(mesh->LockVertices(kLockReadOnly, &vb), Ok);
  const uint32_t stride = mesh->GetVertexStride() / 4;
  std::vector<Triangle> t;
  for (size_t f = 0; f + 2 < idx.size(); f += 3) {
    std::array<std::array<float, 3>, 3> c;
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 3; ++j) c[k][j] = static_cast<const float*>(vb)[idx[f + k] * stride + j];
    // Rotate so that the smallest corner comes first: the same triangle, any start corner.
    std::rotate(c.begin(), std::min_element(c.begin(), c.end()), c.end());
    Triangle tri;
    for (int k = 0; k < 9; ++k) tri[k] = c[k / 3][k % 3];
    t.push_back(tri);
  }
  mesh->UnlockVertices();
  std::sort(t.begin(), t.end());
  return t;
}

std::vector<uint32_t> MeshIndices(Mesh* m) {
  void* p = nullptr;
  EXPECT_EQ(m->LockIndices(kLockReadOnly, &p), Ok);
  std::vector<uint32_t> idx(size_t(m->GetFaceCount()) * 3);
  for (size_t i = 0; i < idx.size(); ++i)
    idx[i] = (m->GetOptionBits() & MO::Index32) ? static_cast<uint32_t*>(p)[i]
                                                : static_cast<uint16_t*>(p)[i];
  m->UnlockIndices();
  return idx;
}

TEST(PMeshOps, InterfaceLocksAndArguments) {
  GridPM g({3, 3, 20, 1, 1, true});
  ProgressiveMesh* pm = g.pm.get();
  void* p = nullptr;
  for (const Guid* iid : {&kIidUnknown, &BaseMesh::kIid, &ProgressiveMesh::kIid}) {
    ASSERT_EQ(pm->QueryInterface(*iid, &p), Ok);
    EXPECT_EQ(p, static_cast<void*>(pm));
    pm->Release();
  }
  EXPECT_EQ(pm->QueryInterface(Mesh::kIid, &p), ErrNoInterface);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(pm->AddRef(), 2u);
  EXPECT_EQ(pm->Release(), 1u);

  EXPECT_EQ(pm->LockIndices(0, &p), ErrIndexBufferReadOnly);
  EXPECT_EQ(pm->LockIndices(kLockReadOnly, &p), Ok);
  pm->UnlockIndices();
  EXPECT_EQ(pm->GetAdjacency(nullptr), ErrInvalidCall);
  EXPECT_EQ(pm->BuildVertexHistory(nullptr), ErrInvalidCall);
  EXPECT_EQ(pm->TrimByFaces(10, 9, nullptr, nullptr), ErrInvalidCall);
  EXPECT_EQ(pm->TrimByVertices(10, 9, nullptr, nullptr), ErrInvalidCall);
  EXPECT_EQ(pm->OptimizeBaseLevel(OF::AttributeSort, nullptr), ErrInvalidCall);
  Ref<Mesh> m;
  EXPECT_EQ(pm->OptimizeToMesh(MO::Index32, nullptr, nullptr, nullptr, m.put()), ErrInvalidCall);
  EXPECT_EQ(pm->OptimizeToMesh(MO::IndexWriteOnly, nullptr, nullptr, nullptr, m.put()),
            ErrInvalidCall);
  Ref<ProgressiveMesh> c;
  for (FormatCode bad : {0u, 0x3u, 0x4u}) {
    EXPECT_EQ(pm->CloneFromFormatCode(kSys, bad, g.device.get(), m.put()), ErrInvalidCall);
    EXPECT_EQ(pm->CloneProgressiveFromFormatCode(kSys, bad, g.device.get(), c.put()),
              ErrInvalidCall);
  }
  EXPECT_EQ(pm->CloneProgressive(MO::IndexWriteOnly, nullptr, g.device.get(), c.put()),
            ErrInvalidCall);
  VertexElement other[MaxElementEntries];
  ASSERT_EQ(FormatCodeToElements(0x12, other), Ok);
  EXPECT_EQ(pm->CloneProgressive(MO::ShareVertexBuffer, other, g.device.get(), c.put()),
            ErrInvalidCall);
  EXPECT_EQ(pm->CloneWithDeclaration(MO::ShareVertexBuffer, other, g.device.get(), m.put()),
            ErrInvalidCall);
  EXPECT_EQ(pm->SaveToStream(nullptr, nullptr, nullptr, 0), ErrInvalidCall);
  // The trim worker checks what it is told about the maximum level against the object.
  std::vector<AttributeRange> table(1);
  pm->CopyAttributeTable(table.data(), nullptr);
  const uint32_t f = table[0].faceCount, v = table[0].vertexCount;
  EXPECT_EQ(pm->TrimSplits(0, 0, 0, 0, f, v, nullptr, nullptr, nullptr), ErrInvalidCall);
  EXPECT_EQ(pm->TrimSplits(1, 1, 0, 0, f, v, table.data(), nullptr, nullptr), ErrInvalidCall);
  EXPECT_EQ(pm->TrimSplits(0, 99, 0, 0, f, v, table.data(), nullptr, nullptr), ErrInvalidCall);
  EXPECT_EQ(pm->TrimSplits(0, 0, 0, 0, f + 1, v, table.data(), nullptr, nullptr), ErrInvalidCall);

  // 16-bit adjacency reports no neighbour as all ones at 32 bits.
  std::vector<uint32_t> adj(size_t(pm->GetMaxFaceCount()) * 3);
  ASSERT_EQ(pm->GetAdjacency(adj.data()), Ok);
  EXPECT_NE(std::count(adj.begin(), adj.end(), N), 0);
  EXPECT_EQ(std::count(adj.begin(), adj.end(), 0xFFFFu), 0);
}

// Drawing a subset draws the current level's faces and vertices of its range (one range: the
// grid helper lets faces use vertices of other ranges, which a device refuses to draw); a
// failing lock of the index buffer is handed back and the level stays.
TEST(PMeshOps, DrawsTheLevelAndPassesLockFailuresOn) {
  const PMGrid grid = BuildPMGrid({4, 4, 40, 1, 31, true});
  auto counting = MakeRefDevice();
  Ref<ProgressiveMesh> pm;
  ASSERT_EQ(MakeGridPM(grid, counting.get(), kSys, pm.put()), Ok);
  auto control = ControlOf(counting.get());
  ASSERT_EQ(pm->SetFaceCount(pm->GetMinFaceCount() + 25), Ok);
  const LevelShot at = Capture(pm.get());
  control->ClearDrawLog();
  for (const AttributeRange& e : at.table) {
    ASSERT_EQ(pm->DrawAttributeGroup(e.attributeId), Ok);
    RefDrawRecord d{};
    ASSERT_EQ(control->ReadDraw(control->DrawCount() - 1, &d), Ok);
    EXPECT_EQ(d.minVertexIndex, e.firstVertex);
    EXPECT_EQ(d.vertexCount, e.vertexCount);
    EXPECT_EQ(d.firstIndex, e.firstFace * 3);
    EXPECT_EQ(d.primitiveCount, e.faceCount);
  }
  EXPECT_EQ(control->ReadOnlyViolations(), 0u);
  EXPECT_EQ(control->OutstandingLocks(), 0u);

  // The same construction on a device whose first lock after it fails.
  LevelShot base;
  const uint32_t locks = [&] {
    auto probe = MakeRefDevice();
    Ref<ProgressiveMesh> p;
    EXPECT_EQ(MakeGridPM(grid, probe.get(), kSys, p.put()), Ok);
    const uint32_t n = ControlOf(probe.get())->CallCount(kRefCallLock);
    base = Capture(p.get());
    return n;
  }();
  RefDeviceDesc desc;
  desc.failLock = locks + 1;
  auto failing = MakeRefDevice(desc);
  Ref<ProgressiveMesh> f;
  ASSERT_EQ(MakeGridPM(grid, failing.get(), kSys, f.put()), Ok);
  EXPECT_EQ(f->SetFaceCount(N), desc.failureCode);
  EXPECT_EQ(Capture(f.get()), base);
  EXPECT_EQ(ControlOf(failing.get())->OutstandingLocks(), 0u);
}

// Clones share the records but not the level, in either index width, and stay exact after one
// of them rewrites its records.
TEST(PMeshOps, ClonesAreIndependent) {
  GridPM g({5, 4, 60, 2, 3, true});
  ProgressiveMesh* pm = g.pm.get();
  std::vector<LevelShot> levels;
  for (uint32_t v = pm->GetMinVertexCount(); v <= pm->GetMaxVertexCount(); ++v) {
    pm->SetVertexCount(v);
    if (levels.empty() || levels.back().vertices != pm->GetVertexCount())
      levels.push_back(Capture(pm));
  }
  pm->SetVertexCount(levels[levels.size() / 2].vertices);
  Ref<ProgressiveMesh> narrow, wide, converted;
  ASSERT_EQ(pm->CloneProgressive(kSys, nullptr, g.device.get(), narrow.put()), Ok);
  ASSERT_EQ(pm->CloneProgressive(kSys | MO::Index32, nullptr, g.device.get(), wide.put()), Ok);
  ASSERT_EQ(pm->CloneProgressiveFromFormatCode(kSys, 0x12, g.device.get(), converted.put()), Ok);
  EXPECT_EQ(converted->GetVertexStride(), 24u);
  for (ProgressiveMesh* c : {narrow.get(), wide.get(), converted.get()})
    EXPECT_EQ(Capture(c), levels[levels.size() / 2]);
  // One clone rewrites its records (private copy first); the others are untouched.
  ASSERT_EQ(narrow->OptimizeBaseLevel(OF::VertexCache, nullptr), Ok);
  std::mt19937 rng(3);
  for (int i = 0; i < 60; ++i) {
    const size_t k = rng() % levels.size();
    ProgressiveMesh* c = i % 3 == 0 ? pm : i % 3 == 1 ? wide.get() : converted.get();
    ASSERT_EQ(c->SetVertexCount(levels[k].vertices), Ok);
    ASSERT_EQ(Capture(c), levels[k]);
    ASSERT_EQ(narrow->SetVertexCount(levels[k].vertices), Ok);
    EXPECT_EQ(narrow->GetFaceCount(), levels[k].faces);
  }
}

// A plain copy of a level holds exactly that level's triangles, sorted by attribute.
TEST(PMeshOps, CopiesOfALevel) {
  GridPM g({5, 5, 80, 3, 4, true});
  ProgressiveMesh* pm = g.pm.get();
  for (uint32_t faces : {0u, pm->GetMinFaceCount() + 41, N}) {
    pm->SetFaceCount(faces);
    const LevelShot shot = Capture(pm);
    const std::vector<Triangle> want = Triangles(pm, shot.idx);
    Ref<Mesh> plain, wide, optimised;
    ASSERT_EQ(pm->CloneWithDeclaration(kSys, nullptr, g.device.get(), plain.put()), Ok);
    ASSERT_EQ(pm->CloneWithDeclaration(kSys | MO::Index32, nullptr, g.device.get(), wide.put()),
              Ok);
    EXPECT_TRUE(wide->GetOptionBits() & MO::Index32);
    std::vector<uint32_t> adj(size_t(pm->GetMaxFaceCount()) * 3), remap(pm->GetMaxFaceCount());
    ASSERT_EQ(pm->OptimizeToMesh(OF::VertexCache | MO::IndexSystemMemory, adj.data(), remap.data(),
                                 nullptr, optimised.put()),
              Ok);
    for (Mesh* m : {plain.get(), wide.get(), optimised.get()}) {
      EXPECT_EQ(m->GetFaceCount(), shot.faces);
      EXPECT_EQ(Triangles(m, MeshIndices(m)), want);
      uint32_t n = 0;
      m->CopyAttributeTable(nullptr, &n);
      std::vector<AttributeRange> table(n);
      m->CopyAttributeTable(table.data(), nullptr);
      uint32_t at = 0;
      for (const AttributeRange& e : table) {
        EXPECT_EQ(e.firstFace, at);
        at += e.faceCount;
      }
      EXPECT_EQ(at, shot.faces);
    }
    EXPECT_EQ(Capture(pm), shot);
  }
  // The level logic is unaffected by the copies (they clear the unused slots).
  pm->SetFaceCount(N);
  EXPECT_EQ(pm->GetFaceCount(), g.grid.FullFaces());
  std::vector<uint32_t> adj(size_t(pm->GetMaxFaceCount()) * 3);
  pm->GetAdjacency(adj.data());
  EXPECT_EQ(adj, g.grid.fullAdj);
}

// Every level kept by a trim has the same faces as before it, through the remaps.
class Trims : public ::testing::TestWithParam<bool> {};

TEST_P(Trims, KeptLevelsAreIdentical) {
  const bool byVertices = GetParam();
  for (uint32_t options : {kSys, kSys | MO::Index32}) {
    GridPM g({4, 4, 60, 2, 8, true}, options);
    ProgressiveMesh* pm = g.pm.get();
    Ref<ProgressiveMesh> trimmed;
    ASSERT_EQ(pm->CloneProgressive(options, nullptr, g.device.get(), trimmed.put()), Ok);
    std::vector<LevelShot> levels;
    for (uint32_t v = pm->GetMinVertexCount(); v <= pm->GetMaxVertexCount(); ++v) {
      pm->SetVertexCount(v);
      if (levels.empty() || levels.back().vertices != pm->GetVertexCount())
        levels.push_back(Capture(pm));
    }
    const size_t lo = 12, hi = 40;
    const auto count = [&](size_t k) { return byVertices ? levels[k].vertices : levels[k].faces; };
    std::vector<uint32_t> faceRemap(pm->GetMaxFaceCount()), vertexRemap(pm->GetMaxVertexCount());
    trimmed->SetVertexCount(levels[25].vertices);
    const LyrResult r =
        byVertices
            ? trimmed->TrimByVertices(count(lo), count(hi), faceRemap.data(), vertexRemap.data())
            : trimmed->TrimByFaces(count(lo), count(hi), faceRemap.data(), vertexRemap.data());
    ASSERT_EQ(r, Ok);
    EXPECT_EQ(trimmed->GetVertexCount(), levels[25].vertices);  // the level is kept
    EXPECT_EQ(trimmed->GetMinFaceCount(), levels[lo].faces);
    EXPECT_EQ(trimmed->GetMaxFaceCount(), levels[hi].faces);
    EXPECT_EQ(trimmed->GetMinVertexCount(), levels[lo].vertices);
    EXPECT_EQ(trimmed->GetMaxVertexCount(), levels[hi].vertices);
    PMSnapshot s;
    ReadProgressiveSnapshot(trimmed.get(), &s);
    EXPECT_EQ(s.splitCount, hi - lo);
    for (size_t k = lo; k <= hi; ++k) {
      ASSERT_EQ(trimmed->SetVertexCount(levels[k].vertices), Ok);
      const LevelShot t = Capture(trimmed.get());
      ASSERT_EQ(t.faces, levels[k].faces);
      ReadProgressiveSnapshot(trimmed.get(), &s);
      ASSERT_EQ(s.mispredictPosition, MispredictsUsed(s));
      // Face slots of the trimmed level, mapped back, hold the original faces.
      std::vector<uint32_t> mine, theirs;
      size_t i = 0;
      for (const AttributeRange& e : t.table)
        for (uint32_t f = e.firstFace; f < e.firstFace + e.faceCount; ++f, ++i) {
          for (int j = 0; j < 3; ++j) mine.push_back(vertexRemap[t.idx[i * 3 + j]]);
          size_t o = 0;
          for (const AttributeRange& oe : levels[k].table) {
            if (faceRemap[f] >= oe.firstFace && faceRemap[f] < oe.firstFace + oe.faceCount) {
              o += faceRemap[f] - oe.firstFace;
              break;
            }
            o += oe.faceCount;
          }
          for (int j = 0; j < 3; ++j) theirs.push_back(levels[k].idx[o * 3 + j]);
        }
      ASSERT_EQ(mine, theirs) << k;
    }
    // Trimming to the whole range keeps every split and maps every slot to itself.
    Ref<ProgressiveMesh> whole;
    ASSERT_EQ(pm->CloneProgressive(options, nullptr, g.device.get(), whole.put()), Ok);
    ASSERT_EQ(whole->TrimByFaces(0, N, faceRemap.data(), vertexRemap.data()), Ok);
    for (uint32_t f = 0; f < faceRemap.size(); ++f) ASSERT_EQ(faceRemap[f], f);
    for (uint32_t v = 0; v < vertexRemap.size(); ++v) ASSERT_EQ(vertexRemap[v], v);
    ReadProgressiveSnapshot(whole.get(), &s);
    EXPECT_EQ(s.splitCount, g.grid.splits.size());
    whole->SetFaceCount(N);
    EXPECT_EQ(Capture(whole.get()), levels.back());
  }
}

INSTANTIATE_TEST_SUITE_P(ByFacesAndVertices, Trims, ::testing::Bool());

// Reordering the base faces moves only base faces; every level keeps its triangles.
TEST(PMeshOps, OptimisedBaseLevelKeepsEveryLevel) {
  for (uint32_t flags : {OF::VertexCache, OF::StripReorder}) {
    GridPM g({6, 6, 100, 2, 13, true});
    ProgressiveMesh* pm = g.pm.get();
    std::vector<std::vector<Triangle>> before;
    for (uint32_t v = pm->GetMinVertexCount(); v <= pm->GetMaxVertexCount(); v += 7) {
      pm->SetVertexCount(v);
      before.push_back(Triangles(pm, Capture(pm).idx));
    }
    pm->SetVertexCount(pm->GetMinVertexCount() + 30);
    const LevelShot at = Capture(pm);
    std::vector<uint32_t> remap(pm->GetMaxFaceCount());
    ASSERT_EQ(pm->OptimizeBaseLevel(flags, remap.data()), Ok);
    EXPECT_EQ(pm->GetVertexCount(), at.vertices);
    size_t i = 0;
    for (uint32_t v = pm->GetMinVertexCount(); v <= pm->GetMaxVertexCount(); v += 7, ++i) {
      ASSERT_EQ(pm->SetVertexCount(v), Ok);
      ASSERT_EQ(Triangles(pm, Capture(pm).idx), before[i]);
    }
    std::vector<bool> seen(remap.size());
    for (uint32_t f : remap)
      if (f != N) {
        ASSERT_LT(f, remap.size());
        ASSERT_FALSE(seen[f]);
        seen[f] = true;
      }
  }
}

TEST(PMeshOps, VertexHistoryOfPlainSplitsNamesTheSplitVertex) {
  // Plain records add exactly vt per split, at the end of the one range: split k makes vertex
  // minVertices + k, which merges back into the vertex at corner c of face a.
  GridPM g({4, 4, 50, 1, 17, false});
  ProgressiveMesh* pm = g.pm.get();
  std::vector<uint32_t> history(pm->GetMaxVertexCount()), want(pm->GetMaxVertexCount());
  for (uint32_t v = 0; v < pm->GetMinVertexCount(); ++v) want[v] = v;
  for (uint32_t k = 0; k < g.grid.splits.size(); ++k) {
    pm->SetVertexCount(pm->GetMinVertexCount() + k);
    void* p = nullptr;
    pm->LockIndices(kLockReadOnly, &p);
    const VSplitRecord& s = g.grid.splits[k];
    want[pm->GetMinVertexCount() + k] = static_cast<uint16_t*>(p)[s.faceClw * 3 + (s.code & 3)];
    pm->UnlockIndices();
  }
  ASSERT_EQ(pm->BuildVertexHistory(history.data()), Ok);
  EXPECT_EQ(history, want);
  EXPECT_EQ(pm->GetVertexCount(), pm->GetMinVertexCount() + 49);
}

TEST(PMeshOps, SaveDataDescribesTheBaseLevel) {
  // One range: faces of several ranges sharing vertices could not be kept vertex for vertex.
  GridPM g({3, 4, 30, 1, 19, true});
  ProgressiveMesh* pm = g.pm.get();
  pm->SetFaceCount(pm->GetMinFaceCount() + 20);
  const LevelShot at = Capture(pm);
  void* image = nullptr;
  uint32_t bytes = 0;
  uint32_t* adj = nullptr;
  Ref<Mesh> base;
  ASSERT_EQ(pm->BuildSaveData(&image, &bytes, &adj, base.put()), Ok);
  EXPECT_EQ(Capture(pm), at);
  const PMGrid& grid = g.grid;
  std::vector<uint32_t> want{uint32_t(grid.ranges.size())};
  for (const PMRange& r : grid.ranges)
    want.insert(want.end(), {r.faceOffset, r.facesMin, r.facesMax, r.vertexOffset, r.verticesMin,
                             r.verticesMax});
  want.insert(want.end(),
              {grid.maxValence, grid.minLogical, grid.maxLogical, uint32_t(grid.splits.size())});
  for (const VSplitRecord& s : grid.splits)
    want.insert(want.end(), {s.faceClw, s.vlrOffset, s.code});
  want.push_back(uint32_t(grid.mispredicts.size()));
  want.insert(want.end(), grid.mispredicts.begin(), grid.mispredicts.end());
  ASSERT_EQ(bytes, want.size() * 4);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), static_cast<uint32_t*>(image)));
  EXPECT_EQ(base->GetFaceCount(), grid.BaseFaces());
  EXPECT_EQ(base->GetVertexCount(), grid.FullVertices());
  // The compacted base keeps every vertex and the base faces range by range, as they were.
  EXPECT_EQ(MeshIndices(base.get()), grid.baseIdx);
  EXPECT_TRUE(std::equal(grid.baseAdj.begin(), grid.baseAdj.end(), adj));
  Free(image);
  Free(adj);
}

// Allocation failures anywhere in clone, copy, optimise, trim and save data: the result is
// ErrOutOfMemory, nothing leaks, and the object that failed is at the level it was.
TEST(PMeshOps, AllocationFailures) {
  GridPM g({4, 4, 40, 2, 23, true});
  ProgressiveMesh* pm = g.pm.get();
  pm->SetFaceCount(pm->GetMinFaceCount() + 30);
  const LevelShot at = Capture(pm);
  Ref<ProgressiveMesh> clone;
  Ref<Mesh> mesh;
  ForEachAllocationFailure(
      [&] {
        return pm->CloneProgressive(kSys | MO::Index32, nullptr, g.device.get(), clone.put());
      },
      [&](LyrResult) { clone = {}; });
  ForEachAllocationFailure(
      [&] { return pm->CloneWithDeclaration(kSys, nullptr, g.device.get(), mesh.put()); },
      [&](LyrResult) { mesh = {}; });
  std::vector<uint32_t> adj(size_t(pm->GetMaxFaceCount()) * 3);
  ForEachAllocationFailure(
      [&] {
        return pm->OptimizeToMesh(OF::StripReorder, adj.data(), nullptr, nullptr, mesh.put());
      },
      [&](LyrResult) { mesh = {}; });
  EXPECT_EQ(Capture(pm), at);
  // Operations that change the object run on a fresh clone each time.
  const auto onClone = [&](auto&& op) {
    ForEachAllocationFailure(
        [&]() -> LyrResult {
          Ref<ProgressiveMesh> c;
          LyrResult r = pm->CloneProgressive(kSys, nullptr, g.device.get(), c.put());
          if (Failed(r)) return r;
          r = op(c.get());
          if (Failed(r)) {
            EXPECT_EQ(Capture(c.get()), at);
          }
          return r;
        },
        nullptr);
  };
  onClone([](ProgressiveMesh* c) { return c->OptimizeBaseLevel(OF::VertexCache, nullptr); });
  onClone([&](ProgressiveMesh* c) {
    return c->TrimByFaces(c->GetMinFaceCount() + 10, c->GetMaxFaceCount() - 10, nullptr, nullptr);
  });
  onClone([&](ProgressiveMesh* c) {
    return c->TrimByVertices(c->GetMinVertexCount() + 5, c->GetMaxVertexCount(), nullptr, nullptr);
  });
  // Save data (of a one-range mesh, see above).
  GridPM one({4, 3, 30, 1, 29, true});
  one.pm->SetFaceCount(one.pm->GetMinFaceCount() + 9);
  const LevelShot oneAt = Capture(one.pm.get());
  ForEachAllocationFailure(
      [&] {
        void* image = nullptr;
        uint32_t bytes = 0;
        uint32_t* a = nullptr;
        Mesh* base = nullptr;
        LyrResult r = one.pm->BuildSaveData(&image, &bytes, &a, &base);
        Free(image);
        Free(a);
        SafeRelease(base);
        EXPECT_EQ(Capture(one.pm.get()), oneAt);
        return r;
      },
      nullptr);
}

}  // namespace
}  // namespace lyr::test
