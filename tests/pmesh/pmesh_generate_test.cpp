// Generated progressive meshes: the full level is the input, every level is a sound surface
// (indices in range, adjacency symmetric and matching edges, no face turned over), boundaries
// and seams never change, and sweeping down and up gives the same levels.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <set>

#include "../../bench/mesh_data.h"
#include "fault_injection.h"
#include "pm_test_util.h"
#include "pmesh/generate.h"

namespace lyr::test {
namespace {

constexpr uint32_t kSys = MeshOptions::IndexSystemMemory | MeshOptions::VertexSystemMemory;
constexpr FormatCode kPNT = kFormatPosition | kFormatNormal | (1u << kFormatTexCountShift);

struct Input {
  std::vector<float> pos, nrm, uv;
  std::vector<uint32_t> idx, attr;
  bool wantAdjFromPositions = false;  // adjacency through coinciding positions (seams)
  enum Check { kUpZ, kOutward, kNoFacing } check = kUpZ;
  uint32_t Faces() const { return uint32_t(idx.size() / 3); }
  uint32_t Vertices() const { return uint32_t(pos.size() / 3); }
};

// A w x h grid in the z = 0 plane with jittered interior points; ids by column half; with
// seam, the vertices of the middle column are doubled (other texture coordinates).
Input Grid(uint32_t w, uint32_t h, uint32_t seed, bool twoIds, bool seam) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> jit(-0.3f, 0.3f);
  Input in;
  auto vert = [&](float x, float y, float u) {
    in.pos.insert(in.pos.end(), {x, y, 0});
    in.nrm.insert(in.nrm.end(), {0, 0, 1});
    in.uv.insert(in.uv.end(), {u, y / float(h)});
  };
  std::vector<uint32_t> id((w + 1) * (h + 1)), twin((w + 1) * (h + 1), 0);
  for (uint32_t y = 0; y <= h; ++y)
    for (uint32_t x = 0; x <= w; ++x) {
      const bool inner = x > 0 && x < w && y > 0 && y < h;
      const float fx = float(x) + (inner ? jit(rng) : 0), fy = float(y) + (inner ? jit(rng) : 0);
      id[y * (w + 1) + x] = in.Vertices();
      vert(fx, fy, float(x) / float(w));
      if (seam && x == w / 2) {
        twin[y * (w + 1) + x] = in.Vertices();
        vert(fx, fy, 2.0f);
      }
    }
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      auto v = [&](uint32_t xx, uint32_t yy) {
        const uint32_t k = yy * (w + 1) + xx;
        return seam && xx == w / 2 && x >= w / 2 ? twin[k] : id[k];
      };
      const uint32_t a = v(x, y), b = v(x + 1, y), c = v(x, y + 1), d = v(x + 1, y + 1);
      in.idx.insert(in.idx.end(), {a, b, c, c, b, d});
      const uint32_t at = twoIds && x >= w / 2 ? 1 : 0;
      in.attr.insert(in.attr.end(), {at, at});
    }
  in.wantAdjFromPositions = seam;
  return in;
}

// A closed sphere: an octahedron split `levels` times, pushed out by random radii.
Input Sphere(uint32_t levels, uint32_t seed, float noise) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> r(1.0f - noise, 1.0f + noise);
  Input in;
  in.pos = {1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1};
  in.idx = {0, 2, 4, 2, 1, 4, 1, 3, 4, 3, 0, 4, 2, 0, 5, 1, 2, 5, 3, 1, 5, 0, 3, 5};
  for (uint32_t l = 0; l < levels; ++l) {
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> mid;
    auto m = [&](uint32_t a, uint32_t b) {
      auto key = std::minmax(a, b);
      auto it = mid.find(key);
      if (it != mid.end()) return it->second;
      float p[3];
      float len = 0;
      for (int c = 0; c < 3; ++c) {
        p[c] = in.pos[a * 3 + c] + in.pos[b * 3 + c];
        len += p[c] * p[c];
      }
      for (int c = 0; c < 3; ++c) in.pos.push_back(p[c] / std::sqrt(len));
      return mid[key] = in.Vertices() - 1;
    };
    std::vector<uint32_t> next;
    for (size_t f = 0; f < in.idx.size(); f += 3) {
      const uint32_t a = in.idx[f], b = in.idx[f + 1], c = in.idx[f + 2];
      const uint32_t ab = m(a, b), bc = m(b, c), ca = m(c, a);
      next.insert(next.end(), {a, ab, ca, ab, b, bc, ca, bc, c, ab, bc, ca});
    }
    in.idx = next;
  }
  for (uint32_t v = 0; v < in.Vertices(); ++v) {
    const float s = r(rng);
    for (int c = 0; c < 3; ++c) {
      in.pos[v * 3 + c] *= s;
      in.nrm.push_back(in.pos[v * 3 + c]);
    }
    in.uv.insert(in.uv.end(), {in.pos[v * 3], in.pos[v * 3 + 1]});
  }
  in.attr.assign(in.Faces(), 0);
  in.check = Input::kOutward;
  return in;
}

