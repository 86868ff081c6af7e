// Progressive meshes from plain Meshes: quadric half-edge collapses recorded as vertex splits.
//
// A collapse moves vertex vt onto a ring neighbour vs that stays where it is, so vertex data
// never changes between levels and the split that undoes it is the plain two-face record: face
// a is the face after L round vs, the walk covers the valence of vt less two faces, L keeps vs
// and R's corners are vs, its neighbour and vt (bits 0x80, 0x40, 0x200). Only vertices whose
// fan is closed, consistent with the indices and of one attribute id move, so boundaries, seams
// and attribute borders stay exactly as they are and no record needs a mispredict.
//
// Costs are generalised quadrics over position and the weighted normal and first texture
// coordinate set, weighted by face area: the cost of moving vt onto vs is (Q[vt] + Q[vs])(vs).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <queue>

#include "core/alloc.h"
#include "core/object_impl.h"
#include "lyr/pmesh.h"
#include "lyr/vertex.h"
#include "pmesh/pmesh_build.h"

namespace lyr {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kMaxDim = 8;           // position, normal, two texture coordinates
constexpr uint32_t kMaxFan = 0xFFFF + 2;  // the walk of a record counts up to 0xFFFF faces
inline uint32_t Next(uint32_t k) {
  return k == 2 ? 0 : k + 1;
}
inline uint32_t Prev(uint32_t k) {
  return k == 0 ? 2 : k - 1;
}

enum VertexKind : uint8_t {
  kMovable = 0,  // closed fan consistent with the indices, one attribute id
  kFixed = 1,    // one fan consistent with the indices (open or of several ids): may receive
  kFrozen = 2,   // anything else: left alone
  kGone = 3,     // collapsed
};

struct Collapse {
  uint32_t vt, vs, left, right, a, corner, walk;
  uint8_t leftVt, rightVt;  // the corner of vt in L and in R
};

struct HeapEntry {
  double cost;
  uint32_t vt, vs, stamp;
  bool operator<(const HeapEntry& o) const { return cost > o.cost; }  // smallest first
};

class Simplifier {
 public:
  uint32_t nF = 0, nV = 0, dim = 3, qs = 0;
  WorkVector<uint32_t> idx, adj, attr, vface, vrange, version, mark;
  WorkVector<uint8_t> alive, kind;
  WorkVector<double> quad;
  WorkVector<float> data;  // dim values per vertex
  Vector<Collapse> collapses;
  uint32_t markStamp = 0;
  double diagonal = 1.0;
  // Scratch of a fan: faces and the corner of the vertex in each.
  WorkVector<uint32_t> fanFace, fanCorner, fan2Face, fan2Corner;
  std::priority_queue<HeapEntry, Vector<HeapEntry>> heap;

  const float* Pos(uint32_t v) const { return data.data() + size_t(v) * dim; }

  int BackEntry(uint32_t g, uint32_t f) const {
    for (int j = 0; j < 3; ++j)
      if (adj[size_t(g) * 3 + j] == f) return j;
    return -1;
  }

  // Walks forward round v from (face, corner), leaving across the edge that starts at v, as the
  // split engine does. Returns false on an inconsistency; closed tells whether it came back.
  bool WalkForward(uint32_t v, uint32_t face, uint32_t corner, WorkVector<uint32_t>& faces,
                   WorkVector<uint32_t>& corners, bool* closed) const {
    faces.clear();
    corners.clear();
    const uint32_t start = face;
    *closed = false;
    for (;;) {
      if (faces.size() >= kMaxFan) return false;
      faces.push_back(face);
      corners.push_back(corner);
      const uint32_t n = adj[size_t(face) * 3 + corner];
      if (n == kNone) return true;
      if (n == start) {
        *closed = true;
        return true;
      }
      const int e = BackEntry(n, face);
      if (e < 0 || idx[size_t(n) * 3 + Next(uint32_t(e))] != v) return false;
      face = n;
      corner = Next(uint32_t(e));
    }
  }

