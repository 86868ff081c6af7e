// Progressive meshes for tests and benchmarks: a coarse grid refined by random vertex splits.
//
// A plain model (faces as vertex triples with neighbour lists, split records applied by the
// straightforward reading of their bits) chooses records that are valid and undo exactly, and
// gives the expected full-detail level to compare the object with. Faces and vertices live in
// attribute ranges; the model numbers them per range and lays the ranges out at the end.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "core/object_impl.h"
#include "lyr/pmesh.h"
#include "pmesh/pmesh_build.h"

namespace lyr::test {

struct PMGridOptions {
  uint32_t width = 4, height = 4;  // base grid in quads
  uint32_t splits = 40;
  uint32_t ranges = 1;
  uint32_t seed = 1;
  bool varyCodes = true;  // beyond the plain two-face split: wedge bits, mispredicts, one-face
};

struct PMGrid {
  std::vector<PMRange> ranges;
  std::vector<VSplitRecord> splits;
  std::vector<uint16_t> mispredicts;
  uint32_t maxValence = 0, minLogical = 0, maxLogical = 0;
  std::vector<uint32_t> baseIdx, baseAdj;  // packed base faces
  std::vector<float> positions;            // every full-detail vertex, in slot order
  // The full-detail level in slot layout (unused slots none).
  std::vector<uint32_t> fullIdx, fullAdj, fullAttr;
  uint32_t FullFaces() const { return uint32_t(fullAttr.size()); }
  uint32_t FullVertices() const { return uint32_t(positions.size() / 3); }
  uint32_t BaseFaces() const { return uint32_t(baseIdx.size() / 3); }
};

namespace pmgrid {

constexpr uint32_t kNo = 0xFFFFFFFFu;
inline uint32_t Next3(uint32_t i) {
  return (i + 1) % 3;
}
inline uint32_t Prev3(uint32_t i) {
  return (i + 2) % 3;
}

struct Face {
  uint32_t range, local;
  uint32_t v[3];
  uint32_t adj[3];
};
struct Vertex {
  uint32_t range, local;
  float x, y;
};

class Model {
 public:
  std::vector<Face> faces;
  std::vector<Vertex> verts;
  std::vector<uint32_t> faceCount, vertCount;  // per range

  uint32_t NewVertex(uint32_t range, float x, float y) {
    verts.push_back({range, vertCount[range]++, x, y});
    return uint32_t(verts.size() - 1);
  }
  uint32_t Entry(uint32_t f, uint32_t of) const {
    for (uint32_t j = 0; j < 3; ++j)
      if (faces[f].adj[j] == of) return j;
    return kNo;
  }
  // Faces round the vertex at corner c of face a, leaving across edge c: (face, corner) pairs
  // up to the boundary or back at a; closed tells which.
  std::vector<std::pair<uint32_t, uint32_t>> Fan(uint32_t a, uint32_t c, bool* closed) const {
    std::vector<std::pair<uint32_t, uint32_t>> w;
    uint32_t f = a, k = c;
    *closed = false;
    for (;;) {
      w.push_back({f, k});
      const uint32_t n = faces[f].adj[k];
      if (n == kNo) break;
      if (n == a) {
        *closed = true;
        break;
      }
      const uint32_t e = Entry(n, f);
      f = n;
      k = Next3(e);
    }
    return w;
  }