// A flat disc: a hub joined to `spokes` points on the first of `rings` jittered rings, so the
// hub's fan is `spokes` faces long.
Input Wheel(uint32_t spokes, uint32_t rings, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> jit(-0.2f, 0.2f);
  Input in;
  const auto vert = [&](float x, float y) {
    in.pos.insert(in.pos.end(), {x, y, 0});
    in.nrm.insert(in.nrm.end(), {0, 0, 1});
    in.uv.insert(in.uv.end(), {x, y});
  };
  vert(0, 0);
  for (uint32_t r = 1; r <= rings; ++r)
    for (uint32_t j = 0; j < spokes; ++j) {
      const float a = 6.2831853f * float(j) / float(spokes);
      const float radius = float(r) + (r < rings ? jit(rng) : 0.0f);
      vert(radius * std::cos(a), radius * std::sin(a));
    }
  const auto at = [&](uint32_t r, uint32_t j) { return 1 + (r - 1) * spokes + j % spokes; };
  for (uint32_t j = 0; j < spokes; ++j) in.idx.insert(in.idx.end(), {0, at(1, j), at(1, j + 1)});
  for (uint32_t r = 1; r < rings; ++r)
    for (uint32_t j = 0; j < spokes; ++j)
      in.idx.insert(in.idx.end(), {at(r, j), at(r + 1, j), at(r + 1, j + 1), at(r, j),
                                   at(r + 1, j + 1), at(r, j + 1)});
  in.attr.assign(in.Faces(), 0);
  return in;
}

// Two grids that meet in one vertex only (a pinched fan there), plus a stray vertex no face uses.
Input Bowtie() {
  Input in = Grid(6, 6, 21, false, false);
  const Input b = Grid(6, 6, 22, false, false);
  const uint32_t shift = in.Vertices(), corner = 6 * 7 + 6;  // the first grid's far corner
  in.pos.insert(in.pos.end(), b.pos.begin(), b.pos.end());
  for (size_t i = shift * 3; i < in.pos.size(); i += 3) {
    in.pos[i] += 6;
    in.pos[i + 1] += 6;
  }
  in.nrm.insert(in.nrm.end(), b.nrm.begin(), b.nrm.end());
  in.uv.insert(in.uv.end(), b.uv.begin(), b.uv.end());
  for (uint32_t v : b.idx) in.idx.push_back(v == 0 ? corner : v + shift);
  in.attr.insert(in.attr.end(), b.attr.begin(), b.attr.end());
  in.pos.insert(in.pos.end(), {50, 50, 0});
  in.nrm.insert(in.nrm.end(), {0, 0, 1});
  in.uv.insert(in.uv.end(), {0, 0});
  return in;
}

Ref<Mesh> MakeMesh(const Input& in, GraphicsDevice* dev, uint32_t options) {
  Ref<Mesh> m;
  EXPECT_EQ(CreateMeshFromFormatCode(in.Faces(), in.Vertices(), options | kSys, kPNT, dev, m.put()),
            Ok);
  void* p = nullptr;
  EXPECT_EQ(m->LockIndices(0, &p), Ok);
  for (size_t i = 0; i < in.idx.size(); ++i) {
    if (options & MeshOptions::Index32)
      static_cast<uint32_t*>(p)[i] = in.idx[i];
    else
      static_cast<uint16_t*>(p)[i] = uint16_t(in.idx[i]);
  }
  m->UnlockIndices();
  EXPECT_EQ(m->LockVertices(0, &p), Ok);
  float* v = static_cast<float*>(p);
  for (uint32_t i = 0; i < in.Vertices(); ++i, v += 8) {
    std::copy_n(&in.pos[i * 3], 3, v);
    std::copy_n(&in.nrm[i * 3], 3, v + 3);
    std::copy_n(&in.uv[i * 2], 2, v + 6);
  }
  m->UnlockVertices();
  uint32_t* ids = nullptr;
  EXPECT_EQ(m->LockAttributeIds(0, &ids), Ok);
  std::copy(in.attr.begin(), in.attr.end(), ids);
  m->UnlockAttributeIds();
  return m;
}

std::vector<uint32_t> AdjacencyOf(const Input& in, Mesh* m) {
  std::vector<uint32_t> adj(in.idx.size());
  if (in.wantAdjFromPositions)
    EXPECT_EQ(m->BuildAdjacency(0.0f, adj.data()), Ok);
  else
    EXPECT_EQ(m->AdjacencyFromPointReps(nullptr, adj.data()), Ok);
  return adj;
}

// A level as the generator's caller sees it: faces by slot with their corners and neighbours.
struct Level {
  std::vector<uint32_t> slots, idx, adj;
};
Level Read(ProgressiveMesh* pm) {
  Level l;
  const uint32_t n = pm->GetMaxFaceCount();
  std::vector<uint32_t> adj(size_t(n) * 3);
  EXPECT_EQ(pm->GetAdjacency(adj.data()), Ok);
  uint32_t t = 0;
  pm->CopyAttributeTable(nullptr, &t);
  std::vector<AttributeRange> table(t);
  pm->CopyAttributeTable(table.data(), nullptr);
  void* p = nullptr;
  EXPECT_EQ(pm->LockIndices(kLockReadOnly, &p), Ok);
  const bool wide = pm->GetOptionBits() & MeshOptions::Index32;
  for (const AttributeRange& e : table)
    for (uint32_t f = e.firstFace; f < e.firstFace + e.faceCount; ++f) {
      l.slots.push_back(f);
      for (int k = 0; k < 3; ++k) {
        const size_t i = size_t(f) * 3 + k;
        l.idx.push_back(wide ? static_cast<uint32_t*>(p)[i] : static_cast<uint16_t*>(p)[i]);
        l.adj.push_back(adj[i]);
      }
    }
  pm->UnlockIndices();
  return l;
}

