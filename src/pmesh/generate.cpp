// Progressive meshes from plain Meshes: quadric half-edge collapses recorded as vertex splits.
//
// A collapse moves a vertex vt onto a ring neighbour vs that stays where it is, so vertex data
// never changes between levels. Vertices are handled as surface points: the wedges (indices)
// that adjacency joins at one point move together. Three kinds of point move:
// - inner points (a closed fan of one index and one attribute id) onto any ring neighbour: the
//   plain two-face split (bits 0x80, 0x40, 0x200);
// - crease points (a closed fan with exactly two crease edges, both seams where both indices
//   change, or both attribute borders where only the id changes) along a crease edge: a seam
//   takes the two-face split with a second new vertex, R's corners from the near right face
//   (bits 0x80, 0x100); a border takes the plain split;
// - boundary points (an open fan of one index and one id) along the boundary edge that ends at
//   them: the one-face split (bit 0x80).
// L or R whose attribute id differs from the face the split reads it from gets a mispredict.
//
// Costs are generalised quadrics over position, the weighted normal and first texture
// coordinate set, weighted by face area, plus planes through boundary and crease edges normal to
// the surface, so that those lines keep their shape. Moving vt onto vs costs (Q[vt] + Q[vs])(vs)
// for each wedge pair, plus a small multiple of the squared edge length, which orders collapses
// on flat parts (where every quadric is zero) shortest first and keeps fans small.
//
// Speed: one entry per point in a four-way heap. A collapse prices the point it kept again; an
// inner ring point whose best move named vt or vs keeps its key as a lower bound and is priced
// again when it reaches the top; every other inner ring point is offered the one new move onto
// vs. Moves are checked when they reach the top. Points and faces are renumbered along a
// space-filling curve while simplifying, and nothing is allocated per collapse. Large meshes
// are simplified in rounds over regions of that numbering, each with its own heap, two parts of
// the regions side by side and then the rest in order, and what is left moves to dense arrays
// as it thins out (see Parts, Rounds and Compact). Records are ordered by rank (see Apply).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "core/alloc.h"
#include "core/object_impl.h"
#include "lyr/pmesh.h"
#include "lyr/vertex.h"
#include "platform/platform.h"
#include "pmesh/generate.h"
#include "pmesh/pmesh_build.h"

namespace lyr {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr double kInfinity = 1e300;
constexpr uint32_t kMaxDim = 8;           // position, normal, two texture coordinates
constexpr uint32_t kMaxFan = 0xFFFF + 2;  // the walk of a record counts up to 0xFFFF faces
constexpr uint32_t kMaxTries = 16;        // moves of one point checked per evaluation
constexpr double kEdgeWeight = 1e-4;      // squared edge length against quadric distance
constexpr double kLineWeight = 1.0;       // planes through boundary and crease edges
// Regions of 512 points: a region's faces, points and quadrics (about 100 KB) stay in the
// second-level cache while a round works on it. Below 65536 vertices the whole mesh does, and the
// order is strict.
constexpr uint32_t kRegionShift = 9;
constexpr uint32_t kRegionMinVertices = 1u << 16;
// A round takes about a tenth of the costs left (about 7% of the faces on a scan), so a level
// differs from the strictly ordered one only by the collapses of part of one round. A fifth
// made the dragon scan 15% faster, and its error at one level twice the strict order's.
constexpr double kRoundShare = 0.1;
// Compaction pays while the arrays outgrow the second-level cache.
constexpr uint32_t kCompactMinFaces = 1u << 15;
// Two parts per round: both processors of a small machine. The number is fixed, not taken from
// the machine, so that every machine makes the same progressive mesh.
constexpr uint32_t kParts = 2;
inline uint32_t Next(uint32_t k) {
  return k == 2 ? 0 : k + 1;
}
inline uint32_t Prev(uint32_t k) {
  return k == 0 ? 2 : k - 1;
}

// Kinds of surface point (indexed by the point's representative wedge).
enum PointKind : uint8_t {
  kInner = 0,     // closed fan, no crease
  kCrease = 1,    // closed fan, two creases of one type
  kBoundary = 2,  // open fan, no crease
  kFixed = 3,     // a consistent fan of any other shape: may receive, never moves
  kFrozen = 4,    // anything else: left alone
  kGone = 5,      // collapsed
};
inline bool Moves(uint8_t k) {
  return k <= kBoundary;
}

// Types of the edge between two consecutive faces of a fan.
enum EdgeType : uint8_t { kSmooth = 0, kBorder = 1, kSeam = 2, kIrregular = 3 };

struct Collapse {
  uint32_t vtL, vtR, left, right, a, corner, walk;
  uint8_t leftVt, rightVt;  // the corner of vt in L and in R
  uint16_t code;            // the record's code bits besides the corner
  double rank;              // its cost, or more: at least every rank it depends on (see Apply)

  // Names its vertices and faces in another numbering (vertex v is vertexTo[v]).
  void Renumber(const uint32_t* vertexTo, const uint32_t* faceTo) {
    vtL = vertexTo[vtL];
    if (vtR != kNone) vtR = vertexTo[vtR];
    left = faceTo[left];
    if (right != kNone) right = faceTo[right];
    a = faceTo[a];
  }
};

// A possible move of a point, named from its fan: R is the face before L round vt; a follows L.
struct Move {
  uint32_t vtL, vtR, vsL, vsR, L, R, a, nr, b, fr, walk;
  uint32_t iR;  // the fan position of R (of L for a one-face move)
  uint8_t cL, cR, ca, cn;
  bool two, seam;
  double cost, error, weight;
};

// A fan: the faces round a point and the point's corner in each, in walking order.
struct FanList {
  // Room for the longest fan, made once: walks write without checking capacity.
  WorkVector<uint32_t> face, corner;
  WorkVector<uint8_t> type;  // type of the edge between entry i and i + 1
  size_t n = 0, types = 0;
  bool closed = false;
  size_t Size() const { return n; }
  void Reserve() {
    face.resize(kMaxFan);
    corner.resize(kMaxFan);
    type.resize(kMaxFan);
  }
};

// Four-way min-heaps of points, one per region of 2^shift consecutive point numbers, with their
// keys stored in the nodes: a sift reads one cache line of children per level instead of one key
// per child scattered over the points. Region r's heap lives in items[r << shift ...].
class RegionHeaps {
 public:
  struct Node {
    double key;
    uint32_t v;
  };
  WorkVector<Node> items;
  WorkVector<uint32_t> pos;   // a point's place in its region's heap
  WorkVector<uint32_t> size;  // entries per region
  uint32_t shift = 31, regions = 0;

  void Init(uint32_t n, uint32_t regionShift) {
    shift = regionShift;
    regions = n == 0 ? 0 : ((n - 1) >> shift) + 1;
    items.resize(n);
    pos.assign(n, kNone);
    size.assign(regions, 0);
  }
  uint32_t Region(uint32_t v) const { return v >> shift; }
  size_t Base(uint32_t r) const { return size_t(r) << shift; }
  bool Empty(uint32_t r) const { return size[r] == 0; }
  uint32_t Top(uint32_t r) const { return items[Base(r)].v; }
  double TopKey(uint32_t r) const { return items[Base(r)].key; }
  bool Has(uint32_t v) const { return pos[v] != kNone; }
  double Key(uint32_t v) const { return items[Base(Region(v)) + pos[v]].key; }
  // While bulk, new entries are appended unordered; Heapify orders them all at once.
  bool bulk = false;
  void Heapify() {
    bulk = false;
    for (uint32_t r = 0; r < regions; ++r)
      for (uint32_t i = size[r]; i-- > 0;) Down(r, i);
  }
  void Set(uint32_t v, double k) {
    const uint32_t r = Region(v);
    Node* const h = &items[Base(r)];
    if (pos[v] == kNone) {
      const uint32_t i = size[r]++;
      pos[v] = i;
      h[i] = {k, v};
      if (!bulk) Up(r, i);
    } else {
      const uint32_t i = pos[v];
      const double old = h[i].key;
      h[i].key = k;
      if (Less(h[i], Node{old, v}))
        Up(r, i);
      else
        Down(r, i);
    }
  }
  void Remove(uint32_t v) {
    const uint32_t i = pos[v];
    if (i == kNone) return;
    const uint32_t r = Region(v);
    Node* const h = &items[Base(r)];
    pos[v] = kNone;
    const Node last = h[--size[r]];
    if (i == size[r]) return;
    h[i] = last;
    pos[last.v] = i;
    Up(r, i);
    Down(r, pos[last.v]);
  }

 private:
  static bool Less(const Node& a, const Node& b) {
    return a.key < b.key || (a.key == b.key && a.v < b.v);
  }
  void Up(uint32_t r, uint32_t i) {
    Node* const h = &items[Base(r)];
    const Node n = h[i];
    while (i > 0) {
      const uint32_t p = (i - 1) / 4;
      if (!Less(n, h[p])) break;
      h[i] = h[p];
      pos[h[i].v] = i;
      i = p;
    }
    h[i] = n;
    pos[n.v] = i;
  }
  void Down(uint32_t r, uint32_t i) {
    Node* const h = &items[Base(r)];
    const Node n = h[i];
    const uint32_t count = size[r];
    for (;;) {
      const uint32_t first = 4 * i + 1;
      if (first >= count) break;
      uint32_t c = first;
      const uint32_t last = std::min(first + 4, count);
      for (uint32_t j = first + 1; j < last; ++j)
        if (Less(h[j], h[c])) c = j;
      if (!Less(h[c], n)) break;
      h[i] = h[c];
      pos[h[i].v] = i;
      i = c;
    }
    h[i] = n;
    pos[n.v] = i;
  }
};

// Longest fan a collapse may touch while other workers run beside its own: bounds what a
// worker's lists can hold, so that it never allocates.
constexpr uint32_t kPartFan = 64;
// Fewest regions per part worth a round's parts.
constexpr uint32_t kMinPartRegions = 4;
constexpr uint32_t kMaxParts = 8;

// What each worker of a round keeps for itself: its walks, marks, face count and records, and
// the points it owns.
struct Worker {
  FanList fanA, fanB;  // the point being moved; vs in a check, the kept point after a collapse
  WorkVector<Move> moves;
  WorkVector<uint32_t> ring;
  WorkVector<uint32_t> mark;  // per point: stamps of this worker's walks
  uint32_t markStamp = 0;
  // Alone, a worker owns every point; beside others, points [own0, own1), regions [r0, r1).
  bool alone = true;
  uint32_t own0 = 0, own1 = kNone, r0 = 0, r1 = 0;
  uint32_t faces = 0, floor = 0;    // faces left as it counts them; it stops at floor
  Vector<Collapse>* out = nullptr;  // where it records its collapses
  Vector<Collapse> records;         // its own records while beside others
  // Points whose collapse reached another part, taken off their heaps, with their keys.
  WorkVector<RegionHeaps::Node> deferred;
  bool blocked = false;                 // a check reached a point it does not own
  bool any = false;                     // it took a heap top this round
  bool failed = false;                  // an exception ended its part
  GenerateReport did;                   // what it did
  uint32_t f0 = 0, f1 = 0, passed = 0;  // quadrics: its faces, and how many it passed on
  bool Owns(uint32_t p) const { return p >= own0 && p < own1; }
};

class Simplifier {
 public:
  uint32_t nF = 0, nV = 0, dim = 3, qs = 0, faces = 0;
  WorkVector<uint32_t> idx, adj, attr, vface, vrange, pid, target;
  WorkVector<uint8_t> alive, kind, stale;
  WorkVector<double> second;  // at most the cost of every move of the point but its target's
  WorkVector<double> reach;   // the greatest rank of the collapses that touched the point
  WorkVector<double> quad;
  WorkVector<float> data;  // dim values per vertex
  Vector<Collapse> collapses;
  bool record = true;
  double diagonal = 1.0;
  RegionHeaps heap;
  Worker work[kMaxParts];  // work[0] also does everything done in order