  // Applies one record given in model numbering; attributes are the ranges of L and R. With
  // exact, a record whose undo would not give every moved corner back is refused (false,
  // nothing changed).
  bool Apply(uint32_t a, uint32_t c, uint32_t vlr, uint32_t code, uint32_t rL, uint32_t rR,
             bool exact) {
    namespace S = SplitCode;
    const bool two = vlr != 0;
    const uint32_t vs = faces[a].v[c], pc = Prev3(c);
    const uint32_t b = faces[a].adj[pc];
    const uint32_t eb = b == kNo ? kNo : Entry(b, a);
    bool closed = false;
    auto w = Fan(a, c, &closed);
    if (two) w.resize(vlr);
    const uint32_t nr = w.back().first, en = w.back().second;
    const uint32_t fr = two ? faces[nr].adj[en] : kNo;
    const uint32_t ef = fr == kNo ? kNo : Next3(Entry(fr, nr));
    // New vertices get the next ids; they are made once the record is known to fit.
    uint32_t nextId = uint32_t(verts.size());
    std::vector<uint32_t> made;
    auto fresh = [&](uint32_t r) {
      made.push_back(r);
      return nextId++;
    };
    const uint32_t vt = fresh(rL);
    uint32_t lk0, lk2, rk0 = 0, rk1 = 0, rk2 = 0;
    if ((code & S::LeftKeepsVs) || (!two && (code & S::LeftFromB)))
      lk0 = vs;
    else if (two && ((code & S::LeftFromB) || (code & 0x60) == 0x60))
      lk0 = faces[b].v[eb];
    else
      lk0 = fresh(rL);
    if (code & S::LeftThirdNew)
      lk2 = fresh(rL);
    else if (code & S::LeftThirdFromB)
      lk2 = faces[b].v[Next3(eb)];
    else
      lk2 = faces[a].v[pc];
    if (two) {
      rk2 = (code & S::RightThirdIsVt) ? vt : fresh(rR);
      if (code & S::RightSameAsLeft)
        rk0 = lk0;
      else if (code & S::RightFromNear)
        rk0 = faces[nr].v[en];
      else if (code & S::RightFromFar)
        rk0 = faces[fr].v[ef];
      else
        rk0 = fresh(rR);
      if (code & S::RightSecondNew)
        rk1 = fresh(rR);
      else if (code & S::RightSecondFar)
        rk1 = faces[fr].v[Prev3(ef)];
      else
        rk1 = faces[nr].v[Next3(en)];
    }
    const auto moved = [&](uint32_t v) {
      if (two) return (code & S::LeftKeepsVs) && v == vs ? vt : rk2;
      return v == vs ? vt : v;
    };
    const auto back = [&](uint32_t v) { return v == vt ? lk0 : two ? rk0 : v; };
    if (exact)
      for (auto [f, k] : w)
        if (back(moved(faces[f].v[k])) != faces[f].v[k]) return false;
    const Vertex p = verts[vs];
    for (uint32_t r : made) NewVertex(r, p.x + 0.25f, p.y + 0.125f);
    for (auto [f, k] : w) faces[f].v[k] = moved(faces[f].v[k]);
    const uint32_t L = uint32_t(faces.size());
    const uint32_t R = two ? L + 1 : kNo;
    faces.push_back({rL, faceCount[rL]++, {lk0, vt, lk2}, {R, a, b}});
    faces[a].adj[pc] = L;
    if (b != kNo) faces[b].adj[eb] = L;
    if (two) {
      faces.push_back({rR, faceCount[rR]++, {rk0, rk1, rk2}, {fr, nr, L}});
      faces[nr].adj[en] = R;
      if (fr != kNo) faces[fr].adj[Prev3(ef)] = R;
    }
    return true;
  }
};

}  // namespace pmgrid

// Builds the description; the object is made from it by MakeGridPM.
inline PMGrid BuildPMGrid(const PMGridOptions& o) {
  namespace S = SplitCode;
  using namespace pmgrid;
  std::mt19937 rng(o.seed);
  auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
  Model m;
  m.faceCount.assign(o.ranges, 0);
  m.vertCount.assign(o.ranges, 0);
  const uint32_t W = o.width, H = o.height;
  for (uint32_t y = 0; y <= H; ++y)
    for (uint32_t x = 0; x <= W; ++x) m.NewVertex(pick(o.ranges), float(x), float(y));
  for (uint32_t y = 0; y < H; ++y)
    for (uint32_t x = 0; x < W; ++x) {
      const uint32_t a = y * (W + 1) + x, b = a + 1, d = a + W + 1, e = d + 1;
      for (auto t : {std::array<uint32_t, 3>{a, b, d}, std::array<uint32_t, 3>{d, b, e}}) {
        const uint32_t r = pick(o.ranges);
        m.faces.push_back({r, m.faceCount[r]++, {t[0], t[1], t[2]}, {kNo, kNo, kNo}});
      }
    }
  // Neighbours by reversed edges.
  for (uint32_t f = 0; f < m.faces.size(); ++f)
    for (uint32_t k = 0; k < 3; ++k)
      for (uint32_t g = 0; g < m.faces.size() && m.faces[f].adj[k] == kNo; ++g)
        for (uint32_t j = 0; j < 3; ++j)
          if (g != f && m.faces[g].v[j] == m.faces[f].v[Next3(k)] &&
              m.faces[g].v[Next3(j)] == m.faces[f].v[k])
            m.faces[f].adj[k] = g;
  const uint32_t baseFaceCount = uint32_t(m.faces.size());
  const std::vector<Face> baseModel = m.faces;
  const std::vector<uint32_t> baseFaces(m.faceCount);
  const uint32_t baseVerts = uint32_t(m.verts.size());

  PMGrid g;
  struct Rec {
    uint32_t a, c, vlr, code;
  };
  std::vector<Rec> recs;
  uint32_t valence = 1;
  while (recs.size() < o.splits) {
    const uint32_t a = pick(uint32_t(m.faces.size())), c = pick(3);
    bool closed = false;
    const auto fan = m.Fan(a, c, &closed);
    const uint32_t n = uint32_t(fan.size());
    const uint32_t b = m.faces[a].adj[Prev3(c)];
    uint32_t vlr = 0;
    if (closed) {
      if (n < 3) continue;
      vlr = std::clamp<uint32_t>(n / 2 + pick(3) - 1, 1, n - 1);
    } else if (!o.varyCodes || pick(5) != 0) {
      vlr = std::clamp<uint32_t>((n + 1) / 2 + pick(2), 1, n);
    }
    const bool two = vlr != 0;
    const uint32_t nr = two ? fan[vlr - 1].first : 0, en = two ? fan[vlr - 1].second : 0;
    const bool hasFr = two && m.faces[nr].adj[en] != kNo;
    const bool hasB = b != kNo;
    uint32_t code = c;
    if (!o.varyCodes) {
      code |= S::LeftKeepsVs | (two ? S::RightSameAsLeft | S::RightThirdIsVt : 0);
    } else if (!two) {
      // One-face: L keeps vs (by either bit) so the undo gives the corners back.
      code |= pick(2) ? S::LeftKeepsVs : S::LeftFromB;
      if (pick(3) == 0)
        code |= S::LeftThirdNew;
      else if (hasB && pick(2))
        code |= S::LeftThirdFromB;
    } else {
      // Three ways for the moved corners to come back exactly: L.k0 = vs, L.k0 taken from
      // face b with R.k2 = vt, or R.k0 from the near right face.
      switch (pick(hasB ? 3 : 2)) {
        case 0:
          code |= S::LeftKeepsVs;
          break;
        case 1:
          code |= S::RightFromNear;
          break;
        default:
          code |= S::LeftFromB | S::RightThirdIsVt;
          break;
      }
      if (!(code & S::RightFromNear)) {
        const uint32_t r0 = pick(hasFr ? 4 : 3);
        code |= r0 == 0   ? S::RightSameAsLeft
                : r0 == 1 ? S::RightFromNear
                : r0 == 3 ? S::RightFromFar
                          : 0;
      }
      if ((code & S::LeftKeepsVs) && pick(2)) code |= S::RightThirdIsVt;
      if (pick(4) == 0)
        code |= S::LeftThirdNew;
      else if (hasB && pick(3) == 0)
        code |= S::LeftThirdFromB;
      if (pick(4) == 0)
        code |= S::RightSecondNew;
      else if (hasFr && pick(3) == 0)
        code |= S::RightSecondFar;
      if (!hasB && (code & (S::LeftFromB | S::LeftThirdFromB))) continue;
      if ((code & 0x60) == 0x60 && !(code & S::LeftKeepsVs) && !hasB) continue;
    }
    uint32_t rL = m.faces[a].range, rR = two ? m.faces[nr].range : rL;
    if (o.varyCodes && o.ranges > 1) {
      if (pick(3) == 0) {
        code |= S::LeftMispredict;
        rL = pick(o.ranges);
      }
      if (two && pick(3) == 0) {
        code |= S::RightMispredict;
        rR = pick(o.ranges);
      }
    }
    if (!m.Apply(a, c, vlr, code, rL, rR, true)) continue;
    if (code & S::LeftMispredict) g.mispredicts.push_back(uint16_t(rL));
    if (code & S::RightMispredict) g.mispredicts.push_back(uint16_t(rR));
    valence = std::max(valence, two ? vlr : n);
    recs.push_back({a, c, vlr, code});
  }

  // Lay the ranges out in order.
  std::vector<uint32_t> fOff(o.ranges), vOff(o.ranges);
  uint32_t fSum = 0, vSum = 0;
  for (uint32_t r = 0; r < o.ranges; ++r) {
    fOff[r] = fSum;
    vOff[r] = vSum;
    g.ranges.push_back({fSum, baseFaces[r], m.faceCount[r], vSum, 0, m.vertCount[r]});
    fSum += m.faceCount[r];
    vSum += m.vertCount[r];
  }
  for (uint32_t v = 0; v < baseVerts; ++v) g.ranges[m.verts[v].range].verticesMin++;
  // Base vertices must come first in their ranges: they do, as they were made first.
  const auto faceSlot = [&](uint32_t f) {
    return f == kNo ? kNo : fOff[m.faces[f].range] + m.faces[f].local;
  };
  const auto vertSlot = [&](uint32_t v) { return vOff[m.verts[v].range] + m.verts[v].local; };
  for (const Rec& r : recs) g.splits.push_back({faceSlot(r.a), uint16_t(r.vlr), uint16_t(r.code)});
  g.maxValence = valence;
  g.minLogical = baseVerts;
  g.maxLogical = baseVerts + o.splits;
  g.positions.assign(size_t(vSum) * 3, 0.f);
  for (uint32_t v = 0; v < m.verts.size(); ++v) {
    g.positions[size_t(vertSlot(v)) * 3] = m.verts[v].x;
    g.positions[size_t(vertSlot(v)) * 3 + 1] = m.verts[v].y;
  }
  g.fullIdx.assign(size_t(fSum) * 3, kNo);
  g.fullAdj.assign(size_t(fSum) * 3, kNo);
  g.fullAttr.assign(fSum, 0);
  for (uint32_t f = 0; f < m.faces.size(); ++f) {
    const uint32_t s = faceSlot(f);
    g.fullAttr[s] = m.faces[f].range;
    for (int k = 0; k < 3; ++k) {
      g.fullIdx[size_t(s) * 3 + k] = vertSlot(m.faces[f].v[k]);
      g.fullAdj[size_t(s) * 3 + k] = faceSlot(m.faces[f].adj[k]);
    }
  }
  // Packed base numbering: the base faces of each range follow those of earlier ranges.
  std::vector<uint32_t> start(o.ranges + 1, 0);
  for (uint32_t r = 0; r < o.ranges; ++r) start[r + 1] = start[r] + baseFaces[r];
  const auto packed = [&](uint32_t f) {
    return f == kNo ? kNo : start[baseModel[f].range] + baseModel[f].local;
  };
  g.baseIdx.assign(size_t(baseFaceCount) * 3, 0);
  g.baseAdj.assign(size_t(baseFaceCount) * 3, kNo);
  for (uint32_t f = 0; f < baseFaceCount; ++f)
    for (int k = 0; k < 3; ++k) {
      g.baseIdx[size_t(packed(f)) * 3 + k] = vertSlot(baseModel[f].v[k]);
      g.baseAdj[size_t(packed(f)) * 3 + k] = packed(baseModel[f].adj[k]);
    }
  return g;
}

// The contents view of a description (pointing into it).
inline PMContents ContentsOf(const PMGrid& g) {
  PMContents c;
  c.ranges = g.ranges.data();
  c.rangeCount = uint32_t(g.ranges.size());
  c.maxValence = g.maxValence;
  c.minLogicalVertices = g.minLogical;
  c.maxLogicalVertices = g.maxLogical;
  c.splits = g.splits.data();
  c.splitCount = uint32_t(g.splits.size());
  c.mispredicts = g.mispredicts.data();
  c.mispredictCount = uint32_t(g.mispredicts.size());
  return c;
}

// A base Mesh (positions only) holding the packed base faces and every full-detail vertex.
inline LyrResult MakeGridBase(const PMGrid& g, GraphicsDevice* device, uint32_t options,
                              Mesh** out) {
  Mesh* base = nullptr;
  LyrResult r =
      CreateMeshFromFormatCode(g.BaseFaces(), g.FullVertices(), options, 0x2, device, &base);
  if (Failed(r)) return r;
  Ref<Mesh> holder(base);
  void* p = nullptr;
  if (Failed(r = base->LockIndices(0, &p))) return r;
  for (size_t i = 0; i < g.baseIdx.size(); ++i) {
    if (options & MeshOptions::Index32)
      static_cast<uint32_t*>(p)[i] = g.baseIdx[i];
    else
      static_cast<uint16_t*>(p)[i] = uint16_t(g.baseIdx[i]);
  }
  base->UnlockIndices();
  if (Failed(r = base->LockVertices(0, &p))) return r;
  std::copy(g.positions.begin(), g.positions.end(), static_cast<float*>(p));
  base->UnlockVertices();
  *out = holder.detach();
  return Ok;
}

// The object of a description, at its base level.
inline LyrResult MakeGridPM(const PMGrid& g, GraphicsDevice* device, uint32_t options,
                            ProgressiveMesh** out, const PMContents* contents = nullptr) {
  Mesh* base = nullptr;
  LyrResult r = MakeGridBase(g, device, options, &base);
  if (Failed(r)) return r;
  Ref<Mesh> holder(base);
  const PMContents c = contents ? *contents : ContentsOf(g);
  return CreateProgressiveMeshFromBase(base, options, g.baseAdj.data(), c, out);
}

}  // namespace lyr::test