// Checks one level; returns its set of "fixed edges" (boundary or seam edges, as position-slot
// pairs) so that callers can compare levels.
std::set<std::pair<uint32_t, uint32_t>> CheckLevel(const Input& in, const Level& l,
                                                   const std::vector<uint32_t>& vmap,
                                                   uint32_t maxVertices) {
  std::set<std::pair<uint32_t, uint32_t>> fixed;
  std::map<uint32_t, size_t> row;
  for (size_t i = 0; i < l.slots.size(); ++i) row[l.slots[i]] = i;
  auto P = [&](uint32_t v, int c) { return in.pos[size_t(vmap[v]) * 3 + c]; };
  for (size_t i = 0; i < l.slots.size(); ++i) {
    const uint32_t* t = &l.idx[i * 3];
    for (int k = 0; k < 3; ++k) EXPECT_LT(t[k], maxVertices);
    if (::testing::Test::HasFailure()) return fixed;
    for (int k = 0; k < 3; ++k) {
      const uint32_t g = l.adj[i * 3 + k];
      const uint32_t a = t[k], b = t[(k + 1) % 3];
      if (g == 0xFFFFFFFFu) {
        fixed.insert({a, b});
        continue;
      }
      if (!row.count(g)) {
        ADD_FAILURE() << "neighbour outside the level";
        return fixed;
      }
      const size_t j = row[g];
      int back = -1;
      for (int e = 0; e < 3; ++e)
        if (l.adj[j * 3 + e] == l.slots[i]) back = e;
      if (back < 0) {
        ADD_FAILURE() << "adjacency not symmetric";
        return fixed;
      }
      const uint32_t c = l.idx[j * 3 + back], d = l.idx[j * 3 + (back + 1) % 3];
      for (int q = 0; q < 3; ++q) {
        EXPECT_EQ(P(c, q), P(b, q));
        EXPECT_EQ(P(d, q), P(a, q));
      }
      if (c != b || d != a) fixed.insert({a, b});
    }
    double u[3], v[3], n[3], ctr[3];
    for (int q = 0; q < 3; ++q) {
      u[q] = P(t[1], q) - P(t[0], q);
      v[q] = P(t[2], q) - P(t[0], q);
      ctr[q] = P(t[0], q) + P(t[1], q) + P(t[2], q);
    }
    n[0] = u[1] * v[2] - u[2] * v[1];
    n[1] = u[2] * v[0] - u[0] * v[2];
    n[2] = u[0] * v[1] - u[1] * v[0];
    const double facing =
        in.check == Input::kUpZ ? n[2] : n[0] * ctr[0] + n[1] * ctr[1] + n[2] * ctr[2];
    if (in.check != Input::kNoFacing) {
      EXPECT_GT(facing, 0.0) << "face turned over at slot " << l.slots[i];
    }
  }
  return fixed;
}

// Kinds of record a case must produce: boundary moves (one-face splits), seam moves (a second
// new vertex) and attribute mispredicts.
enum : uint32_t { kOneFace = 1, kSeamSplit = 2, kMispredict = 4 };

struct GenCase {
  const char* name;
  Input (*make)();
  uint32_t options;
  PMeshGenerateOptions gen;
  uint32_t records;  // kinds of record expected
  CollapseOrder order = {};
};

// Regions far smaller than GeneratePMesh picks, so that small meshes take many rounds, and
// compaction at every halving.
constexpr CollapseOrder kRegions{4, 0.1, 0};
// The same in parts that work side by side: regions of 8 points, so that small meshes have
// enough of them for every part.
constexpr CollapseOrder kParts2{3, 0.1, 0, 2}, kParts3{3, 0.1, 0, 3};

uint32_t SplitCount(ProgressiveMesh* pm) {
  PMSnapshot s;
  EXPECT_TRUE(ReadProgressiveSnapshot(pm, &s));
  return s.splitCount;
}

uint32_t RecordKinds(ProgressiveMesh* pm) {
  PMSnapshot s;
  EXPECT_TRUE(ReadProgressiveSnapshot(pm, &s));
  uint32_t kinds = 0;
  for (uint32_t i = 0; i < s.splitCount; ++i) {
    const VSplitRecord& r = s.splits[i];
    if (!r.vlrOffset) kinds |= kOneFace;
    if (r.vlrOffset && (r.code & SplitCode::RightFromNear)) kinds |= kSeamSplit;
    if (r.code & (SplitCode::LeftMispredict | SplitCode::RightMispredict)) kinds |= kMispredict;
  }
  return kinds;
}

class Generate : public ::testing::TestWithParam<GenCase> {};