  bool onePerPoint = true;  // no point has two wedges: a wedge is its own point

  const float* Pos(uint32_t v) const { return data.data() + size_t(v) * dim; }
  uint32_t Pt(uint32_t v) const { return onePerPoint ? v : pid[v]; }
  uint32_t V(uint32_t f, uint32_t k) const { return idx[size_t(f) * 3 + k]; }

  int BackEntry(uint32_t g, uint32_t f) const {
    for (int j = 0; j < 3; ++j)
      if (adj[size_t(g) * 3 + j] == f) return j;
    return -1;
  }

  static uint32_t NewStamp(Worker& w) {
    if (++w.markStamp == 0) {
      std::fill(w.mark.begin(), w.mark.end(), 0u);
      w.markStamp = 1;
    }
    return w.markStamp;
  }

  // Whether every corner of the fan is the worker's (and the fan short enough for its lists).
  bool OwnsFan(const Worker& w, const FanList& F) const {
    if (w.alone) return true;
    if (F.Size() > kPartFan) return false;
    for (size_t i = 0; i < F.Size(); ++i)
      for (uint32_t k = 0; k < 3; ++k)
        if (!w.Owns(Pt(V(F.face[i], k)))) return false;
    return true;
  }

  // The fan of the point at corner c of face f, walking across the edges that start at it; an
  // open fan starts at the face whose edge ending at the point is a boundary. Wedges of one
  // point share pid. False when the adjacency does not go round one point or the fan is too long.
  bool Fan(uint32_t f, uint32_t c, FanList& out, bool withTypes = true) const {
    const uint32_t p = Pt(V(f, c));
    out.closed = false;
    uint32_t* const fs = out.face.data();
    uint32_t* const corners = out.corner.data();
    uint8_t* const types = out.type.data();
    for (int pass = 0; pass < 2; ++pass) {
      size_t n = 0, nt = 0;
      out.n = out.types = 0;
      uint32_t face = f, corner = c;
      for (;;) {
        if (n >= kMaxFan) return false;
        fs[n] = face;
        corners[n++] = corner;
        out.n = n;
        const uint32_t g = adj[size_t(face) * 3 + corner];
        if (g == kNone) break;
        const int e = BackEntry(g, face);
        if (e < 0) return false;
        const uint32_t nc = Next(uint32_t(e));
        // The edge's two ends as seen from each face.
        const uint32_t v0 = V(face, corner), w0 = V(face, Next(corner));
        const uint32_t v1 = V(g, nc), w1 = V(g, uint32_t(e));
        const bool dv = v0 != v1, dw = w0 != w1;
        if ((dv && pid[v1] != p) || (dw && pid[w1] != pid[w0])) return false;
        if (withTypes) {
          const bool da = attr[face] != attr[g];
          types[nt++] = dv && dw ? kSeam : dv || dw ? kIrregular : da ? kBorder : kSmooth;
          out.types = nt;
        }
        if (g == fs[0]) {
          if (pass == 1) return false;  // open one way, closed the other
          out.closed = true;
          return true;
        }
        face = g;
        corner = nc;
      }
      if (pass == 1) return true;
      // Open: walk back to the face whose incoming edge is a boundary, then forward again.
      uint32_t steps = 0;
      for (;;) {
        const uint32_t g = adj[size_t(f) * 3 + Prev(c)];
        if (g == kNone) break;
        const int e = BackEntry(g, f);
        if (e < 0 || Pt(V(g, uint32_t(e))) != p || ++steps > kMaxFan) return false;
        f = g;
        c = uint32_t(e);
      }
    }
    return false;
  }

  // Inner points stay inner (a collapse renames the corners of a wedge on one side of every
  // crease alike), so their fans skip the edge types.
  bool FanOf(uint32_t v, FanList& out) const {
    const uint32_t f = vface[v];
    if (f == kNone) return false;
    uint32_t c = 0;
    while (c < 3 && V(f, c) != v) ++c;
    return c < 3 && Fan(f, c, out, kind[v] != kInner);
  }

  // Sorts the points into kinds; `uses` counts the corners of each point.
  void Classify(const WorkVector<uint32_t>& uses) {
    uses_ = &uses;
    if (parts > 1 && nV >= parts) {
      SetUpParts(false);
      InParts(&Simplifier::ClassifyPart);
      EndParts();
    } else {
      ClassifyPart(work[0]);
    }
  }
  const WorkVector<uint32_t>* uses_ = nullptr;  // corners of each point, for ClassifyPart
  void ClassifyPart(Worker& w) {
    FanList& fanA = w.fanA;
    const WorkVector<uint32_t>& uses = *uses_;
    for (uint32_t v = w.own0; v < std::min(w.own1, nV); ++v) {
      if (pid[v] != v) continue;
      uint8_t k = kFrozen;
      if (FanOf(v, fanA) && fanA.Size() == uses[v]) {
        uint32_t creases = 0, seams = 0, odd = 0;
        for (size_t i = 0; i < fanA.types; ++i) {
          const uint8_t t = fanA.type[i];
          creases += t != kSmooth;
          seams += t == kSeam;
          odd += t == kIrregular;
        }
        const size_t n = fanA.Size();
        if (odd) {
          k = kFixed;
        } else if (fanA.closed) {
          k = n < 3                                        ? kFixed
              : creases == 0                               ? kInner
              : creases == 2 && (seams == 0 || seams == 2) ? kCrease
                                                           : kFixed;
        } else {
          k = creases == 0 && n >= 2 ? kBoundary : kFixed;
        }
      }
      kind[v] = k;
    }
  }

  // Adds the quadric of every face to its wedges, and the planes through its boundary and
  // crease edges.
  // Adds the quadric of every face to its wedges, and the planes through its boundary and
  // crease edges. In parts, each part zeroes and sums its own points' quadrics over the faces
  // whose least corner is its own (faces go by their least corner), at the same time; then, in
  // order, the faces with corners in later parts add to those.
  void BuildQuadrics() {
    quad.assign(size_t(nV) * qs, 0.0);
    if (parts > 1 && nV >= parts) {
      SetUpParts(false);
      // The faces of each part: faces are sorted by their least corner.
      const auto least = [&](uint32_t f) { return std::min({V(f, 0), V(f, 1), V(f, 2)}); };
      for (uint32_t k = 0; k < parts; ++k) {
        Worker& w = work[k];
        uint32_t lo = 0, hi = nF;
        while (lo < hi) {
          const uint32_t mid = lo + (hi - lo) / 2;
          if (least(mid) < w.own0)
            lo = mid + 1;
          else
            hi = mid;
        }
        w.f0 = lo;
        if (k > 0) work[k - 1].f1 = lo;
      }
      work[parts - 1].f1 = nF;
      straddle.resize(nF);
      InParts(&Simplifier::QuadricPart);
      for (uint32_t k = 0; k < parts; ++k) {
        Worker& w = work[k];
        // The corners that part did not take: the later parts'.
        for (uint32_t i = w.f0; i < w.f0 + w.passed; ++i) AddFaceQuadric(straddle[i], w.own1, nV);
      }
      EndParts();
      straddle = WorkVector<uint32_t>();
    } else {
      work[0].f0 = 0;
      work[0].f1 = nF;
      QuadricPart(work[0]);
    }
  }
  WorkVector<uint32_t> straddle;  // per part, from its first face: faces with later corners
  void QuadricPart(Worker& w) {
    w.passed = 0;
    for (uint32_t f = w.f0; f < w.f1; ++f)
      if (AddFaceQuadric(f, w.own0, w.own1)) straddle[w.f0 + w.passed++] = f;
  }