  // The whole fan of v (kMovable or kFixed): forward from vface, then backward when open.
  bool Fan(uint32_t v, WorkVector<uint32_t>& faces, WorkVector<uint32_t>& corners) const {
    const uint32_t f0 = vface[v];
    uint32_t c0 = 0;
    while (c0 < 3 && idx[size_t(f0) * 3 + c0] != v) ++c0;
    if (c0 == 3) return false;
    bool closed = false;
    if (!WalkForward(v, f0, c0, faces, corners, &closed)) return false;
    if (closed) return true;
    // Backward: leave across the edge that ends at v.
    uint32_t face = f0, corner = c0;
    for (;;) {
      const uint32_t n = adj[size_t(face) * 3 + Prev(corner)];
      if (n == kNone) return true;
      if (faces.size() >= kMaxFan || n == f0) return false;
      const int e = BackEntry(n, face);
      if (e < 0 || idx[size_t(n) * 3 + uint32_t(e)] != v) return false;
      face = n;
      corner = uint32_t(e);
      faces.push_back(face);
      corners.push_back(corner);
    }
  }

  void Classify(const WorkVector<uint32_t>& uses) {
    for (uint32_t v = 0; v < nV; ++v) {
      if (vface[v] == kNone) {
        kind[v] = kFrozen;
        continue;
      }
      uint32_t c0 = 0;
      const uint32_t f0 = vface[v];
      while (idx[size_t(f0) * 3 + c0] != v) ++c0;
      bool closed = false;
      if (!WalkForward(v, f0, c0, fanFace, fanCorner, &closed) ||
          (!closed && !Fan(v, fanFace, fanCorner)) || fanFace.size() != uses[v]) {
        kind[v] = kFrozen;
        continue;
      }
      bool oneId = true;
      for (uint32_t f : fanFace) oneId = oneId && attr[f] == attr[f0];
      kind[v] = closed && oneId && uses[v] >= 3 ? kMovable : kFixed;
    }
  }

  // Adds the quadric of every face to its vertices.
  void BuildQuadrics() {
    quad.assign(size_t(nV) * qs, 0.0);
    double e1[kMaxDim], e2[kMaxDim], d2[kMaxDim];
    for (uint32_t f = 0; f < nF; ++f) {
      const uint32_t* t = &idx[size_t(f) * 3];
      if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) continue;
      const float *p = Pos(t[0]), *q = Pos(t[1]), *r = Pos(t[2]);
      double n1 = 0, dot = 0, n2 = 0;
      for (uint32_t i = 0; i < dim; ++i) {
        e1[i] = double(q[i]) - p[i];
        n1 += e1[i] * e1[i];
      }
      if (n1 <= 0) continue;
      n1 = std::sqrt(n1);
      for (uint32_t i = 0; i < dim; ++i) {
        e1[i] /= n1;
        d2[i] = double(r[i]) - p[i];
        dot += e1[i] * d2[i];
      }
      for (uint32_t i = 0; i < dim; ++i) {
        e2[i] = d2[i] - dot * e1[i];
        n2 += e2[i] * e2[i];
      }
      if (n2 <= 0) continue;
      n2 = std::sqrt(n2);
      for (uint32_t i = 0; i < dim; ++i) e2[i] /= n2;
      // Area from the position part only.
      const double ux = double(q[0]) - p[0], uy = double(q[1]) - p[1], uz = double(q[2]) - p[2];
      const double vx = double(r[0]) - p[0], vy = double(r[1]) - p[1], vz = double(r[2]) - p[2];
      const double cx = uy * vz - uz * vy, cy = uz * vx - ux * vz, cz = ux * vy - uy * vx;
      const double w = 0.5 * std::sqrt(cx * cx + cy * cy + cz * cz);
      if (w <= 0) continue;
      double pe1 = 0, pe2 = 0, pp = 0;
      for (uint32_t i = 0; i < dim; ++i) {
        pe1 += p[i] * e1[i];
        pe2 += p[i] * e2[i];
        pp += double(p[i]) * p[i];
      }
      // A = I - e1 e1' - e2 e2', b = (p.e1) e1 + (p.e2) e2 - p, c = p.p - (p.e1)^2 - (p.e2)^2.
      double face[kMaxDim * (kMaxDim + 1) / 2 + kMaxDim + 2];
      uint32_t o = 0;
      for (uint32_t i = 0; i < dim; ++i)
        for (uint32_t j = i; j < dim; ++j)
          face[o++] = w * ((i == j) - e1[i] * e1[j] - e2[i] * e2[j]);
      for (uint32_t i = 0; i < dim; ++i) face[o++] = w * (pe1 * e1[i] + pe2 * e2[i] - p[i]);
      face[o++] = w * (pp - pe1 * pe1 - pe2 * pe2);
      face[o++] = w;
      for (int k = 0; k < 3; ++k) {
        double* qv = &quad[size_t(t[k]) * qs];
        for (uint32_t i = 0; i < qs; ++i) qv[i] += face[i];
      }
    }
  }