TEST_P(Generate, FullLevelIsTheInputAndEveryLevelIsSound) {
  const GenCase& gc = GetParam();
  const Input in = gc.make();
  Ref<GraphicsDevice> dev = MakeRefDevice();
  Ref<Mesh> mesh = MakeMesh(in, dev.get(), gc.options);
  const std::vector<uint32_t> adj = AdjacencyOf(in, mesh.get());
  Ref<ProgressiveMesh> pm;
  std::vector<uint32_t> fmap(in.Faces()), vmap(in.Vertices());
  GenerateReport did;
  ASSERT_EQ(GeneratePMeshInOrder(mesh.get(), adj.data(), gc.gen, gc.order, pm.put(), fmap.data(),
                                 vmap.data(), &did),
            Ok);
  // Every collapse is within its round's bound; the parts do some of the work, and the hub's fan
  // longer than a part's worker takes is put off.
  EXPECT_EQ(did.overBound, 0u);
  EXPECT_EQ(did.collapses, SplitCount(pm.get()));
  if (gc.order.parts > 1) {
    EXPECT_GT(did.inParts, 0u);
  }
  if (std::string(gc.name) == "wheel_parts") {
    EXPECT_GT(did.putOff, 0u);
  }
  EXPECT_LT(pm->GetMinFaceCount(), in.Faces() / 2) << "hardly simplified";
  EXPECT_GE(pm->GetMinFaceCount(), gc.gen.minFaces);
  EXPECT_EQ(pm->GetMaxFaceCount(), in.Faces());
  EXPECT_EQ(RecordKinds(pm.get()), gc.records);

  // The full level: the input's faces (rotation aside), neighbours and vertex data.
  ASSERT_EQ(pm->SetFaceCount(in.Faces()), Ok);
  const Level full = Read(pm.get());
  ASSERT_EQ(full.slots.size(), in.Faces());
  std::vector<uint32_t> ids(in.Faces());
  for (size_t i = 0; i < full.slots.size(); ++i) {
    const uint32_t s = full.slots[i], f = fmap[s];
    int rot = -1;
    for (int r = 0; r < 3; ++r) {
      bool same = true;
      for (int k = 0; k < 3; ++k)
        same = same && vmap[full.idx[i * 3 + (k + r) % 3]] == in.idx[f * 3 + k];
      if (same) rot = r;
    }
    ASSERT_GE(rot, 0) << "face " << f << " differs";
    for (int k = 0; k < 3; ++k) {
      const uint32_t g = full.adj[i * 3 + (k + rot) % 3];
      EXPECT_EQ(g == 0xFFFFFFFFu ? g : fmap[g], adj[f * 3 + k]);
    }
  }
  std::vector<AttributeRange> table(8);
  uint32_t entries = 0;
  pm->CopyAttributeTable(nullptr, &entries);
  table.resize(entries);
  pm->CopyAttributeTable(table.data(), nullptr);
  for (const AttributeRange& e : table)
    for (uint32_t s = e.firstFace; s < e.firstFace + e.faceCount; ++s)
      EXPECT_EQ(in.attr[fmap[s]], e.attributeId);
  void* p = nullptr;
  ASSERT_EQ(pm->LockVertices(kLockReadOnly, &p), Ok);
  for (uint32_t v = 0; v < in.Vertices(); ++v)
    for (int q = 0; q < 3; ++q)
      ASSERT_EQ(static_cast<float*>(p)[v * 8 + q], in.pos[vmap[v] * 3 + q]);
  pm->UnlockVertices();

  // Down to the base and up again through a few levels: sound, boundaries and seams as at the
  // full level, and the same levels both ways.
  const uint32_t maxV = pm->GetMaxVertexCount();
  std::set<uint32_t> fullEnds;
  for (const auto& e : CheckLevel(in, full, vmap, maxV)) fullEnds.insert({e.first, e.second});
  const uint32_t lo = pm->GetMinFaceCount(), hi = pm->GetMaxFaceCount();
  std::vector<uint32_t> targets;
  const uint32_t step = std::max<uint32_t>(2, (hi - lo) / 9);
  for (uint32_t t = hi; t > lo && t - lo >= step; t -= step) targets.push_back(t);
  targets.push_back(lo);
  std::vector<LevelShot> down;
  for (uint32_t t : targets) {
    ASSERT_EQ(pm->SetFaceCount(t), Ok);
    // Boundaries and seams may lose vertices, never gain any.
    for (const auto& e : CheckLevel(in, Read(pm.get()), vmap, maxV))
      EXPECT_TRUE(fullEnds.count(e.first) && fullEnds.count(e.second)) << "at " << t;
    down.push_back(Capture(pm.get()));
    if (HasFatalFailure() || HasFailure()) return;
  }
  for (size_t i = targets.size(); i-- > 0;) {
    ASSERT_EQ(pm->SetFaceCount(targets[i]), Ok);
    EXPECT_TRUE(Capture(pm.get()) == down[i]) << "level " << targets[i];
  }
}

PMeshGenerateOptions With(uint32_t minFaces, float maxError, float nw = 1, float tw = 1) {
  PMeshGenerateOptions o;
  o.minFaces = minFaces;
  o.maxError = maxError;
  o.normalWeight = nw;
  o.texCoordWeight = tw;
  return o;
}