  // Adds face f's quadric, and the planes through its boundary and crease edges, to those of its
  // corners in [own0, own1); true when it passed over any.
  bool AddFaceQuadric(uint32_t f, uint32_t own0, uint32_t own1) {
    const auto owns = [&](uint32_t v) { return v >= own0 && v < own1; };
    double e1[kMaxDim], e2[kMaxDim], d2[kMaxDim];
    double face[kMaxDim * (kMaxDim + 1) / 2 + kMaxDim + 2];
    bool passed = false;
    const uint32_t* t = &idx[size_t(f) * 3];
    if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) return false;
    const float *p = Pos(t[0]), *q = Pos(t[1]), *r = Pos(t[2]);
    // Area and normal from the position part only.
    const double ux = double(q[0]) - p[0], uy = double(q[1]) - p[1], uz = double(q[2]) - p[2];
    const double vx = double(r[0]) - p[0], vy = double(r[1]) - p[1], vz = double(r[2]) - p[2];
    const double nrm[3] = {uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
    const double len = std::sqrt(nrm[0] * nrm[0] + nrm[1] * nrm[1] + nrm[2] * nrm[2]);
    const double w = 0.5 * len;
    if (!(w > 0)) return false;
    if (dim == 3) {
      // The plane's quadric: A = n n', b = d n, c = d^2 with d = -n.p.
      const double n[3] = {nrm[0] / len, nrm[1] / len, nrm[2] / len};
      const double d = -(n[0] * p[0] + n[1] * p[1] + n[2] * p[2]);
      const double plane[11] = {n[0] * n[0], n[0] * n[1], n[0] * n[2], n[1] * n[1],
                                n[1] * n[2], n[2] * n[2], d * n[0],    d * n[1],
                                d * n[2],    d * d,       1.0};
      for (int i = 0; i < 11; ++i) face[i] = w * plane[i];
    } else {
      double n1 = 0, dot = 0, n2 = 0;
      for (uint32_t i = 0; i < dim; ++i) {
        e1[i] = double(q[i]) - p[i];
        n1 += e1[i] * e1[i];
      }
      if (!(n1 > 0)) return false;
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
      if (!(n2 > 0)) return false;
      n2 = std::sqrt(n2);
      for (uint32_t i = 0; i < dim; ++i) e2[i] /= n2;
      double pe1 = 0, pe2 = 0, pp = 0;
      for (uint32_t i = 0; i < dim; ++i) {
        pe1 += p[i] * e1[i];
        pe2 += p[i] * e2[i];
        pp += double(p[i]) * p[i];
      }
      // A = I - e1 e1' - e2 e2', b = (p.e1) e1 + (p.e2) e2 - p, c = p.p - (p.e1)^2 - (p.e2)^2.
      uint32_t o = 0;
      for (uint32_t i = 0; i < dim; ++i)
        for (uint32_t j = i; j < dim; ++j)
          face[o++] = w * ((i == j) - e1[i] * e1[j] - e2[i] * e2[j]);
      for (uint32_t i = 0; i < dim; ++i) face[o++] = w * (pe1 * e1[i] + pe2 * e2[i] - p[i]);
      face[o++] = w * (pp - pe1 * pe1 - pe2 * pe2);
      face[o++] = w;
    }
    for (int k = 0; k < 3; ++k) {
      if (!owns(t[k])) {
        passed = true;
        continue;
      }
      double* qv = &quad[size_t(t[k]) * qs];
      for (uint32_t i = 0; i < qs; ++i) qv[i] += face[i];
    }
    // Boundary and crease edges: a plane through the edge, normal to the face.
    for (uint32_t k = 0; k < 3; ++k) {
      const uint32_t g = adj[size_t(f) * 3 + k];
      if (g != kNone) {
        const int e = BackEntry(g, f);
        if (e >= 0 && V(g, Next(uint32_t(e))) == t[k] && V(g, uint32_t(e)) == t[Next(k)] &&
            attr[g] == attr[f])
          continue;
      }
      const float *a = Pos(t[k]), *b = Pos(t[Next(k)]);
      const double d[3] = {double(b[0]) - a[0], double(b[1]) - a[1], double(b[2]) - a[2]};
      double m[3] = {d[1] * nrm[2] - d[2] * nrm[1], d[2] * nrm[0] - d[0] * nrm[2],
                     d[0] * nrm[1] - d[1] * nrm[0]};
      const double ml = std::sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
      if (!(ml > 0)) continue;
      for (double& x : m) x /= ml;
      const double lw = kLineWeight * (d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      const double off = -(m[0] * a[0] + m[1] * a[1] + m[2] * a[2]);
      for (uint32_t end : {t[k], t[Next(k)]}) {
        if (!owns(end)) {
          passed = true;
          continue;
        }
        double* qv = &quad[size_t(end) * qs];
        uint32_t o = 0;
        for (uint32_t i = 0; i < dim; ++i)
          for (uint32_t j = i; j < dim; ++j, ++o)
            if (j < 3) qv[o] += lw * m[i] * m[j];
        for (uint32_t i = 0; i < 3; ++i) qv[o + i] += lw * off * m[i];
        qv[o + dim] += lw * off * off;
      }
    }
    return passed;
  }

  // Q[a] at vertex b's data.
  double At(uint32_t a, uint32_t b) const {
    const double* q = &quad[size_t(a) * qs];
    const float* x = Pos(b);
    if (dim == 3) {
      const double x0 = x[0], x1 = x[1], x2 = x[2];
      return x0 * (q[0] * x0 + 2 * (q[1] * x1 + q[2] * x2 + q[6])) +
             x1 * (q[3] * x1 + 2 * (q[4] * x2 + q[7])) + x2 * (q[5] * x2 + 2 * q[8]) + q[9];
    }
    double s = 0;
    uint32_t o = 0;
    for (uint32_t i = 0; i < dim; ++i) {
      s += q[o++] * x[i] * x[i];
      for (uint32_t j = i + 1; j < dim; ++j, ++o) s += 2.0 * q[o] * x[i] * x[j];
    }
    for (uint32_t i = 0; i < dim; ++i, ++o) s += 2.0 * q[o] * x[i];
    return s + q[o];
  }

  // What a vertex's own quadric measures at its data, and its area weight: kept apart so that
  // pricing a move reads the moving vertex's quadric and only these two numbers of the other.
  struct Own {
    double error, weight;
  };
  WorkVector<Own> self;
  void SetSelf(uint32_t v) {
    self[v].error = At(v, v);
    self[v].weight = quad[size_t(v) * qs + qs - 1];
  }

  // (Q[a] + Q[b]) at vertex b's data; the area weight is added to *w.
  double Quadric(uint32_t a, uint32_t b, double* w) const {
    const double s = At(a, b) + self[b].error;
    *w += quad[size_t(a) * qs + qs - 1] + self[b].weight;
    return s > 0 ? s : 0.0;
  }

  void Price(Move& m) const {
    double w = 0;
    m.error = Quadric(m.vtL, m.vsL, &w);
    if (m.seam) m.error += Quadric(m.vtR, m.vsR, &w);
    const float *p = Pos(m.vtL), *q = Pos(m.vsL);
    double l2 = 0;
    for (int c = 0; c < 3; ++c) l2 += (double(p[c]) - q[c]) * (double(p[c]) - q[c]);
    m.weight = w;
    m.cost = m.error + kEdgeWeight * w * l2;
  }

  // The move whose R is fan entry i (closed fans), or along the boundary (open fans).
  void Fill(const FanList& F, size_t i, Move& m) const {
    const size_t n = F.Size();
    if (!F.closed) {
      m.two = m.seam = false;
      m.iR = 0;
      m.L = F.face[0];
      m.cL = uint8_t(F.corner[0]);
      m.a = F.face[1];
      m.ca = uint8_t(F.corner[1]);
      m.R = m.nr = m.fr = kNone;
      m.cR = m.cn = 0;
      m.vtL = m.vtR = V(m.L, m.cL);
      m.vsL = m.vsR = V(m.L, Prev(m.cL));
      m.walk = uint32_t(n - 1);
    } else {
      const size_t jl = (i + 1) % n, ja = (i + 2) % n, jn = (i + n - 1) % n;
      m.two = true;
      m.iR = uint32_t(i);
      m.R = F.face[i];
      m.cR = uint8_t(F.corner[i]);
      m.L = F.face[jl];
      m.cL = uint8_t(F.corner[jl]);
      m.a = F.face[ja];
      m.ca = uint8_t(F.corner[ja]);
      m.nr = F.face[jn];
      m.cn = uint8_t(F.corner[jn]);
      m.vtL = V(m.L, m.cL);
      m.vtR = V(m.R, m.cR);
      m.vsL = V(m.L, Prev(m.cL));
      m.vsR = V(m.R, Next(m.cR));
      m.seam = i < F.types && F.type[i] == kSeam;
      m.fr = adj[size_t(m.R) * 3 + Next(m.cR)];
      m.walk = uint32_t(n - 2);
    }
    m.b = adj[size_t(m.L) * 3 + Next(m.cL)];
  }

  // Lists the moves the point's kind allows (unchecked), priced.
  void ListMoves(Worker& wk, uint32_t v, const FanList& F) {
    WorkVector<Move>& moves = wk.moves;
    moves.clear();
    const size_t n = F.Size();
    Move m{};
    const auto offer = [&](size_t i) {
      Fill(F, i, m);
      const uint8_t ks = kind[Pt(m.vsL)];
      if (ks >= kFrozen) return;
      Price(m);
      moves.push_back(m);
    };
    switch (kind[v]) {
      case kInner:
        if (!F.closed || n < 3) return;
        for (size_t i = 0; i < n; ++i) offer(i);
        break;
      case kCrease: {
        if (!F.closed || F.types != n) return;
        size_t at[2], count = 0;
        for (size_t i = 0; i < n; ++i) {
          if (F.type[i] == kSmooth) continue;
          if (count == 2 || F.type[i] == kIrregular) return;
          at[count++] = i;
        }
        if (count != 2 || F.type[at[0]] != F.type[at[1]]) return;
        // A seam split gives each side its own corners: each side needs a face besides L or R.
        const size_t side = at[1] - at[0];
        if (F.type[at[0]] == kSeam && (side < 2 || n - side < 2)) return;
        offer(at[0]);
        offer(at[1]);
        break;
      }
      case kBoundary:
        if (F.closed || n < 2) return;
        for (size_t i = 0; i < F.types; ++i)
          if (F.type[i] != kSmooth) return;
        offer(0);
        break;
      default:
        break;
    }
  }

  // Whether the move keeps the surface manifold and turns no face over.
  // Beside other workers, a check that reaches a point the worker does not own sets blocked.
  bool Valid(Worker& wk, const FanList& F, const Move& m) {
    if (kind[Pt(m.vsL)] >= kFrozen) return false;
    if (m.b == m.a ||
        (m.two && (m.b == m.nr || m.fr == m.nr || m.fr == m.a || (m.b != kNone && m.b == m.fr))))
      return false;
    // Link: the ring of vs meets the ring of vt in x and y (x alone for a boundary move).
    const uint32_t ringStamp = NewStamp(wk);
    WorkVector<uint32_t>& mark = wk.mark;
    FanList& fanB = wk.fanB;
    const size_t n = F.Size();
    for (size_t i = 0; i <= n; ++i) {
      if (i == n && F.closed) break;
      const uint32_t w = i < n ? V(F.face[i], Next(F.corner[i])) : V(F.face[0], Prev(F.corner[0]));
      uint32_t& mk = mark[Pt(w)];
      if (mk == ringStamp) return false;  // a pinched fan: no move of vt is safe
      mk = ringStamp;
    }
    if (!Fan(m.L, Prev(m.cL), fanB, false)) return false;
    if (!OwnsFan(wk, fanB)) {
      wk.blocked = true;
      return false;
    }
    const uint32_t seen = NewStamp(wk);
    uint32_t shared = 0;
    for (size_t i = 0; i < fanB.Size(); ++i)
      for (uint32_t w :
           {V(fanB.face[i], Next(fanB.corner[i])), V(fanB.face[i], Prev(fanB.corner[i]))}) {
        uint32_t& mk = mark[Pt(w)];
        if (mk == ringStamp) {
          mk = seen;
          ++shared;
        }
      }
    if (shared != (m.two ? 2u : 1u)) return false;
    // No face round vt may turn over or collapse to a line.
    const float *ps = Pos(m.vsL), *p0 = Pos(m.vtL);
    for (size_t i = 0; i < n; ++i) {
      const uint32_t f = F.face[i];
      if (f == m.L || f == m.R) continue;
      const uint32_t k = F.corner[i];
      const float *p1 = Pos(V(f, Next(k))), *p2 = Pos(V(f, Prev(k)));
      double u[3], v[3], w[3], v2[3], no[3], nn[3];
      for (int c = 0; c < 3; ++c) {
        u[c] = double(p1[c]) - p0[c];
        v[c] = double(p2[c]) - p0[c];
        w[c] = double(p1[c]) - ps[c];
        v2[c] = double(p2[c]) - ps[c];
      }
      no[0] = u[1] * v[2] - u[2] * v[1];
      no[1] = u[2] * v[0] - u[0] * v[2];
      no[2] = u[0] * v[1] - u[1] * v[0];
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

  // Queues the point's cheapest move: unchecked (it is checked when it comes to the top), or
  // the cheapest that passes the checks. A point without one leaves the heap.
  // Beside other workers, a check blocked by a point it does not own leaves v as it was.
  void Evaluate(Worker& wk, uint32_t v, bool check, bool haveFan = false) {
    const FanList& fanA = wk.fanA;
    WorkVector<Move>& moves = wk.moves;
    stale[v] = 0;
    if (!Moves(kind[v]) || (!haveFan && !FanOf(v, wk.fanA))) {
      heap.Remove(v);
      return;
    }
    if (!check && kind[v] == kInner) {
      // The common case, without listing the moves: the cheapest ring neighbour.
      const FanList& F = fanA;
      if (!F.closed || F.Size() < 3) {
        heap.Remove(v);
        return;
      }
      double best = 0, next = kInfinity;
      uint32_t bestVs = kNone;
      const float* p = Pos(v);
      for (size_t i = 0; i < F.Size(); ++i) {
        const uint32_t vs = V(F.face[i], Next(F.corner[i]));
        if (kind[Pt(vs)] >= kFrozen) continue;
        double w = 0;
        const double e = Quadric(v, vs, &w);
        const float* q = Pos(vs);
        const double d0 = double(p[0]) - q[0], d1 = double(p[1]) - q[1], d2 = double(p[2]) - q[2];
        const double c = e + kEdgeWeight * w * (d0 * d0 + d1 * d1 + d2 * d2);
        if (bestVs == kNone || c < best) {
          if (bestVs != kNone) next = best;
          best = c;
          bestVs = vs;
        } else if (c < next) {
          next = c;
        }
      }
      if (bestVs == kNone) {
        heap.Remove(v);
        return;
      }
      target[v] = Pt(bestVs);
      second[v] = next;
      heap.Set(v, best);
      return;
    }
    ListMoves(wk, v, fanA);
    const auto before = [](const Move& x, const Move& y) {
      return x.cost < y.cost || (x.cost == y.cost && x.iR < y.iR);
    };
    if (!check) {
      if (moves.empty()) {
        heap.Remove(v);
        return;
      }
      std::partial_sort(moves.begin(), moves.begin() + std::min<size_t>(2, moves.size()),
                        moves.end(), before);
      target[v] = Pt(moves[0].vsL);
      second[v] = moves.size() > 1 ? moves[1].cost : kInfinity;
      heap.Set(v, moves[0].cost);
      return;
    }
    std::sort(moves.begin(), moves.end(), before);
    const size_t tries = std::min<size_t>(moves.size(), kMaxTries);
    for (size_t i = 0; i < tries; ++i) {
      const bool ok = Valid(wk, fanA, moves[i]);
      if (wk.blocked) return;
      if (ok) {
        target[v] = Pt(moves[i].vsL);
        // Cheaper moves that failed the checks may pass later: they bound the others too.
        second[v] = i > 0 ? moves[0].cost : moves.size() > 1 ? moves[1].cost : kInfinity;
        heap.Set(v, moves[i].cost);
        return;
      }
    }
    heap.Remove(v);
  }

  // The queued move of point v (fan in F), priced now; false when it is no longer there.
  bool Queued(Worker& wk, uint32_t v, const FanList& F, Move& m) {
    if (kind[v] == kInner) {
      if (!F.closed || F.Size() < 3) return false;
      for (size_t i = 0; i < F.Size(); ++i)
        if (Pt(V(F.face[i], Next(F.corner[i]))) == target[v]) {
          Fill(F, i, m);
          if (kind[Pt(m.vsL)] >= kFrozen) return false;
          Price(m);
          return true;
        }
      return false;
    }
    ListMoves(wk, v, F);
    for (const Move& c : wk.moves)
      if (Pt(c.vsL) == target[v]) {
        m = c;
        return true;
      }
    return false;
  }

  // Performs a checked move of the point whose fan is F, and records it.
  //
  // Its rank is its cost, raised to the rank of every collapse before it that touched a point of
  // the two fans (whose faces are all it reads or changes: collapses with no such point in common
  // commute). Records sorted by rank, ties in the order made, are then a valid order, and as
  // close to the cost order as the dependencies allow: the rounds and parts change which
  // collapses a level holds far less than the order they were made in.
  void Apply(Worker& wk, const FanList& F, const Move& m) {
    const size_t n = F.Size();
    double rank = m.cost >= 0 ? m.cost : 0.0;  // not a number: 0, and then what it depends on
    if (record) {
      for (const FanList* fan : {&F, static_cast<const FanList*>(&wk.fanB)})
        for (size_t i = 0; i < fan->Size(); ++i)
          for (uint32_t k = 0; k < 3; ++k) rank = std::max(rank, reach[Pt(V(fan->face[i], k))]);
      for (const FanList* fan : {&F, static_cast<const FanList*>(&wk.fanB)})
        for (size_t i = 0; i < fan->Size(); ++i)
          for (uint32_t k = 0; k < 3; ++k) reach[Pt(V(fan->face[i], k))] = rank;
    }
    for (size_t i = 0; i < n; ++i) {
      const uint32_t f = F.face[i];
      if (f == m.L || f == m.R) continue;
      uint32_t& c = idx[size_t(f) * 3 + F.corner[i]];
      c = c == m.vtL ? m.vsL : m.vsR;
    }
    adj[size_t(m.a) * 3 + Prev(m.ca)] = m.b;
    if (m.b != kNone) adj[size_t(m.b) * 3 + uint32_t(BackEntry(m.b, m.L))] = m.a;
    const uint32_t x = V(m.L, Next(m.cL));
    alive[m.L] = 0;
    vface[m.vsL] = m.a;
    vface[x] = m.a;
    uint16_t code = SplitCode::LeftKeepsVs;
    if (attr[m.L] != attr[m.a]) code |= SplitCode::LeftMispredict;
    if (m.two) {
      adj[size_t(m.nr) * 3 + m.cn] = m.fr;
      if (m.fr != kNone) adj[size_t(m.fr) * 3 + uint32_t(BackEntry(m.fr, m.R))] = m.nr;
      alive[m.R] = 0;
      vface[m.vsR] = m.nr;
      vface[V(m.R, Prev(m.cR))] = m.nr;
      code |= m.seam ? SplitCode::RightFromNear
                     : SplitCode::RightSameAsLeft | SplitCode::RightThirdIsVt;
      if (attr[m.R] != attr[m.nr]) code |= SplitCode::RightMispredict;
    }
    wk.faces -= m.two ? 2 : 1;
    for (size_t i = 0; i < qs; ++i) quad[size_t(m.vsL) * qs + i] += quad[size_t(m.vtL) * qs + i];
    SetSelf(m.vsL);
    if (m.seam) {
      for (size_t i = 0; i < qs; ++i) quad[size_t(m.vsR) * qs + i] += quad[size_t(m.vtR) * qs + i];
      SetSelf(m.vsR);
    }
    vrange[m.vtL] = attr[m.L];
    if (m.seam) vrange[m.vtR] = attr[m.R];
    kind[Pt(m.vtL)] = kGone;
    if (record)
      wk.out->push_back({m.vtL, m.seam ? m.vtR : kNone, m.L, m.two ? m.R : kNone, m.a, m.ca, m.walk,
                         m.cL, m.cR, code, rank});
  }

  // After a collapse onto point s: s itself, and its ring.
  void Update(Worker& wk, uint32_t s, uint32_t gone, uint32_t face, uint32_t corner) {
    FanList& fanA = wk.fanA;
    WorkVector<uint32_t>& ring = wk.ring;
    WorkVector<uint32_t>& mark = wk.mark;
    if (!Fan(face, corner, fanA, kind[s] != kInner)) {
      heap.Remove(s);
      return;
    }
    const uint32_t stamp = NewStamp(wk);
    mark[s] = stamp;
    ring.clear();
    for (size_t i = 0; i < fanA.Size(); ++i) {
      const uint32_t f = fanA.face[i], c = fanA.corner[i];
      for (uint32_t k : {Next(c), Prev(c)}) {
        const uint32_t w = V(f, k), u = Pt(w);
        if (mark[u] == stamp) continue;
        mark[u] = stamp;
        ring.push_back(u);
        ring.push_back(w);
        ring.push_back(V(f, c));
      }
    }
    Evaluate(wk, s, false, true);
    // An inner ring point lost its move onto vt, gained or kept one onto s (dearer now: Q[s]
    // grew), and its other moves cost what they did. The heap key stays at most the cost of
    // every move, and second[u] at most the cost of every move but target[u]'s; the key is exact
    // unless the point is stale, and a stale point is priced again when it reaches the top.
    for (size_t i = 0; i < ring.size(); i += 3) {
      const uint32_t u = ring[i];
      if (!Moves(kind[u])) continue;
      if (kind[u] != kInner || !heap.Has(u)) {
        Evaluate(wk, u, false);
        continue;
      }
      Move m{};
      m.vtL = m.vtR = ring[i + 1];
      m.vsL = m.vsR = ring[i + 2];
      Price(m);
      if (target[u] == s || target[u] == gone) {
        if (m.cost <= second[u]) {
          target[u] = s;
          stale[u] = 0;
          heap.Set(u, m.cost);
        } else {
          stale[u] = 1;
          heap.Set(u, second[u]);
        }
      } else if (m.cost <= heap.Key(u)) {
        second[u] = heap.Key(u);
        target[u] = s;
        stale[u] = 0;
        heap.Set(u, m.cost);
      } else {
        second[u] = std::min(second[u], m.cost);
      }
    }
  }

  // Prefetching round the point likely to come up next. Collapses go in cost order, which on a
  // curved surface jumps all over the mesh, so the first walk round each point is a chain of
  // cache and TLB misses, one face after the other. The least child of the top is the next top
  // about four times in five; its faces are fetched one ring further out at each step (a step
  // reads what the step before fetched), and then the data of their corners, while the current
  // collapse is worked on. Only prefetches: the collapses do not depend on it. In regions the
  // next collapse is a neighbour's, already in the cache, and the prefetches only cost: there
  // they are off (the 1M grid went 15% faster without them).
  static constexpr uint32_t kWarmFaces = 24;
  uint32_t warm[kWarmFaces];
  uint32_t warmDone = 0, warmEnd = 0;

  void Warm(uint32_t r) {
    warmDone = warmEnd = 0;
    if (heap.regions > 1) return;
    uint32_t v = kNone;
    double best = kInfinity;
    const RegionHeaps::Node* h = &heap.items[heap.Base(r)];
    for (uint32_t j = 1; j < 5 && j < heap.size[r]; ++j)
      if (h[j].key < best) {
        best = h[j].key;
        v = h[j].v;
      }
    if (v == kNone) return;
    __builtin_prefetch(&quad[size_t(v) * qs]);
    __builtin_prefetch(&quad[size_t(v) * qs + qs - 1]);
    __builtin_prefetch(&target[v]);
    const uint32_t f = vface[v];
    if (f == kNone) return;
    warm[warmEnd++] = f;
    __builtin_prefetch(&idx[size_t(f) * 3]);
    __builtin_prefetch(&adj[size_t(f) * 3]);
  }
  void WarmStep() {
    const uint32_t from = warmDone, to = warmEnd;
    warmDone = to;
    for (uint32_t i = from; i < to; ++i)
      for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t g = adj[size_t(warm[i]) * 3 + k];
        if (g == kNone || warmEnd == kWarmFaces || std::count(warm, warm + warmEnd, g)) continue;
        warm[warmEnd++] = g;
        __builtin_prefetch(&idx[size_t(g) * 3]);
        __builtin_prefetch(&adj[size_t(g) * 3]);
      }
  }
  void WarmCorners() const {
    for (uint32_t i = 0; i < warmEnd; ++i)
      for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t w = V(warm[i], k);
        __builtin_prefetch(&self[w]);
        __builtin_prefetch(Pos(w));
      }
  }

  // Regions and rounds. Taking collapses strictly in cost order jumps all over a curved surface,
  // and each collapse then waits on cache and TLB misses. Instead the points are split into
  // regions of consecutive numbers (neighbourhoods, by the space-filling-curve numbering), each
  // with its own heap, and collapsing goes in rounds: a round raises a cost bound and visits the
  // regions in order, making in each every collapse up to the bound, the new ones its own
  // collapses price below it included. The bound is a quantile of the keys left, so a round
  // takes a small share of them and every level stays close to a cost-ordered one: the costliest
  // collapse made so far is at most one round's bound past the cheapest one left anywhere.
  // regionShift 31 (one region) with an unbounded round is the strict cost order.
  uint32_t regionShift = 31;
  double roundShare = 1.0;  // share of the keys left below a round's bound; 1: no bound
  WorkVector<double> samples;
  WorkVector<uint8_t> closed;  // regions the error bound has stopped

  // A round's bound: the roundShare quantile of the keys left in open regions, estimated from
  // kSamples of them taken at even steps through the regions' heaps (cheap: the heaps are
  // contiguous), and at least `least`, the least of their tops, so that the round makes
  // progress. Deterministic.
  double Bound(double least) {
    uint64_t total = 0;
    for (uint32_t r = 0; r < heap.regions; ++r)
      if (!closed[r]) total += heap.size[r];
    samples.clear();
    // At most kSamples, so that the room reserved for them is never outgrown.
    const uint64_t step = std::max<uint64_t>(1, (total + kSamples - 1) / kSamples);
    uint64_t next = step / 2, seen = 0;
    for (uint32_t r = 0; r < heap.regions; ++r) {
      if (closed[r]) continue;
      const RegionHeaps::Node* h = &heap.items[heap.Base(r)];
      for (; next < seen + heap.size[r]; next += step) samples.push_back(h[next - seen].key);
      seen += heap.size[r];
    }
    if (samples.empty()) return least;
    const size_t k = std::min(samples.size() - 1, size_t(double(samples.size()) * roundShare));
    std::nth_element(samples.begin(), samples.begin() + k, samples.end());
    return std::max(samples[k], least);
  }
  static constexpr uint32_t kSamples = 2048;

  // Collapses until the face target or the error bound stops it.
  void Run(uint32_t minFaces, double maxError) {
    Rounds(minFaces, maxError);
    Uncompact();
    if (record) SortRecords();
  }

  // Records by rank (see Apply), ties in the order made, moved in place. A rank is a number of
  // at least 0, so its bits order as it does: one sort of 64-bit keys, the top 32 bits of the
  // rank (about six digits) above the record's number. A coarser rank still orders no record
  // before one it depends on, whose rank is at most its own.
  void SortRecords() {
    const size_t m = collapses.size();
    if (m < 2) return;
    WorkVector<uint64_t> keys(m);
    for (size_t i = 0; i < m; ++i) {
      uint64_t bits;
      std::memcpy(&bits, &collapses[i].rank, sizeof bits);
      keys[i] = (bits >> 32) << 32 | i;  // fewer than 2^32 records: one per vertex at most
    }
    std::sort(keys.begin(), keys.end());
    WorkVector<uint32_t> from(m);  // the record that goes to each place
    for (size_t i = 0; i < m; ++i) from[i] = uint32_t(keys[i]);
    // Cycle by cycle; a place done names itself.
    for (size_t p = 0; p < m; ++p) {
      if (from[p] == p) continue;
      const Collapse first = collapses[p];
      size_t q = p;
      for (;;) {
        const size_t f = from[q];
        from[q] = uint32_t(q);
        if (f == p) {
          collapses[q] = first;
          break;
        }
        collapses[q] = collapses[f];
        q = f;
      }
    }
  }

  // Compaction. As collapsing goes on, the points and faces left thin out over arrays made for
  // the whole mesh, and every collapse touches cache lines of its own. When fewer than half the
  // faces are left, the live points and faces move to dense arrays (numbered in the same order);
  // what the end needs of the arrays they leave is kept, and Uncompact writes the outcome back
  // level by level.
  uint32_t compactMinFaces = 0xFFFFFFFFu;  // no compaction below this many faces in the arrays
  struct Level {
    uint32_t nF, nV;
    WorkVector<uint32_t> idx, adj, attr, pid, vrange;
    WorkVector<uint8_t> alive, kind;
    WorkVector<uint32_t> fUp, vUp;  // a face and a vertex of the level above in this one
    size_t firstCollapse;           // collapses made above this level
  };
  Vector<Level> levels;

  // Regions the error bound has closed stay closed: no compaction once there are any.
  bool CompactNow(uint32_t left) const {
    return 2 * left < nF && nF >= compactMinFaces &&
           std::find(closed.begin(), closed.end(), 1) == closed.end();
  }

  WorkVector<RegionHeaps::Node> requeue;

  void Compact() {
    Level up;
    up.nF = nF;
    up.nV = nV;
    up.firstCollapse = collapses.size();
    WorkVector<uint32_t> vNew(nV, kNone), fNew(nF, kNone);
    uint32_t n = 0, m = 0;
    for (uint32_t v = 0; v < nV; ++v)
      if (kind[Pt(v)] != kGone) vNew[v] = n++;
    for (uint32_t f = 0; f < nF; ++f)
      if (alive[f]) fNew[f] = m++;
    up.vUp.resize(n);
    up.fUp.resize(m);
    for (uint32_t v = 0; v < nV; ++v)
      if (vNew[v] != kNone) up.vUp[vNew[v]] = v;
    for (uint32_t f = 0; f < nF; ++f)
      if (fNew[f] != kNone) up.fUp[fNew[f]] = f;
    const auto newV = [&](uint32_t v) { return v == kNone ? kNone : vNew[v]; };
    const auto newF = [&](uint32_t f) { return f == kNone ? kNone : fNew[f]; };

    // What the levels above need at the end moves to fresh arrays; the rest moves down in place
    // (an item only moves to a lower number), which also spares touching fresh memory.
    WorkVector<uint32_t> idx2(size_t(m) * 3), adj2(size_t(m) * 3), attr2(m);
    for (uint32_t f = 0; f < m; ++f) {
      const uint32_t o = up.fUp[f];
      for (int k = 0; k < 3; ++k) {
        idx2[size_t(f) * 3 + k] = vNew[idx[size_t(o) * 3 + k]];
        adj2[size_t(f) * 3 + k] = newF(adj[size_t(o) * 3 + k]);
      }
      attr2[f] = attr[o];
    }
    WorkVector<uint32_t> vrange2(n), pid2(n);
    WorkVector<uint8_t> kind2(n), alive2(m, 1);
    requeue.clear();
    requeue.reserve(n);
    for (uint32_t v = 0; v < n; ++v) {
      const uint32_t o = up.vUp[v];
      vrange2[v] = vrange[o];
      pid2[v] = vNew[pid[o]];
      kind2[v] = kind[o];
      // A live face may still be named by a vertex that lost it; FanOf then finds no fan, as
      // before. Everything else a live item names is live.
      vface[v] = newF(vface[o]);
      target[v] = newV(target[o]);
      stale[v] = stale[o];
      second[v] = second[o];
      std::copy_n(&quad[size_t(o) * qs], qs, &quad[size_t(v) * qs]);
      self[v] = self[o];
      reach[v] = reach[o];
      std::copy_n(&data[size_t(o) * dim], dim, &data[size_t(v) * dim]);
      if (heap.Has(o)) requeue.push_back({heap.Key(o), v});
    }
    vface.resize(n);
    target.resize(n);
    stale.resize(n);
    second.resize(n);
    reach.resize(n);
    quad.resize(size_t(n) * qs);
    self.resize(n);
    data.resize(size_t(n) * dim);
    // Marks only compare with the current stamp; every worker's start again.
    for (Worker& w : work)
      if (!w.mark.empty()) {
        w.mark.assign(n, 0);
        w.markStamp = 0;
      }
    up.idx.swap(idx);
    up.adj.swap(adj);
    up.attr.swap(attr);
    up.pid.swap(pid);
    up.vrange.swap(vrange);
    up.alive.swap(alive);
    up.kind.swap(kind);
    levels.push_back(std::move(up));
    idx.swap(idx2);
    adj.swap(adj2);
    attr.swap(attr2);
    alive.swap(alive2);
    vrange.swap(vrange2);
    pid.swap(pid2);
    kind.swap(kind2);
    nV = n;
    nF = m;
    heap.Init(nV, regionShift);
    heap.bulk = true;
    for (const RegionHeaps::Node& q : requeue) heap.Set(q.v, q.key);
    heap.Heapify();
    closed.assign(heap.regions, 0);
  }

  // Writes each level's outcome into the level above it, up to the caller's arrays (in the
  // space-filling-curve numbering): live faces, kinds, ranges, and the collapses made there.
  void Uncompact() {
    while (!levels.empty()) {
      Level& up = levels.back();
      for (uint32_t f = 0; f < nF; ++f) {
        const uint32_t o = up.fUp[f];
        up.alive[o] = alive[f];
        for (int k = 0; k < 3; ++k) {
          up.idx[size_t(o) * 3 + k] = up.vUp[idx[size_t(f) * 3 + k]];
          const uint32_t g = adj[size_t(f) * 3 + k];
          up.adj[size_t(o) * 3 + k] = g == kNone ? kNone : up.fUp[g];
        }
      }
      for (uint32_t v = 0; v < nV; ++v) {
        const uint32_t o = up.vUp[v];
        up.vrange[o] = vrange[v];
        up.kind[o] = kind[v];
      }
      for (size_t i = up.firstCollapse; i < collapses.size(); ++i)
        collapses[i].Renumber(up.vUp.data(), up.fUp.data());
      idx.swap(up.idx);
      adj.swap(up.adj);
      attr.swap(up.attr);
      pid.swap(up.pid);
      vrange.swap(up.vrange);
      alive.swap(up.alive);
      kind.swap(up.kind);
      nF = up.nF;
      nV = up.nV;
      levels.pop_back();
    }
  }

  // Parts. A round can first run on `parts` parts of the regions side by side, one worker each (on
  // as many threads as allowed, up to one per part), and then once more over all regions in order
  // for what the parts left. A part's worker owns the points of its regions and makes only
  // collapses whose two fans have all their corners in it: so it changes only its own points and
  // the faces all of whose corners are its own, and reads besides those only points next to
  // another part's, which no worker changes (a changed point's fan is all its worker's). A point
  // whose collapse would reach another part is taken off its heap and put back, with its last
  // key, for the pass in order. Each part also stops at its share of the faces still to go. What a
  // part does depends only on the state at the round's start, so the outcome is the same on any
  // number of threads; its records follow those of the parts before it (collapses of different
  // parts commute).
  uint32_t parts = 1, threads = 1;
  GenerateReport report;

  // Makes region r's collapses up to the bound. False when the worker's face floor stops it.
  bool Region(Worker& w, uint32_t r, double bound, double maxError) {
    const bool strict = heap.regions == 1;
    // Not "<= bound": a key that is not a number is taken in turn, as any other.
    while (!closed[r] && !heap.Empty(r) && !(heap.TopKey(r) > bound)) {
      if (w.faces <= w.floor) return false;
      // One region: no rounds to wait for.
      if (strict && CompactNow(w.faces)) {
        Compact();
        continue;
      }
      w.any = true;
      const uint32_t v = heap.Top(r);
      if (stale[v]) {
        Evaluate(w, v, false);
        continue;
      }
      if (strict) Warm(r);
      // The move queued may be stale: find it in the current fan and check it again.
      Move m{};
      const bool fan = FanOf(v, w.fanA);
      if (fan && !OwnsFan(w, w.fanA)) {
        w.blocked = true;
      } else if (!fan || !Queued(w, v, w.fanA, m) || !Valid(w, w.fanA, m)) {
        if (!w.blocked) Evaluate(w, v, true);
        if (!w.blocked) continue;
      }
      if (w.blocked) {
        // Left to the pass in order; the rest of the region too once there is no room to note it.
        if (w.deferred.size() == w.deferred.capacity()) return true;
        w.blocked = false;
        ++w.did.putOff;
        w.deferred.push_back({heap.TopKey(r), v});
        heap.Remove(v);
        continue;
      }
      if (maxError >= 0 && m.weight > 0 && std::sqrt(m.error / m.weight) > maxError * diagonal) {
        closed[r] = 1;
        break;
      }
      if (w.faces < w.floor + (m.two ? 2u : 1u)) return false;
      ++w.did.collapses;
      // Beyond rounding: a key and the cost priced again can differ in the last bits where
      // intermediates are wider than doubles.
      w.did.overBound += m.cost > bound + 1e-9 * bound;
      heap.Remove(v);
      if (strict) WarmStep();
      Apply(w, w.fanA, m);
      if (strict) WarmStep();
      Update(w, Pt(m.vsL), v, m.a, m.ca);
      if (strict) {
        WarmStep();
        WarmCorners();
      }
    }
    return true;
  }

  // Runs job on every part's worker, on up to `threads` threads: thread t takes parts t,
  // t + threads, ... Where no thread can be had, the calling thread does that share too.
  using Job = void (Simplifier::*)(Worker&);
  struct PartJob {
    Simplifier* s;
    Job job;
    uint32_t first, step;
  };
  static void RunParts(void* arg) {
    const PartJob& j = *static_cast<const PartJob*>(arg);
    for (uint32_t k = j.first; k < j.s->parts; k += j.step) {
      Worker& w = j.s->work[k];
      try {
        (j.s->*j.job)(w);
      } catch (...) {
        w.failed = true;
      }
    }
  }
  void InParts(Job job) {
    const uint32_t t = std::max(1u, std::min(threads, parts));
    PartJob jobs[kMaxParts] = {};
    platform::Thread helpers[kMaxParts];
    bool started[kMaxParts] = {};
    for (uint32_t i = 0; i < t; ++i) jobs[i] = {this, job, i, t};
    for (uint32_t i = 1; i < t; ++i) started[i] = helpers[i].Start(&RunParts, &jobs[i]);
    RunParts(&jobs[0]);
    for (uint32_t i = 1; i < t; ++i) {
      if (started[i])
        helpers[i].Join();
      else
        RunParts(&jobs[i]);
    }
    for (uint32_t k = 0; k < parts; ++k)
      if (work[k].failed) throw std::bad_alloc();
  }

  // Gives each worker its points, whole regions when `regions` (else even shares), and room
  // for its walks and lists, made here on this thread: a worker never allocates (beside others
  // its fans are at most kPartFan long, and a collapse's fan at most twice that).
  void SetUpParts(bool regions) {
    const uint32_t n = parts, per = regions ? heap.regions / n : 0;
    for (uint32_t k = 0; k < n; ++k) {
      Worker& w = work[k];
      w.alone = false;
      w.any = w.blocked = w.failed = false;
      if (regions) {
        w.r0 = k * per;
        w.r1 = k + 1 == n ? heap.regions : (k + 1) * per;
        w.own0 = uint32_t(std::min<uint64_t>(nV, uint64_t(w.r0) << heap.shift));
        w.own1 = uint32_t(std::min<uint64_t>(nV, uint64_t(w.r1) << heap.shift));
      } else {
        w.own0 = uint32_t(uint64_t(nV) * k / n);
        w.own1 = uint32_t(uint64_t(nV) * (k + 1) / n);
      }
      if (w.mark.size() != nV) {
        w.mark.assign(nV, 0);
        w.markStamp = 0;
      }
      w.fanA.Reserve();
      w.fanB.Reserve();
      w.moves.reserve(kPartFan);
      w.ring.reserve(3 * 2 * 2 * kPartFan);
    }
  }
  void EndParts() {
    for (Worker& w : work) {
      w.alone = true;
      w.blocked = false;
      w.own0 = 0;
      w.own1 = kNone;
    }
  }

  // The first pricing of every point, in parts (nothing else changes meanwhile).
  void PricePart(Worker& w) {
    for (uint32_t v = w.own0; v < w.own1; ++v)
      if (pid[v] == v) Evaluate(w, v, false);
  }

  // A part of a round: its regions in order, until its face floor stops it.
  double roundBound = 0, roundMaxError = -1;
  void RoundPart(Worker& w) {
    for (uint32_t r = w.r0; r < w.r1; ++r) {
      w.blocked = false;
      if (!Region(w, r, roundBound, roundMaxError)) break;
    }
  }

  // Sets a round's parts up, runs them and merges what they did; true when any took a heap top.
  bool Parts(double bound, uint32_t minFaces, double maxError) {
    SetUpParts(true);
    const uint32_t n = parts, spare = faces - minFaces;
    for (uint32_t k = 0; k < n; ++k) {
      Worker& w = work[k];
      w.faces = faces;
      w.floor = faces - (spare / n + (k < spare % n ? 1 : 0));
      w.out = k == 0 ? &collapses : &w.records;
      w.records.clear();
      w.deferred.clear();
      if (record) w.records.reserve(w.own1 - w.own0);
      w.deferred.reserve(w.own1 - w.own0);
    }
    roundBound = bound;
    roundMaxError = maxError;
    InParts(&Simplifier::RoundPart);
    bool any = false;
    uint32_t removed = 0;
    for (uint32_t k = 0; k < n; ++k) {
      Worker& w = work[k];
      report.collapses += w.did.collapses;
      report.inParts += w.did.collapses;
      report.putOff += w.did.putOff;
      report.overBound += w.did.overBound;
      w.did = {};
      any = any || w.any;
      removed += faces - w.faces;
      if (k > 0) collapses.insert(collapses.end(), w.records.begin(), w.records.end());
      // A point put off twice (priced again by a neighbour's collapse in between) takes its
      // last key: the earlier one is out of date.
      for (size_t i = w.deferred.size(); i-- > 0;) {
        const RegionHeaps::Node& d = w.deferred[i];
        if (!heap.Has(d.v) && Moves(kind[d.v])) heap.Set(d.v, d.key);
      }
    }
    EndParts();
    faces -= removed;
    return any;
  }

  void Rounds(uint32_t minFaces, double maxError) {
    Worker& w0 = work[0];
    w0.out = &collapses;
    heap.Init(nV, regionShift);
    closed.assign(heap.regions, 0);
    samples.reserve(kSamples);
    heap.bulk = true;
    if (parts > 1 && heap.regions >= parts) {
      SetUpParts(true);
      InParts(&Simplifier::PricePart);
      EndParts();
    } else {
      for (uint32_t v = 0; v < nV; ++v)
        if (pid[v] == v) Evaluate(w0, v, false);
    }
    heap.Heapify();
    constexpr double kUnbounded = std::numeric_limits<double>::infinity();
    for (;;) {
      if (CompactNow(faces)) Compact();
      double least = kUnbounded;
      bool open = false;
      for (uint32_t r = 0; r < heap.regions; ++r)
        if (!closed[r] && !heap.Empty(r)) {
          open = true;
          least = std::min(least, heap.TopKey(r));
        }
      if (!open) return;
      const double bound = roundShare < 1.0 ? Bound(least) : kUnbounded;
      bool any = false;
      if (parts > 1 && bound != kUnbounded && heap.regions >= parts * kMinPartRegions &&
          faces > minFaces)
        any = Parts(bound, minFaces, maxError);
      w0.faces = faces;
      w0.floor = minFaces;
      w0.any = false;
      bool stopped = false;
      for (uint32_t r = 0; r < heap.regions && !stopped; ++r)
        stopped = !Region(w0, r, bound, maxError);
      faces = w0.faces;
      report.collapses += w0.did.collapses;
      report.overBound += w0.did.overBound;
      w0.did = {};
      if (stopped) return;
      if (!(any || w0.any) || bound == kUnbounded) return;
    }
  }

  // Everything the arrays need besides the vertex data: points, kinds, quadrics.
  void Prepare() {
    vface.assign(nV, kNone);
    vrange.assign(nV, 0);
    pid.resize(nV);
    for (uint32_t v = 0; v < nV; ++v) pid[v] = v;
    // Wedges that adjacency joins are one point (union by the smaller index).
    const auto find = [&](uint32_t v) {
      while (pid[v] != v) v = pid[v] = pid[pid[v]];
      return v;
    };
    for (uint32_t f = 0; f < nF; ++f)
      for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t g = adj[size_t(f) * 3 + k];
        if (g == kNone || g < f) continue;
        const int e = BackEntry(g, f);
        const uint32_t pairs[2][2] = {{V(f, k), V(g, Next(uint32_t(e)))},
                                      {V(f, Next(k)), V(g, uint32_t(e))}};
        for (const auto& pr : pairs) {
          const uint32_t a = find(pr[0]), b = find(pr[1]);
          if (a != b) pid[std::max(a, b)] = std::min(a, b);
        }
      }
    for (uint32_t v = 0; v < nV; ++v) {
      pid[v] = find(v);
      onePerPoint = onePerPoint && pid[v] == v;
    }
    WorkVector<uint32_t> uses(nV, 0);
    for (uint32_t f = 0; f < nF; ++f)
      for (int k = 0; k < 3; ++k) {
        const uint32_t v = idx[size_t(f) * 3 + k];
        if (vface[v] == kNone) {
          vface[v] = f;
          vrange[v] = attr[f];
        }
        ++uses[pid[v]];
      }
    alive.assign(nF, 1);
    kind.assign(nV, kFrozen);
    target.assign(nV, kNone);
    stale.assign(nV, 0);
    second.assign(nV, kInfinity);
    Worker& w0 = work[0];
    w0.mark.assign(nV, 0);
    w0.fanA.Reserve();
    w0.fanB.Reserve();
    w0.moves.reserve(64);
    w0.ring.reserve(192);
    Classify(uses);
    // Degenerate faces pin their points: a fan through them is not a surface.
    for (uint32_t f = 0; f < nF; ++f) {
      const uint32_t* t = &idx[size_t(f) * 3];
      if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2])
        for (int k = 0; k < 3; ++k) kind[pid[t[k]]] = kFrozen;
    }
    // Wedges carry their point's kind.
    for (uint32_t v = 0; v < nV; ++v) kind[v] = kind[pid[v]];
    BuildQuadrics();
    self.resize(nV);
    reach.assign(nV, 0.0);
    for (uint32_t v = 0; v < nV; ++v) SetSelf(v);
    faces = nF;
    if (record) collapses.reserve(nV);
  }

  // Checks indices and adjacency (named back, in range).
  bool CheckTopology() const {
    for (uint32_t v : idx)
      if (v >= nV) return false;
    for (uint32_t f = 0; f < nF; ++f)
      for (int k = 0; k < 3; ++k) {
        const uint32_t g = adj[size_t(f) * 3 + k];
        if (g != kNone && (g >= nF || g == f || BackEntry(g, f) < 0)) return false;
      }
    return true;
  }

  // Renumbers vertices along a space-filling curve and faces by their first vertex, so that the
  // collapses, which work on one neighbourhood at a time, find their faces and vertices close
  // together in memory. Build names the caller's faces and vertices through vOld and fOld; Restore
  // gives the plain simplifier back the caller's numbering.
  WorkVector<uint32_t> vOld, fOld;
  void Reorder(const float lo[3], const float hi[3]) {
    // Keys sorted with their vertices beside them: an indirect sort would miss the cache twice
    // per comparison.
    struct Keyed {
      uint64_t key;
      uint32_t v;
    };
    WorkVector<Keyed> keys(nV);
    double scale[3];
    for (int c = 0; c < 3; ++c)
      scale[c] = hi[c] > lo[c] ? double(0x1FFFFF) / (double(hi[c]) - lo[c]) : 0.0;
    const auto spread = [](uint64_t x) {
      x &= 0x1FFFFF;
      x = (x | x << 32) & 0x1F00000000FFFFull;
      x = (x | x << 16) & 0x1F0000FF0000FFull;
      x = (x | x << 8) & 0x100F00F00F00F00Full;
      x = (x | x << 4) & 0x10C30C30C30C30C3ull;
      x = (x | x << 2) & 0x1249249249249249ull;
      return x;
    };
    for (uint32_t v = 0; v < nV; ++v) {
      const float* p = Pos(v);
      uint64_t code = 0;
      for (int c = 0; c < 3; ++c) {
        const double q = (double(p[c]) - lo[c]) * scale[c];
        code |= spread(q > 0 && q < double(0x1FFFFF) ? uint64_t(q) : q > 0 ? 0x1FFFFF : 0) << c;
      }
      keys[v] = {code, v};
    }
    std::sort(keys.begin(), keys.end(), [](const Keyed& a, const Keyed& b2) {
      return a.key < b2.key || (a.key == b2.key && a.v < b2.v);
    });
    vOld.resize(nV);
    for (uint32_t v = 0; v < nV; ++v) vOld[v] = keys[v].v;
    WorkVector<uint32_t> vNew(nV), start(size_t(nV) + 1, 0);
    for (uint32_t v = 0; v < nV; ++v) vNew[vOld[v]] = v;
    for (uint32_t f = 0; f < nF; ++f) {
      const uint32_t* t = &idx[size_t(f) * 3];
      ++start[std::min({vNew[t[0]], vNew[t[1]], vNew[t[2]]}) + 1];
    }
    for (uint32_t v = 0; v < nV; ++v) start[v + 1] += start[v];
    fOld.resize(nF);
    WorkVector<uint32_t> fNew(nF);
    for (uint32_t f = 0; f < nF; ++f) {
      const uint32_t* t = &idx[size_t(f) * 3];
      const uint32_t at = start[std::min({vNew[t[0]], vNew[t[1]], vNew[t[2]]})]++;
      fOld[at] = f;
      fNew[f] = at;
    }
    WorkVector<uint32_t> i2(idx.size()), a2(adj.size()), at2(nF);
    for (uint32_t f = 0; f < nF; ++f) {
      const uint32_t o = fOld[f];
      for (int k = 0; k < 3; ++k) {
        i2[size_t(f) * 3 + k] = vNew[idx[size_t(o) * 3 + k]];
        const uint32_t g = adj[size_t(o) * 3 + k];
        a2[size_t(f) * 3 + k] = g == kNone ? kNone : fNew[g];
      }
      at2[f] = attr[o];
    }
    idx.swap(i2);
    adj.swap(a2);
    attr.swap(at2);
    WorkVector<float> d2(data.size());
    for (uint32_t v = 0; v < nV; ++v)
      std::copy_n(&data[size_t(vOld[v]) * dim], dim, &d2[size_t(v) * dim]);
    data.swap(d2);
  }

  // Back to the caller's numbering: what Build and the plain simplifier read.
  void Restore() {
    // Written in the caller's order from a pass in ours. Indices and neighbours only of the
    // faces left: nothing reads those of the others.
    WorkVector<uint32_t> i2(idx.size()), a2(adj.size()), at2(nF), p2(nV), r2(nV);
    WorkVector<uint8_t> al2(nF), k2(nV);
    for (uint32_t n = 0; n < nF; ++n) {
      const uint32_t f = fOld[n];
      at2[f] = attr[n];
      al2[f] = alive[n];
      if (!alive[n]) continue;
      for (int k = 0; k < 3; ++k) {
        i2[size_t(f) * 3 + k] = vOld[idx[size_t(n) * 3 + k]];
        const uint32_t g = adj[size_t(n) * 3 + k];
        a2[size_t(f) * 3 + k] = g == kNone ? kNone : fOld[g];
      }
    }
    for (uint32_t n = 0; n < nV; ++n) {
      const uint32_t v = vOld[n];
      p2[v] = vOld[pid[n]];
      r2[v] = vrange[n];
      k2[v] = kind[n];
    }
    idx.swap(i2);
    adj.swap(a2);
    attr.swap(at2);
    alive.swap(al2);
    pid.swap(p2);
    vrange.swap(r2);
    kind.swap(k2);
    for (Collapse& c : collapses) c.Renumber(vOld.data(), fOld.data());
  }

  void SetDiagonal(const float lo[3], const float hi[3]) {
    double diag = 0;
    for (int c = 0; c < 3; ++c) diag += double(hi[c] - lo[c]) * (hi[c] - lo[c]);
    diagonal = diag > 0 && std::isfinite(diag) ? std::sqrt(diag) : 1.0;
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
  for (uint32_t id : s.attr)
    if (id > 0xFFFF) return ErrInvalidCall;
  for (uint32_t v : s.idx)
    if (v >= s.nV) return ErrInvalidCall;

  s.adj.resize(size_t(s.nF) * 3);
  if (adjacency) {
    std::copy(adjacency, adjacency + s.adj.size(), s.adj.begin());
  } else if (Failed(r = mesh->AdjacencyFromPointReps(nullptr, s.adj.data()))) {
    return r;
  }
  if (!s.CheckTopology()) return ErrInvalidCall;

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
  s.SetDiagonal(lo, hi);
  s.Reorder(lo, hi);
  for (uint32_t v = 0; v < s.nV; ++v) {
    float* d = &s.data[size_t(v) * s.dim];
    uint32_t o2 = 3;
    if (useNormal)
      for (; o2 < 6; ++o2) d[o2] *= float(o.normalWeight * s.diagonal);
    for (; o2 < s.dim; ++o2) d[o2] *= float(o.texCoordWeight * s.diagonal);
  }
  s.Prepare();
  return Ok;
}