  // (Q[a] + Q[b]) at vertex b's data; weight (the area) in *w.
  double Cost(uint32_t a, uint32_t b, double* w) const {
    const double* qa = &quad[size_t(a) * qs];
    const double* qb = &quad[size_t(b) * qs];
    const float* x = Pos(b);
    double s = 0;
    uint32_t o = 0;
    for (uint32_t i = 0; i < dim; ++i)
      for (uint32_t j = i; j < dim; ++j, ++o)
        s += (qa[o] + qb[o]) * x[i] * x[j] * (i == j ? 1.0 : 2.0);
    for (uint32_t i = 0; i < dim; ++i, ++o) s += 2.0 * (qa[o] + qb[o]) * x[i];
    s += qa[o] + qb[o];
    *w = qa[o + 1] + qb[o + 1];
    return std::max(s, 0.0);
  }

  // Whether moving vt (fan in fanFace/fanCorner) onto ring vertex j keeps the mesh manifold and
  // no face flips. The ring vertex of fan face i is the one after vt.
  bool Valid(uint32_t vt, size_t j) {
    const size_t n = fanFace.size();
    const uint32_t vs = idx[size_t(fanFace[j]) * 3 + Next(fanCorner[j])];
    if (kind[vs] > kFixed) return false;
    const size_t jl = (j + 1) % n, ja = (j + 2) % n, jn = (j + n - 1) % n;
    const uint32_t L = fanFace[jl], R = fanFace[j], a = fanFace[ja], nr = fanFace[jn];
    const uint32_t b = adj[size_t(L) * 3 + Next(fanCorner[jl])];
    const uint32_t fr = adj[size_t(R) * 3 + Next(fanCorner[j])];
    // Cases the link test below does not rule out on a closed surface of few faces.
    if (b == a || b == nr || fr == nr || fr == a || (b != kNone && b == fr)) return false;
    // Link: the ring of vs meets the ring of vt in exactly x and y.
    if (++markStamp == 0) {
      std::fill(mark.begin(), mark.end(), 0u);
      markStamp = 1;
    }
    const uint32_t ringStamp = markStamp;
    // A ring that meets itself is a pinched fan: no collapse of vt is safe there.
    for (size_t i = 0; i < n; ++i) {
      uint32_t& mk = mark[idx[size_t(fanFace[i]) * 3 + Next(fanCorner[i])]];
      if (mk == ringStamp) return false;
      mk = ringStamp;
    }
    if (!Fan(vs, fan2Face, fan2Corner)) return false;
    if (++markStamp == 0) return false;  // practically never: treat as not valid
    uint32_t shared = 0;
    for (size_t i = 0; i < fan2Face.size(); ++i) {
      const uint32_t* t = &idx[size_t(fan2Face[i]) * 3];
      for (uint32_t w : {t[Next(fan2Corner[i])], t[Prev(fan2Corner[i])]})
        if (mark[w] == ringStamp) {
          mark[w] = markStamp;
          ++shared;
        }
    }
    if (shared != 2) return false;
    // No face round vt may turn over or collapse to a line.
    const float* ps = Pos(vs);
    for (size_t i = 0; i < n; ++i) {
      if (i == j || i == jl) continue;
      const uint32_t* t = &idx[size_t(fanFace[i]) * 3];
      const uint32_t k = fanCorner[i];
      const float *p1 = Pos(t[Next(k)]), *p2 = Pos(t[Prev(k)]), *p0 = Pos(vt);
      double u[3], v[3], w[3], no[3], nn[3];
      for (int c = 0; c < 3; ++c) {
        u[c] = double(p1[c]) - p0[c];
        v[c] = double(p2[c]) - p0[c];
        w[c] = double(p1[c]) - ps[c];
      }
      no[0] = u[1] * v[2] - u[2] * v[1];
      no[1] = u[2] * v[0] - u[0] * v[2];
      no[2] = u[0] * v[1] - u[1] * v[0];
      double v2[3];
      for (int c = 0; c < 3; ++c) v2[c] = double(p2[c]) - ps[c];
      nn[0] = w[1] * v2[2] - w[2] * v2[1];
      nn[1] = w[2] * v2[0] - w[0] * v2[2];
      nn[2] = w[0] * v2[1] - w[1] * v2[0];
      const double d = no[0] * nn[0] + no[1] * nn[1] + no[2] * nn[2];
      const double lo = no[0] * no[0] + no[1] * no[1] + no[2] * no[2];
      const double ln = nn[0] * nn[0] + nn[1] * nn[1] + nn[2] * nn[2];
      if (!(ln > 0) || d <= 1e-3 * std::sqrt(lo * ln)) return false;
    }
    return true;
  }