const GenCase kCases[] = {
    {"grid16", [] { return Grid(16, 16, 1, false, false); }, 0, With(0, -1), kOneFace},
    {"grid32_wide", [] { return Grid(32, 24, 2, false, false); }, MeshOptions::Index32,
     With(0, -1, 0, 0), kOneFace},
    {"grid_two_ids", [] { return Grid(24, 16, 3, true, false); }, 0, With(40, -1),
     kOneFace | kMispredict},
    {"grid_seam", [] { return Grid(20, 20, 4, false, true); }, 0, With(0, -1),
     kOneFace | kSeamSplit},
    {"grid_seam_two_ids", [] { return Grid(20, 16, 8, true, true); }, 0, With(0, -1),
     kOneFace | kSeamSplit},
    {"bowtie", Bowtie, 0, With(0, -1), kOneFace},
    {"sphere", [] { return Sphere(3, 5, 0.0f); }, 0, With(20, -1), 0},
    // Coarse levels of a rough sphere need not face away from its centre: structure only.
    {"rough_sphere",
     [] {
       Input in = Sphere(4, 6, 0.15f);
       in.check = Input::kNoFacing;
       return in;
     },
     MeshOptions::Index32, With(200, -1, 0, 0), 0},
    {"grid_two_ids_regions",
     [] { return Grid(24, 16, 3, true, false); },
     0,
     With(40, -1),
     kOneFace | kMispredict,
     {5, 0.2, 0}},
    {"grid_seam_two_ids_regions", [] { return Grid(20, 16, 8, true, true); }, 0, With(0, -1),
     kOneFace | kSeamSplit, kRegions},
    {"sphere_regions", [] { return Sphere(3, 5, 0.0f); }, 0, With(20, -1), 0, kRegions},
    {"grid_seam_two_ids_parts", [] { return Grid(20, 16, 8, true, true); }, 0, With(0, -1),
     kOneFace | kSeamSplit, kParts2},
    {"sphere_parts", [] { return Sphere(3, 5, 0.0f); }, 0, With(20, -1), 0, kParts3},
    // A hub fan longer than a part's worker takes: left to the passes in order.
    {"wheel_parts", [] { return Wheel(100, 6, 3); }, 0, With(0, -1), kOneFace, kParts2},
};
INSTANTIATE_TEST_SUITE_P(Meshes, Generate, ::testing::ValuesIn(kCases),
                         [](const auto& i) { return std::string(i.param.name); });

// The face target and the error bound stop collapsing where they say.
TEST(GenerateTargets, FacesAndErrorBound) {
  const Input in = Sphere(4, 7, 0.05f);
  Ref<GraphicsDevice> dev = MakeRefDevice();
  Ref<Mesh> mesh = MakeMesh(in, dev.get(), 0);
  struct Row {
    PMeshGenerateOptions o;
    uint32_t atLeast, atMost;
  } rows[] = {
      {With(1000, -1), 1000, 1001},
      {With(301, -1), 301, 302},
      {With(0, 0.0f, 0, 0), in.Faces(), in.Faces()},  // every collapse on a rough sphere costs
      {With(0, 1e-3f, 0, 0), 8, in.Faces() - 2},
  };
  // The last order's first round takes nearly every cost: its parts stop at their shares of the
  // faces to go, and the pass in order at the target.
  for (const CollapseOrder& order :
       {CollapseOrder{}, kRegions, kParts2, CollapseOrder{3, 0.99, 0, 2}}) {
    uint32_t prev = 0;
    for (const Row& r : rows) {
      Ref<ProgressiveMesh> pm;
      ASSERT_EQ(GeneratePMeshInOrder(mesh.get(), nullptr, r.o, order, pm.put()), Ok);
      EXPECT_GE(pm->GetMinFaceCount(), r.atLeast);
      EXPECT_LE(pm->GetMinFaceCount(), r.atMost);
      prev = pm->GetMinFaceCount();
    }
    // A looser bound simplifies further.
    Ref<ProgressiveMesh> loose;
    ASSERT_EQ(GeneratePMeshInOrder(mesh.get(), nullptr, With(0, 5e-2f, 0, 0), order, loose.put()),
              Ok);
    EXPECT_LT(loose->GetMinFaceCount(), prev);
  }
}

// On a flat grid only the corners cost anything: with a zero error bound every level covers the
// grid's whole area (boundary moves stay on straight sides), and boundary moves reach odd face
// counts exactly.
TEST(GenerateTargets, FlatGridKeepsItsOutline) {
  const Input in = Grid(10, 8, 23, false, false);
  Ref<GraphicsDevice> dev = MakeRefDevice();
  Ref<Mesh> mesh = MakeMesh(in, dev.get(), 0);
  std::vector<uint32_t> vmap(in.Vertices());
  Ref<ProgressiveMesh> pm;
  ASSERT_EQ(GeneratePMesh(mesh.get(), nullptr, With(0, 0.0f, 0, 0), pm.put(), nullptr, vmap.data()),
            Ok);
  EXPECT_LE(pm->GetMinFaceCount(), 4u);
  for (uint32_t faces = pm->GetMinFaceCount(); faces <= pm->GetMaxFaceCount(); faces += 7) {
    ASSERT_EQ(pm->SetFaceCount(faces), Ok);
    const Level l = Read(pm.get());
    double area = 0;
    for (size_t i = 0; i < l.idx.size(); i += 3) {
      const float* p[3];
      for (int k = 0; k < 3; ++k) p[k] = &in.pos[size_t(vmap[l.idx[i + k]]) * 3];
      area += 0.5 * ((p[1][0] - p[0][0]) * (p[2][1] - p[0][1]) -
                     (p[1][1] - p[0][1]) * (p[2][0] - p[0][0]));
    }
    EXPECT_NEAR(area, 80.0, 1e-3) << "at " << faces << " faces";
  }
  ASSERT_EQ(GeneratePMesh(mesh.get(), nullptr, With(101, -1), pm.put()), Ok);
  EXPECT_EQ(pm->GetMinFaceCount(), 101u);
}