// Lays the result out range after range and makes the object.
LyrResult Build(Mesh* mesh, Simplifier& s, ProgressiveMesh** out, uint32_t* faceRemap,
                uint32_t* vertexRemap) {
  uint32_t ranges = 1;
  for (uint32_t id : s.attr) ranges = std::max(ranges, id + 1);
  const uint32_t m = uint32_t(s.collapses.size());
  // Per range: base faces (in the simplifier's order: along the space-filling curve), then L and
  // R of each record in record order (the reverse of the collapses); vertices likewise, with the
  // vt of each record. s keeps its own numbering; vOld and fOld name the caller's.
  Vector<uint32_t> faceCount(ranges, 0), baseFaces(ranges, 0), vertCount(ranges, 0),
      baseVerts(ranges, 0);
  for (uint32_t f = 0; f < s.nF; ++f) {
    ++faceCount[s.attr[f]];
    baseFaces[s.attr[f]] += s.alive[f];
  }
  for (uint32_t v = 0; v < s.nV; ++v) {
    ++vertCount[s.vrange[v]];
    baseVerts[s.vrange[v]] += s.kind[s.pid[v]] != kGone;
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
    if (s.kind[s.pid[v]] != kGone) vertSlot[v] = nextV[s.vrange[v]]++;
  // A split takes L, then R, at the ends of their ranges, and its new vertices likewise.
  for (uint32_t i = m; i-- > 0;) {
    const Collapse& c = s.collapses[i];
    faceSlot[c.left] = nextF[s.attr[c.left]]++;
    if (c.right != kNone) faceSlot[c.right] = nextF[s.attr[c.right]]++;
    vertSlot[c.vtL] = nextV[s.vrange[c.vtL]]++;
    if (c.vtR != kNone) vertSlot[c.vtR] = nextV[s.vrange[c.vtR]]++;
  }
  for (uint32_t f = 0; f < s.nF; ++f) oldFace[faceSlot[f]] = f;
  for (uint32_t v = 0; v < s.nV; ++v) oldVert[vertSlot[v]] = v;

  // A split writes L as (vs, vt, x) and R as (vs, y, vt), whatever corner the input face
  // starts at; records that name a corner of such a face count from the split's first corner.
  WorkVector<uint8_t> turn(s.nF, 0);
  for (const Collapse& c : s.collapses) {
    turn[c.left] = uint8_t((4 - c.leftVt) % 3);
    if (c.right != kNone) turn[c.right] = uint8_t((5 - c.rightVt) % 3);
  }
  Vector<VSplitRecord> records(m);
  Vector<uint16_t> mispredicts;
  uint32_t valence = 0, mispredictCount = 0;
  for (const Collapse& c : s.collapses)
    mispredictCount +=
        ((c.code & SplitCode::LeftMispredict) != 0) + ((c.code & SplitCode::RightMispredict) != 0);
  mispredicts.reserve(mispredictCount);
  for (uint32_t i = 0; i < m; ++i) {
    const Collapse& c = s.collapses[m - 1 - i];
    const uint32_t corner = (c.corner + turn[c.a]) % 3;
    records[i] = {faceSlot[c.a], uint16_t(c.right != kNone ? c.walk : 0),
                  uint16_t(corner | c.code)};
    if (c.code & SplitCode::LeftMispredict) mispredicts.push_back(uint16_t(s.attr[c.left]));
    if (c.code & SplitCode::RightMispredict) mispredicts.push_back(uint16_t(s.attr[c.right]));
    // The corners round the split vertex: the walk with L (and R).
    valence = std::max(valence, c.walk + (c.right != kNone ? 2 : 1));
  }
  uint32_t points = 0;
  for (uint32_t v = 0; v < s.nV; ++v) points += s.pid[v] == v;

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
                static_cast<const char*>(from) + size_t(s.vOld[oldVert[v]]) * stride, stride);
  base->UnlockVertices();
  mesh->UnlockVertices();

  PMContents c;
  c.ranges = table.data();
  c.rangeCount = ranges;
  c.maxValence = valence;
  c.minLogicalVertices = points - m;
  c.maxLogicalVertices = points;
  c.splits = records.data();
  c.splitCount = m;
  c.mispredicts = mispredicts.data();
  c.mispredictCount = uint32_t(mispredicts.size());
  if (Failed(res = CreateProgressiveMeshFromBase(base.get(), options, baseAdj.data(), c, out)))
    return res;
  if (faceRemap)
    for (uint32_t f = 0; f < s.nF; ++f) faceRemap[f] = s.fOld[oldFace[f]];
  if (vertexRemap)
    for (uint32_t v = 0; v < s.nV; ++v) vertexRemap[v] = s.vOld[oldVert[v]];
  return Ok;
}

}  // namespace