  // Finds vt's cheapest valid collapse and queues it.
  void Evaluate(uint32_t vt) {
    if (kind[vt] != kMovable) return;
    ++version[vt];
    if (!Fan(vt, fanFace, fanCorner) || fanFace.size() < 3) return;
    const size_t n = fanFace.size();
    double best = 0;
    uint32_t bestVs = kNone;
    // Cheapest first; the valence is small, so a plain selection is enough.
    uint32_t tried = 0;
    uint64_t triedMask = 0;
    while (tried < n && tried < 64) {
      double c = 0;
      size_t jc = n;
      for (size_t j = 0; j < n && j < 64; ++j) {
        if (triedMask >> j & 1) continue;
        const uint32_t vs = idx[size_t(fanFace[j]) * 3 + Next(fanCorner[j])];
        if (kind[vs] > kFixed) {
          triedMask |= uint64_t(1) << j;
          ++tried;
          continue;
        }
        double w = 0;
        const double cj = Cost(vt, vs, &w);
        if (jc == n || cj < c) {
          c = cj;
          jc = j;
        }
      }
      if (jc == n) break;
      triedMask |= uint64_t(1) << jc;
      ++tried;
      if (Valid(vt, jc)) {
        best = c;
        bestVs = idx[size_t(fanFace[jc]) * 3 + Next(fanCorner[jc])];
        break;
      }
    }
    if (bestVs != kNone) heap.push({best, vt, bestVs, version[vt]});
  }