// Malformed input is refused before anything is made; allocation failures are handed back.
TEST(GenerateInput, RefusedAndAllocationFailures) {
  const Input in = Grid(6, 6, 9, false, false);
  Ref<GraphicsDevice> dev = MakeRefDevice();
  Ref<Mesh> mesh = MakeMesh(in, dev.get(), 0);
  const std::vector<uint32_t> good = AdjacencyOf(in, mesh.get());
  PMeshGenerateOptions o;
  Ref<ProgressiveMesh> pm;
  EXPECT_EQ(GeneratePMesh(nullptr, nullptr, o, pm.put()), ErrInvalidCall);
  EXPECT_EQ(GeneratePMesh(mesh.get(), nullptr, o, nullptr), ErrInvalidCall);
  for (const CollapseOrder& order :
       {CollapseOrder{0, 0.1}, CollapseOrder{32, 0.1}, CollapseOrder{4, 0.0}, CollapseOrder{4, 1.5},
        CollapseOrder{4, 0.1, 0, 0}, CollapseOrder{4, 0.1, 0, 9}})
    EXPECT_EQ(GeneratePMeshInOrder(mesh.get(), nullptr, o, order, pm.put()), ErrInvalidCall);
  auto broken = [&](size_t at, uint32_t value) {
    std::vector<uint32_t> a = good;
    a[at] = value;
    return a;
  };
  size_t inner = 0;
  while (good[inner] == 0xFFFFFFFFu) ++inner;
  for (const auto& a :
       {broken(0, in.Faces()), broken(inner, 0xFFFFFFFFu), broken(inner, inner / 3)}) {
    ProgressiveMesh* raw = nullptr;
    EXPECT_EQ(GeneratePMesh(mesh.get(), a.data(), o, &raw), ErrInvalidCall);
    EXPECT_EQ(raw, nullptr);
  }
  uint32_t* ids = nullptr;
  ASSERT_EQ(mesh->LockAttributeIds(0, &ids), Ok);
  ids[3] = 0x10000;
  mesh->UnlockAttributeIds();
  EXPECT_EQ(GeneratePMesh(mesh.get(), good.data(), o, pm.put()), ErrInvalidCall);
  ASSERT_EQ(mesh->LockAttributeIds(0, &ids), Ok);
  ids[3] = 0;
  mesh->UnlockAttributeIds();

  ProgressiveMesh* made = nullptr;
  ForEachAllocationFailure([&] { return GeneratePMesh(mesh.get(), good.data(), o, &made); },
                           [&](LyrResult r) {
                             if (Succeeded(r)) {
                               made->Release();
                             } else {
                               EXPECT_EQ(r, ErrOutOfMemory);
                               EXPECT_EQ(made, nullptr);
                             }
                             made = nullptr;
                           });
  // Seams and two ranges take the paths with second vertices; the plain simplifier its own.
  const Input seams = Grid(6, 6, 9, true, true);
  Ref<Mesh> seamMesh = MakeMesh(seams, dev.get(), 0);
  const std::vector<uint32_t> seamAdj = AdjacencyOf(seams, seamMesh.get());
  // Regions, rounds and compaction allocate too; parts only before and after their threads run.
  o.threads = 2;
  for (const CollapseOrder& order : {CollapseOrder{}, kRegions, kParts2})
    ForEachAllocationFailure(
        [&] { return GeneratePMeshInOrder(seamMesh.get(), seamAdj.data(), o, order, &made); },
        [&](LyrResult r) {
          EXPECT_TRUE(Succeeded(r) || r == ErrOutOfMemory) << r;
          EXPECT_EQ(made != nullptr, Succeeded(r));
          if (made) made->Release();
          made = nullptr;
        });
  std::vector<uint32_t> out(in.idx.size());
  uint32_t left = 0;
  ForEachAllocationFailure(
      [&] {
        return SimplifyTriangles(in.pos.data(), in.Vertices(), in.idx.data(), good.data(),
                                 in.Faces(), 10, out.data(), &left);
      },
      [&](LyrResult r) { EXPECT_TRUE(Succeeded(r) || r == ErrOutOfMemory) << r; });
}

// A generated mesh saved through a stream and loaded back gives the same levels, seams, ranges
// and all.
TEST(GenerateSaved, LoadedLevelsAreTheSame) {
  for (const Input& in : {Grid(12, 10, 11, true, true), Sphere(2, 12, 0.1f)}) {
    Ref<GraphicsDevice> dev = MakeRefDevice();
    Ref<Mesh> mesh = MakeMesh(in, dev.get(), 0);
    const std::vector<uint32_t> adj = AdjacencyOf(in, mesh.get());
    Ref<ProgressiveMesh> pm, back;
    ASSERT_EQ(GeneratePMesh(mesh.get(), adj.data(), With(0, -1), pm.put()), Ok);
    ASSERT_EQ(pm->SetFaceCount(pm->GetMaxFaceCount() / 2), Ok);
    MemoryStream stream;
    ASSERT_EQ(pm->SaveToStream(&stream, nullptr, nullptr, 0), Ok);
    ASSERT_EQ(LoadProgressive(stream.bytes, dev.get(), back.put()), Ok);
    EXPECT_EQ(Sweep(back.get()), Sweep(pm.get()));
  }
}