CollapseOrder DefaultCollapseOrder(uint32_t vertices) {
  CollapseOrder o;
  if (vertices >= kRegionMinVertices) {
    o.regionShift = kRegionShift;
    o.roundShare = kRoundShare;
    o.compactMinFaces = kCompactMinFaces;
    o.parts = kParts;
  }
  return o;
}

LyrResult GeneratePMeshInOrder(Mesh* mesh, const uint32_t* adjacency,
                               const PMeshGenerateOptions& options, const CollapseOrder& order,
                               ProgressiveMesh** out, uint32_t* faceRemap, uint32_t* vertexRemap,
                               GenerateReport* report) {
  return Guard([&]() -> LyrResult {
    if (!mesh || !out || order.regionShift == 0 || order.regionShift > 31 ||
        !(order.roundShare > 0 && order.roundShare <= 1) || order.parts == 0 ||
        order.parts > kMaxParts)
      return ErrInvalidCall;
    Simplifier s;
    s.regionShift = order.regionShift;
    s.roundShare = order.roundShare;
    s.compactMinFaces = order.compactMinFaces;
    s.parts = order.parts;
    s.threads = options.threads ? options.threads : platform::ProcessorCount();
    LyrResult r = Load(mesh, adjacency, options, s);
    if (Failed(r)) return r;
    s.Run(options.minFaces, options.maxError);
    if (report) *report = s.report;
    // Build reads the simplifier's own numbering and names the caller's through vOld and fOld.
    return Build(mesh, s, out, faceRemap, vertexRemap);
  });
}