  // Performs the collapse of vt onto vs (checked) and records it.
  void Apply(uint32_t vt, size_t j) {
    const size_t n = fanFace.size();
    const size_t jl = (j + 1) % n, ja = (j + 2) % n, jn = (j + n - 1) % n;
    const uint32_t L = fanFace[jl], R = fanFace[j], a = fanFace[ja], nr = fanFace[jn];
    const uint32_t vs = idx[size_t(R) * 3 + Next(fanCorner[j])];
    const uint32_t x = idx[size_t(L) * 3 + Next(fanCorner[jl])];
    const uint32_t y = idx[size_t(R) * 3 + Prev(fanCorner[j])];
    const uint32_t b = adj[size_t(L) * 3 + Next(fanCorner[jl])];
    const uint32_t fr = adj[size_t(R) * 3 + Next(fanCorner[j])];
    collapses.push_back({vt, vs, L, R, a, fanCorner[ja], uint32_t(n - 2), uint8_t(fanCorner[jl]),
                         uint8_t(fanCorner[j])});
    for (size_t i = 0; i < n; ++i)
      if (i != j && i != jl) idx[size_t(fanFace[i]) * 3 + fanCorner[i]] = vs;
    adj[size_t(a) * 3 + Prev(fanCorner[ja])] = b;
    if (b != kNone) adj[size_t(b) * 3 + uint32_t(BackEntry(b, L))] = a;
    adj[size_t(nr) * 3 + fanCorner[jn]] = fr;
    if (fr != kNone) adj[size_t(fr) * 3 + uint32_t(BackEntry(fr, R))] = nr;
    alive[L] = alive[R] = 0;
    vface[vs] = a;
    vface[x] = a;
    vface[y] = nr;
    kind[vt] = kGone;
    for (size_t i = 0; i < qs; ++i) quad[size_t(vs) * qs + i] += quad[size_t(vt) * qs + i];
  }

  // Collapses until the face target or the error bound stops it.
  void Run(uint32_t minFaces, double maxError) {
    for (uint32_t v = 0; v < nV; ++v) Evaluate(v);
    uint32_t faces = nF;
    WorkVector<uint32_t> ring;
    while (!heap.empty() && faces >= minFaces + 2) {
      const HeapEntry e = heap.top();
      heap.pop();
      if (kind[e.vt] != kMovable || e.stamp != version[e.vt]) continue;
      // Nearby collapses may have changed the fans since the entry was queued: check again.
      size_t j = kNone;
      if (Fan(e.vt, fanFace, fanCorner))
        for (size_t i = 0; i < fanFace.size(); ++i)
          if (idx[size_t(fanFace[i]) * 3 + Next(fanCorner[i])] == e.vs) j = i;
      if (j == kNone || !Valid(e.vt, j)) {
        Evaluate(e.vt);
        continue;
      }
      double w = 0;
      const double c = Cost(e.vt, e.vs, &w);
      if (maxError >= 0 && w > 0 && std::sqrt(c / w) > maxError * diagonal) break;
      Apply(e.vt, j);
      faces -= 2;
      // Everything round vs may now cost or check differently.
      if (!Fan(e.vs, fan2Face, fan2Corner)) continue;
      ring.clear();
      ring.push_back(e.vs);
      for (size_t i = 0; i < fan2Face.size(); ++i) {
        const uint32_t* t = &idx[size_t(fan2Face[i]) * 3];
        ring.push_back(t[Next(fan2Corner[i])]);
        ring.push_back(t[Prev(fan2Corner[i])]);
      }
      for (uint32_t v : ring) Evaluate(v);
    }
  }
};