// Generation depends on nothing but its input: runs write the same bytes, on any number of
// threads, with a face target that stops the parts or not.
TEST(GenerateSaved, SameInputSameFile) {
  for (const Input& in : {Grid(40, 30, 5, true, true), Sphere(5, 60, 0.1f), Wheel(90, 12, 4)}) {
    Ref<GraphicsDevice> dev = MakeRefDevice();
    Ref<Mesh> mesh = MakeMesh(in, dev.get(), 0);
    const std::vector<uint32_t> adj = AdjacencyOf(in, mesh.get());
    const PMeshGenerateOptions targets[] = {With(0, -1), With(in.Faces() / 3, -1), With(0, 2e-3f)};
    for (const CollapseOrder& order :
         {CollapseOrder{}, kRegions, kParts2, kParts3, CollapseOrder{3, 0.99, 0, 2}})
      for (const PMeshGenerateOptions& target : targets) {
        SCOPED_TRACE(testing::Message() << in.Faces() << " faces, order " << order.regionShift
                                        << "/" << order.roundShare << "/" << order.parts
                                        << ", at least " << target.minFaces << " faces, error "
                                        << target.maxError);
        MemoryStream files[4];
        for (uint32_t threads = 0; threads < 4; ++threads) {
          Ref<ProgressiveMesh> pm;
          PMeshGenerateOptions o = target;
          o.threads = threads == 0 ? 2 : threads;  // the first run twice
          GenerateReport did;
          ASSERT_EQ(GeneratePMeshInOrder(mesh.get(), adj.data(), o, order, pm.put(), nullptr,
                                         nullptr, &did),
                    Ok);
          EXPECT_EQ(did.overBound, 0u);
          ASSERT_EQ(pm->SaveToStream(&files[threads], nullptr, nullptr, 0), Ok);
        }
        for (const MemoryStream& file : files) EXPECT_EQ(file.bytes, files[0].bytes);
      }
  }
}

// Compaction renumbers what is left without changing its order: the strict order with it
// makes the same levels as without.
TEST(GenerateOrder, CompactionChangesNoCollapse) {
  for (const Input& in :
       {Grid(20, 16, 8, true, true), Grid(24, 16, 3, true, false), Sphere(4, 6, 0.15f)}) {
    Ref<GraphicsDevice> dev = MakeRefDevice();
    Ref<Mesh> mesh = MakeMesh(in, dev.get(), 0);
    const std::vector<uint32_t> adj = AdjacencyOf(in, mesh.get());
    Ref<ProgressiveMesh> plain, compacted;
    ASSERT_EQ(GeneratePMeshInOrder(mesh.get(), adj.data(), With(0, -1), {}, plain.put()), Ok);
    ASSERT_EQ(
        GeneratePMeshInOrder(mesh.get(), adj.data(), With(0, -1), {31, 1.0, 0}, compacted.put()),
        Ok);
    EXPECT_EQ(Sweep(compacted.get()), Sweep(plain.get()));
  }
}

// Triangles as sets of vertex triples, each starting at its least vertex (names through map).
using TriangleSet = std::set<std::array<uint32_t, 3>>;
TriangleSet Triangles(const uint32_t* idx, size_t faces, const uint32_t* map = nullptr) {
  TriangleSet out;
  for (size_t f = 0; f < faces; ++f) {
    std::array<uint32_t, 3> t{};
    for (int k = 0; k < 3; ++k) t[k] = map ? map[idx[f * 3 + k]] : idx[f * 3 + k];
    std::rotate(t.begin(), std::min_element(t.begin(), t.end()), t.end());
    out.insert(t);
  }
  return out;
}

// In the strict order the records keep the order the collapses were made in (each is the
// cheapest of its time, so none ranks below one before it that it depends on): every level of
// one generation holds the faces the plain simplifier leaves at that count.
TEST(GeneratePlain, EveryLevelOfTheStrictOrder) {
  const Input in = Sphere(3, 17, 0.08f);
  Ref<GraphicsDevice> dev = MakeRefDevice();
  Ref<Mesh> mesh = MakeMesh(in, dev.get(), 0);
  const std::vector<uint32_t> adj = AdjacencyOf(in, mesh.get());
  std::vector<uint32_t> vmap(in.Vertices()), out(in.idx.size());
  Ref<ProgressiveMesh> pm;
  ASSERT_EQ(
      GeneratePMesh(mesh.get(), adj.data(), With(0, -1, 0, 0), pm.put(), nullptr, vmap.data()), Ok);
  for (uint32_t target = in.Faces() - 2; target > pm->GetMinFaceCount();
       target -= std::min(target, 26u)) {
    ASSERT_EQ(pm->SetFaceCount(target), Ok);
    uint32_t left = 0;
    ASSERT_EQ(SimplifyTriangles(in.pos.data(), in.Vertices(), in.idx.data(), adj.data(), in.Faces(),
                                target, out.data(), &left),
              Ok);
    const Level l = Read(pm.get());
    ASSERT_EQ(Triangles(l.idx.data(), l.idx.size() / 3, vmap.data()), Triangles(out.data(), left))
        << target;
  }
}