LyrResult GeneratePMesh(Mesh* mesh, const uint32_t* adjacency, const PMeshGenerateOptions& options,
                        ProgressiveMesh** out, uint32_t* faceRemap, uint32_t* vertexRemap) {
  return GeneratePMeshInOrder(mesh, adjacency, options,
                              DefaultCollapseOrder(mesh ? mesh->GetVertexCount() : 0), out,
                              faceRemap, vertexRemap);
}

LyrResult SimplifyTriangles(const float* positions, uint32_t vertexCount, const uint32_t* indices,
                            const uint32_t* adjacency, uint32_t faceCount, uint32_t minFaces,
                            uint32_t* out, uint32_t* faces) {
  return Guard([&]() -> LyrResult {
    if (!positions || !indices || !adjacency || !out || !faces || faceCount == 0 ||
        vertexCount == 0)
      return ErrInvalidCall;
    Simplifier s;
    s.record = false;
    s.nF = faceCount;
    s.nV = vertexCount;
    s.dim = 3;
    s.qs = 3 * 4 / 2 + 3 + 2;
    s.idx.assign(indices, indices + size_t(faceCount) * 3);
    s.adj.assign(adjacency, adjacency + size_t(faceCount) * 3);
    s.attr.assign(faceCount, 0);
    if (!s.CheckTopology()) return ErrInvalidCall;
    s.data.assign(positions, positions + size_t(vertexCount) * 3);
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (uint32_t v = 0; v < vertexCount; ++v)
      for (int c = 0; c < 3; ++c) {
        lo[c] = std::min(lo[c], positions[v * 3 + c]);
        hi[c] = std::max(hi[c], positions[v * 3 + c]);
      }
    s.SetDiagonal(lo, hi);
    s.Reorder(lo, hi);
    s.Prepare();
    s.Run(minFaces, -1.0);
    s.Restore();
    uint32_t n = 0;
    for (uint32_t f = 0; f < faceCount; ++f)
      if (s.alive[f]) std::copy_n(&s.idx[size_t(f) * 3], 3, out + size_t(n++) * 3);
    *faces = n;
    return Ok;
  });
}

}  // namespace lyr