// Reads the Mesh into the simplifier.
LyrResult Load(Mesh* mesh, const uint32_t* adjacency, const PMeshGenerateOptions& o,
               Simplifier& s) {
  s.nF = mesh->GetFaceCount();
  s.nV = mesh->GetVertexCount();
  if (s.nF == 0 || s.nV == 0) return ErrInvalidCall;
  VertexElement decl[MaxElementEntries];
  LyrResult r = mesh->CopyDeclaration(decl);
  if (Failed(r)) return r;
  VertexAccessorEx acc;
  AttachDeclaration(acc, decl);
  if (!acc.position) return ErrInvalidCall;
  const bool useNormal = acc.normal && o.normalWeight > 0;
  const VertexElement* tex = o.texCoordWeight > 0 ? acc.texCoord[0] : nullptr;
  const uint32_t texDim = tex ? std::min<uint32_t>(2, ElementTypeSize(tex->type) / 4) : 0;
  s.dim = 3 + (useNormal ? 3 : 0) + texDim;
  s.qs = s.dim * (s.dim + 1) / 2 + s.dim + 2;

  s.idx.resize(size_t(s.nF) * 3);
  void* p = nullptr;
  if (Failed(r = mesh->LockIndices(kLockReadOnly, &p))) return r;
  const bool wide = mesh->GetOptionBits() & MeshOptions::Index32;
  for (size_t i = 0; i < s.idx.size(); ++i)
    s.idx[i] = wide ? static_cast<const uint32_t*>(p)[i] : static_cast<const uint16_t*>(p)[i];
  mesh->UnlockIndices();
  uint32_t* ids = nullptr;
  if (Failed(r = mesh->LockAttributeIds(kLockReadOnly, &ids))) return r;
  s.attr.assign(ids, ids + s.nF);
  mesh->UnlockAttributeIds();
  for (uint32_t v : s.idx)
    if (v >= s.nV) return ErrInvalidCall;
  for (uint32_t id : s.attr)
    if (id > 0xFFFF) return ErrInvalidCall;

  s.adj.resize(size_t(s.nF) * 3);
  if (adjacency) {
    std::copy(adjacency, adjacency + s.adj.size(), s.adj.begin());
  } else if (Failed(r = mesh->AdjacencyFromPointReps(nullptr, s.adj.data()))) {
    return r;
  }
  for (uint32_t f = 0; f < s.nF; ++f)
    for (int k = 0; k < 3; ++k) {
      const uint32_t g = s.adj[size_t(f) * 3 + k];
      if (g != kNone && (g >= s.nF || g == f || s.BackEntry(g, f) < 0)) return ErrInvalidCall;
    }

  // Vertex data: positions, then the weighted normal and texture coordinates, scaled by the
  // diagonal so that the weights mean the same on any model.
  s.data.resize(size_t(s.nV) * s.dim);
  if (Failed(r = mesh->LockVertices(kLockReadOnly, &p))) return r;
  AttachStream(acc, 0, p, mesh->GetVertexStride());
  float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (uint32_t v = 0; v < s.nV; ++v) {
    float* d = &s.data[size_t(v) * s.dim];
    float t[4];
    ReadElement(acc, acc.position, v, t, 3);
    for (int c = 0; c < 3; ++c) {
      d[c] = t[c];
      lo[c] = std::min(lo[c], t[c]);
      hi[c] = std::max(hi[c], t[c]);
    }
    uint32_t o2 = 3;
    if (useNormal) {
      ReadElement(acc, acc.normal, v, t, 3);
      for (int c = 0; c < 3; ++c) d[o2++] = t[c];
    }
    if (texDim) {
      ReadElement(acc, tex, v, t, texDim);
      for (uint32_t c = 0; c < texDim; ++c) d[o2++] = t[c];
    }
  }
  mesh->UnlockVertices();
  double diag = 0;
  for (int c = 0; c < 3; ++c) diag += double(hi[c] - lo[c]) * (hi[c] - lo[c]);
  s.diagonal = diag > 0 && std::isfinite(diag) ? std::sqrt(diag) : 1.0;
  for (uint32_t v = 0; v < s.nV; ++v) {
    float* d = &s.data[size_t(v) * s.dim];
    uint32_t o2 = 3;
    if (useNormal)
      for (; o2 < 6; ++o2) d[o2] *= float(o.normalWeight * s.diagonal);
    for (; o2 < s.dim; ++o2) d[o2] *= float(o.texCoordWeight * s.diagonal);
  }

  // Fans, ranges and use counts.
  s.vface.assign(s.nV, kNone);
  s.vrange.assign(s.nV, 0);
  WorkVector<uint32_t> uses(s.nV, 0);
  for (uint32_t f = 0; f < s.nF; ++f)
    for (int k = 0; k < 3; ++k) {
      const uint32_t v = s.idx[size_t(f) * 3 + k];
      if (s.vface[v] == kNone) {
        s.vface[v] = f;
        s.vrange[v] = s.attr[f];
      }
      ++uses[v];
    }
  s.alive.assign(s.nF, 1);
  s.kind.assign(s.nV, kFrozen);
  s.version.assign(s.nV, 0);
  s.mark.assign(s.nV, 0);
  s.Classify(uses);
  // Degenerate faces pin their vertices: a fan through them is not a surface.
  for (uint32_t f = 0; f < s.nF; ++f) {
    const uint32_t* t = &s.idx[size_t(f) * 3];
    if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2])
      for (int k = 0; k < 3; ++k) s.kind[t[k]] = kFrozen;
  }
  s.BuildQuadrics();
  return Ok;
}