// The plain simplifier makes the generator's collapses; it refuses what the generator refuses.
TEST(GeneratePlain, SameFacesAsTheBaseLevel) {
  const Input in = Sphere(3, 13, 0.05f);
  Ref<GraphicsDevice> dev = MakeRefDevice();
  Ref<Mesh> mesh = MakeMesh(in, dev.get(), 0);
  const std::vector<uint32_t> adj = AdjacencyOf(in, mesh.get());
  std::vector<uint32_t> vmap(in.Vertices()), out(in.idx.size());
  Ref<ProgressiveMesh> pm;
  for (uint32_t target : {300u, 40u}) {
    ASSERT_EQ(GeneratePMesh(mesh.get(), adj.data(), With(target, -1, 0, 0), pm.put(), nullptr,
                            vmap.data()),
              Ok);
    uint32_t left = 0;
    ASSERT_EQ(SimplifyTriangles(in.pos.data(), in.Vertices(), in.idx.data(), adj.data(), in.Faces(),
                                target, out.data(), &left),
              Ok);
    const Level base = Read(pm.get());
    EXPECT_EQ(Triangles(base.idx.data(), base.idx.size() / 3, vmap.data()),
              Triangles(out.data(), left))
        << target;
  }
  uint32_t left = 0;
  std::vector<uint32_t> bad = in.idx;
  bad[4] = in.Vertices();
  EXPECT_EQ(SimplifyTriangles(in.pos.data(), in.Vertices(), bad.data(), adj.data(), in.Faces(), 0,
                              out.data(), &left),
            ErrInvalidCall);
  EXPECT_EQ(SimplifyTriangles(nullptr, in.Vertices(), in.idx.data(), adj.data(), in.Faces(), 0,
                              out.data(), &left),
            ErrInvalidCall);
}

// The scanned bunny, when the data script has fetched it.
TEST(GenerateScan, Bunny) {
  bench::TriMesh t;
  if (!bench::LoadBunny(t)) GTEST_SKIP() << "bunny not fetched (scripts/fetch-data.sh)";
  Input in;
  in.pos = t.positions;
  in.idx = t.indices;
  in.nrm.assign(in.pos.size(), 0.0f);
  in.uv.assign(size_t(t.VertexCount()) * 2, 0.0f);
  in.attr.assign(t.FaceCount(), 0);
  Ref<GraphicsDevice> dev = MakeRefDevice();
  Ref<Mesh> mesh = MakeMesh(in, dev.get(), MeshOptions::Index32);
  const std::vector<uint32_t> adj = AdjacencyOf(in, mesh.get());
  // The strict order, and regions of 256 points as GeneratePMesh takes on large scans, in two
  // parts.
  for (const CollapseOrder& order : {CollapseOrder{}, CollapseOrder{8, 0.1, 0, 2}}) {
    Ref<ProgressiveMesh> pm;
    std::vector<uint32_t> fmap(in.Faces()), vmap(in.Vertices());
    GenerateReport did;
    ASSERT_EQ(GeneratePMeshInOrder(mesh.get(), adj.data(), With(0, -1, 0, 0), order, pm.put(),
                                   fmap.data(), vmap.data(), &did),
              Ok);
    EXPECT_EQ(did.overBound, 0u);
    EXPECT_LT(pm->GetMinFaceCount(), in.Faces() / 4);
    // The same bytes on one thread and on three.
    MemoryStream files[3];
    for (uint32_t threads : {1u, 3u}) {
      Ref<ProgressiveMesh> again;
      PMeshGenerateOptions o = With(0, -1, 0, 0);
      o.threads = threads;
      ASSERT_EQ(GeneratePMeshInOrder(mesh.get(), adj.data(), o, order, again.put()), Ok);
      ASSERT_EQ(again->SaveToStream(&files[threads - 1], nullptr, nullptr, 0), Ok);
    }
    ASSERT_EQ(pm->SaveToStream(&files[1], nullptr, nullptr, 0), Ok);
    EXPECT_EQ(files[0].bytes, files[1].bytes);
    EXPECT_EQ(files[2].bytes, files[1].bytes);
    for (uint32_t t2 : {pm->GetMaxFaceCount(), pm->GetMaxFaceCount() / 10, pm->GetMinFaceCount(),
                        pm->GetMaxFaceCount()}) {
      ASSERT_EQ(pm->SetFaceCount(t2), Ok);
      const Level l = Read(pm.get());
      // Orientation of a scan is not known: check the structure only.
      std::map<uint32_t, size_t> row;
      for (size_t i = 0; i < l.slots.size(); ++i) row[l.slots[i]] = i;
      for (size_t i = 0; i < l.adj.size(); ++i) {
        EXPECT_LT(l.idx[i], in.Vertices());
        const uint32_t g = l.adj[i];
        if (g == 0xFFFFFFFFu) continue;
        ASSERT_TRUE(row.count(g));
        const uint32_t* ga = &l.adj[row[g] * 3];
        ASSERT_TRUE(ga[0] == l.slots[i / 3] || ga[1] == l.slots[i / 3] || ga[2] == l.slots[i / 3]);
      }
    }
    const Level full = Read(pm.get());
    for (size_t i = 0; i < full.slots.size(); ++i) {
      const uint32_t f = fmap[full.slots[i]];
      std::array<uint32_t, 3> a{}, b{};
      for (int k = 0; k < 3; ++k) {
        a[k] = vmap[full.idx[i * 3 + k]];
        b[k] = in.idx[f * 3 + k];
      }
      std::rotate(a.begin(), std::min_element(a.begin(), a.end()), a.end());
      std::rotate(b.begin(), std::min_element(b.begin(), b.end()), b.end());
      ASSERT_EQ(a, b);
    }
  }
}

}  // namespace
}  // namespace lyr::test