// Lays the result out range after range and makes the object.
LyrResult Build(Mesh* mesh, Simplifier& s, ProgressiveMesh** out, uint32_t* faceRemap,
                uint32_t* vertexRemap) {
  uint32_t ranges = 1;
  for (uint32_t id : s.attr) ranges = std::max(ranges, id + 1);
  const uint32_t m = uint32_t(s.collapses.size());
  // Per range: base faces (input order), then L and R of each record in record order (the
  // reverse of the collapses); vertices likewise, with the vt of each record.
  Vector<uint32_t> faceCount(ranges, 0), baseFaces(ranges, 0), vertCount(ranges, 0),
      baseVerts(ranges, 0);
  for (uint32_t f = 0; f < s.nF; ++f) {
    ++faceCount[s.attr[f]];
    baseFaces[s.attr[f]] += s.alive[f];
  }
  for (uint32_t v = 0; v < s.nV; ++v) {
    ++vertCount[s.vrange[v]];
    baseVerts[s.vrange[v]] += s.kind[v] != kGone;
  }
  Vector<PMRange> table(ranges);
  uint32_t fSum = 0, vSum = 0;
  for (uint32_t r = 0; r < ranges; ++r) {
    table[r] = {fSum, baseFaces[r], faceCount[r], vSum, baseVerts[r], vertCount[r]};
    fSum += faceCount[r];
    vSum += vertCount[r];
  }
  WorkVector<uint32_t> faceSlot(s.nF), vertSlot(s.nV), oldFace(s.nF), oldVert(s.nV);
  Vector<uint32_t> nextF(ranges), nextV(ranges);
  for (uint32_t r = 0; r < ranges; ++r) {
    nextF[r] = table[r].faceOffset;
    nextV[r] = table[r].vertexOffset;
  }
  for (uint32_t f = 0; f < s.nF; ++f)
    if (s.alive[f]) faceSlot[f] = nextF[s.attr[f]]++;
  for (uint32_t v = 0; v < s.nV; ++v)
    if (s.kind[v] != kGone) vertSlot[v] = nextV[s.vrange[v]]++;
  for (uint32_t i = m; i-- > 0;) {
    const Collapse& c = s.collapses[i];
    const uint32_t r = s.vrange[c.vt];
    faceSlot[c.left] = nextF[r]++;
    faceSlot[c.right] = nextF[r]++;
    vertSlot[c.vt] = nextV[r]++;
  }
  for (uint32_t f = 0; f < s.nF; ++f) oldFace[faceSlot[f]] = f;
  for (uint32_t v = 0; v < s.nV; ++v) oldVert[vertSlot[v]] = v;

  // A split writes L as (vs, vt, x) and R as (vs, y, vt), whatever corner the input face
  // starts at; records that name a corner of such a face count from the split's first corner.
  WorkVector<uint8_t> turn(s.nF, 0);
  for (const Collapse& c : s.collapses) {
    turn[c.left] = uint8_t((4 - c.leftVt) % 3);
    turn[c.right] = uint8_t((5 - c.rightVt) % 3);
  }
  Vector<VSplitRecord> records(m);
  uint32_t valence = 0;
  for (uint32_t i = 0; i < m; ++i) {
    const Collapse& c = s.collapses[m - 1 - i];
    namespace S = SplitCode;
    const uint32_t corner = (c.corner + turn[c.a]) % 3;
    records[i] = {faceSlot[c.a], uint16_t(c.walk),
                  uint16_t(corner | S::LeftKeepsVs | S::RightSameAsLeft | S::RightThirdIsVt)};
    valence = std::max(valence, c.walk);
  }

  // The base Mesh: base faces packed range after range, every vertex in slot order.
  uint32_t baseCount = 0;
  Vector<uint32_t> packedStart(ranges);
  for (uint32_t r = 0; r < ranges; ++r) {
    packedStart[r] = baseCount;
    baseCount += baseFaces[r];
  }
  const auto packed = [&](uint32_t f) {
    if (f == kNone) return kNone;
    const uint32_t r = s.attr[f];
    return packedStart[r] + faceSlot[f] - table[r].faceOffset;
  };
  VertexElement decl[MaxElementEntries];
  LyrResult res = mesh->CopyDeclaration(decl);
  if (Failed(res)) return res;
  Ref<GraphicsDevice> device;
  if (Failed(res = mesh->GetOwnerDevice(device.put()))) return res;
  const uint32_t options = mesh->GetOptionBits() & MeshOptions::CreateMask;
  Ref<Mesh> base;
  if (Failed(res = CreateMesh(baseCount, s.nV, options, decl, device.get(), base.put())))
    return res;
  WorkVector<uint32_t> baseAdj(size_t(baseCount) * 3);
  const bool wide = options & MeshOptions::Index32;
  void* p = nullptr;
  if (Failed(res = base->LockIndices(0, &p))) return res;
  for (uint32_t f = 0; f < s.nF; ++f) {
    if (!s.alive[f]) continue;
    const uint32_t pf = packed(f);
    for (int k = 0; k < 3; ++k) {
      const size_t i = size_t(pf) * 3 + k;
      const uint32_t v = vertSlot[s.idx[size_t(f) * 3 + k]];
      if (wide)
        static_cast<uint32_t*>(p)[i] = v;
      else
        static_cast<uint16_t*>(p)[i] = uint16_t(v);
      baseAdj[i] = packed(s.adj[size_t(f) * 3 + k]);
    }
  }
  base->UnlockIndices();
  const uint32_t stride = mesh->GetVertexStride();
  void* from = nullptr;
  if (Failed(res = mesh->LockVertices(kLockReadOnly, &from))) return res;
  if (Failed(res = base->LockVertices(0, &p))) {
    mesh->UnlockVertices();
    return res;
  }
  for (uint32_t v = 0; v < s.nV; ++v)
    std::memcpy(static_cast<char*>(p) + size_t(v) * stride,
                static_cast<const char*>(from) + size_t(oldVert[v]) * stride, stride);
  base->UnlockVertices();
  mesh->UnlockVertices();

  PMContents c;
  c.ranges = table.data();
  c.rangeCount = ranges;
  c.maxValence = valence;
  c.minLogicalVertices = s.nV - m;
  c.maxLogicalVertices = s.nV;
  c.splits = records.data();
  c.splitCount = m;
  if (Failed(res = CreateProgressiveMeshFromBase(base.get(), options, baseAdj.data(), c, out)))
    return res;
  if (faceRemap) std::copy(oldFace.begin(), oldFace.end(), faceRemap);
  if (vertexRemap) std::copy(oldVert.begin(), oldVert.end(), vertexRemap);
  return Ok;
}

}  // namespace

LyrResult GeneratePMesh(Mesh* mesh, const uint32_t* adjacency, const PMeshGenerateOptions& options,
                        ProgressiveMesh** out, uint32_t* faceRemap, uint32_t* vertexRemap) {
  return Guard([&]() -> LyrResult {
    if (!mesh || !out) return ErrInvalidCall;
    Simplifier s;
    LyrResult r = Load(mesh, adjacency, options, s);
    if (Failed(r)) return r;
    s.Run(options.minFaces, options.maxError);
    return Build(mesh, s, out, faceRemap, vertexRemap);
  });
}

}  // namespace lyr
