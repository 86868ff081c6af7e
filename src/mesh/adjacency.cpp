#include "mesh/adjacency.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lyr::adjacency {
namespace {

struct Vec3 {
  float x, y, z;
};

Vec3 Position(const MeshView& m, uint32_t v) {
  Vec3 p = {0, 0, 0};
  if (m.positions) std::memcpy(&p, m.positions + size_t(v) * m.stride, sizeof p);
  return p;
}

// The unit normal of a face (zero for a degenerate one or without positions).
Vec3 FaceNormal(const MeshView& m, uint32_t f) {
  const uint32_t* t = m.indices + size_t(f) * 3;
  const Vec3 a = Position(m, t[0]), b = Position(m, t[1]), c = Position(m, t[2]);
  const Vec3 u = {b.x - a.x, b.y - a.y, b.z - a.z}, w = {c.x - a.x, c.y - a.y, c.z - a.z};
  Vec3 n = {u.y * w.z - u.z * w.y, u.z * w.x - u.x * w.z, u.x * w.y - u.y * w.x};
  const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  if (len > 0) n = {n.x / len, n.y / len, n.z / len};
  return n;
}

// One edge of a face in the hash table: start and end representatives, the corner it starts
// at (face * 3 + corner) and the next record of its bucket.
struct EdgeRecord {
  uint32_t start, end, third;
  uint32_t corner;
  uint32_t link;
  bool alive;
};

// The faces of each vertex, for the "shares a face" test.
struct VertexFaces {
  Vector<uint32_t> first, faces;
  void Build(const MeshView& m) {
    first.assign(size_t(m.vertexCount) + 1, 0);
    for (uint32_t f = 0; f < m.faceCount; ++f) {
      const uint32_t* t = m.indices + size_t(f) * 3;
      if (t[0] == kNone) continue;
      for (int c = 0; c < 3; ++c) ++first[t[c] + 1];
    }
    for (uint32_t v = 0; v < m.vertexCount; ++v) first[v + 1] += first[v];
    faces.resize(first[m.vertexCount]);
    Vector<uint32_t> fill(first.begin(), first.end() - 1);
    for (uint32_t f = 0; f < m.faceCount; ++f) {
      const uint32_t* t = m.indices + size_t(f) * 3;
      if (t[0] == kNone) continue;
      for (int c = 0; c < 3; ++c) faces[fill[t[c]]++] = f;
    }
  }
  bool ShareFace(const MeshView& m, uint32_t a, uint32_t b) const {
    if (first[a + 1] - first[a] > first[b + 1] - first[b]) std::swap(a, b);
    for (uint32_t i = first[a]; i < first[a + 1]; ++i) {
      const uint32_t* t = m.indices + size_t(faces[i]) * 3;
      if (t[0] == b || t[1] == b || t[2] == b) return true;
    }
    return false;
  }
};

// Position key for hashing: the bit patterns of x, y, z, with -0 taken as 0 so that equal
// coordinates always meet in one bucket.
uint32_t Bits(float f) {
  if (f == 0) f = 0;
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

}  // namespace

LyrResult CheckView(const MeshView& m) {
  if (m.faceCount && !m.indices) return ErrInvalidCall;
  for (uint32_t f = 0; f < m.faceCount; ++f) {
    const uint32_t* t = m.indices + size_t(f) * 3;
    if (t[0] != kNone && (t[0] >= m.vertexCount || t[1] >= m.vertexCount || t[2] >= m.vertexCount))
      return ErrInvalidCall;
  }
  for (uint32_t r = 0; r < m.rangeCount; ++r)
    if (uint64_t(m.ranges[r].firstFace) + m.ranges[r].faceCount > m.faceCount)
      return ErrInvalidCall;
  return Ok;
}

LyrResult AdjacencyFromPointReps(const MeshView& m, const uint32_t* reps, uint32_t* adj) {
  if (!adj) return ErrInvalidCall;
  if (LyrResult r = CheckView(m); Failed(r)) return r;
  if (reps)
    for (uint32_t v = 0; v < m.vertexCount; ++v)
      if (reps[v] >= m.vertexCount) return ErrInvalidCall;
  auto rep = [&](uint32_t v) { return reps ? reps[v] : v; };
  const FaceRange whole = {0, m.faceCount};
  const FaceRange* ranges = m.rangeCount ? m.ranges : &whole;
  const uint32_t rangeCount = m.rangeCount ? m.rangeCount : 1;

  const uint32_t buckets = std::max(1u, m.vertexCount / 3);
  Vector<uint32_t> head(buckets, kNone);
  Vector<EdgeRecord> records;
  records.reserve(size_t(m.faceCount) * 3);
  // Face usable for adjacency: used, with three distinct representatives.
  auto usable = [&](uint32_t f, uint32_t* r) {
    const uint32_t* t = m.indices + size_t(f) * 3;
    if (t[0] == kNone) return false;
    r[0] = rep(t[0]);
    r[1] = rep(t[1]);
    r[2] = rep(t[2]);
    return r[0] != r[1] && r[1] != r[2] && r[0] != r[2];
  };
  // Which range each face is matched in (the first that lists it).
  Vector<uint32_t> rangeOf(m.faceCount, kNone);
  for (uint32_t g = 0; g < rangeCount; ++g)
    for (uint32_t f = ranges[g].firstFace; f < ranges[g].firstFace + ranges[g].faceCount; ++f)
      if (rangeOf[f] == kNone) rangeOf[f] = g;
  for (uint32_t f = 0; f < m.faceCount; ++f) {
    uint32_t r[3];
    if (rangeOf[f] == kNone || !usable(f, r)) continue;
    for (uint32_t k = 0; k < 3; ++k) {
      const uint32_t b = r[k] % buckets;
      records.push_back({r[k], r[(k + 1) % 3], r[(k + 2) % 3], f * 3 + k, head[b], true});
      head[b] = static_cast<uint32_t>(records.size() - 1);
    }
  }
  std::fill(adj, adj + size_t(m.faceCount) * 3, kNone);
  // Kills the record of corner c (face * 3 + k) in the bucket of start representative s.
  auto kill = [&](uint32_t s, uint32_t c) {
    for (uint32_t i = head[s % buckets]; i != kNone; i = records[i].link)
      if (records[i].corner == c) records[i].alive = false;
  };
  for (uint32_t g = 0; g < rangeCount; ++g)
    for (uint32_t f = ranges[g].firstFace; f < ranges[g].firstFace + ranges[g].faceCount; ++f) {
      uint32_t r[3];
      if (rangeOf[f] != g || !usable(f, r)) continue;
      Vec3 normal = {0, 0, 0};
      bool haveNormal = false;
      for (uint32_t k = 0; k < 3; ++k) {
        if (adj[size_t(f) * 3 + k] != kNone) continue;
        const uint32_t s = r[k], e = r[(k + 1) % 3];
        uint32_t best = kNone, candidates = 0;
        float bestDot = 0;
        for (uint32_t i = head[e % buckets]; i != kNone; i = records[i].link) {
          const EdgeRecord& rec = records[i];
          const uint32_t other = rec.corner / 3;
          if (!rec.alive || rec.start != e || rec.end != s || other == f || rangeOf[other] != g)
            continue;
          if (++candidates == 1) {
            best = i;
            continue;
          }
          // Several candidates: the one whose normal agrees best with this face's.
          if (!haveNormal) {
            normal = FaceNormal(m, f);
            haveNormal = true;
          }
          if (candidates == 2) {
            const Vec3 b = FaceNormal(m, records[best].corner / 3);
            bestDot = b.x * normal.x + b.y * normal.y + b.z * normal.z;
          }
          const Vec3 o = FaceNormal(m, other);
          const float d = o.x * normal.x + o.y * normal.y + o.z * normal.z;
          if (d > bestDot) {
            best = i;
            bestDot = d;
          }
        }
        if (best == kNone) continue;
        EdgeRecord& winner = records[best];
        winner.alive = false;
        kill(s, f * 3 + k);
        adj[size_t(f) * 3 + k] = winner.corner / 3;
        adj[winner.corner] = f;
      }
    }
  return Ok;
}

LyrResult PointRepsFromAdjacency(const MeshView& m, const uint32_t* adj, uint32_t* reps) {
  if (!adj || !reps) return ErrInvalidCall;
  if (LyrResult r = CheckView(m); Failed(r)) return r;
  for (size_t i = 0; i < size_t(m.faceCount) * 3; ++i)
    if (adj[i] != kNone && adj[i] >= m.faceCount) return ErrInvalidCall;
  const FaceRange whole = {0, m.faceCount};
  const FaceRange* ranges = m.rangeCount ? m.ranges : &whole;
  const uint32_t rangeCount = m.rangeCount ? m.rangeCount : 1;
  std::fill(reps, reps + m.vertexCount, kNone);
  const uint32_t* idx = m.indices;
  // The edge of face n that names face cur, or 3.
  auto backEdge = [&](uint32_t n, uint32_t cur) {
    for (uint32_t e = 0; e < 3; ++e)
      if (adj[size_t(n) * 3 + e] == cur) return e;
    return 3u;
  };
  auto assign = [&](uint32_t face, uint32_t corner, uint32_t u) {
    uint32_t& r = reps[idx[size_t(face) * 3 + corner]];
    if (r == kNone) r = u;
  };
  for (uint32_t g = 0; g < rangeCount; ++g)
    for (uint32_t f = ranges[g].firstFace; f < ranges[g].firstFace + ranges[g].faceCount; ++f) {
      if (idx[size_t(f) * 3] == kNone) continue;
      for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t u = idx[size_t(f) * 3 + k];
        if (reps[u] != kNone) continue;
        reps[u] = u;
        // Around u: first across the edge leaving u, until the start face comes back or a
        // border is met; then from the start face the other way.
        uint32_t steps = 0;
        bool closed = false;
        for (int dir = 0; dir < 2 && !closed; ++dir) {
          uint32_t cur = f, corner = k;
          for (;;) {
            const uint32_t edge = dir == 0 ? corner : (corner + 2) % 3;
            const uint32_t n = adj[size_t(cur) * 3 + edge];
            if (n == kNone) break;
            if (n == f) {
              closed = true;
              break;
            }
            if (idx[size_t(n) * 3] == kNone) break;
            const uint32_t e = backEdge(n, cur);
            if (e == 3) break;
            if (++steps > kMaxWalkSteps) return ErrAdjacencyWalkTooLong;
            corner = dir == 0 ? (e + 1) % 3 : e;
            cur = n;
            assign(cur, corner, u);
          }
        }
      }
    }
  for (uint32_t v = 0; v < m.vertexCount; ++v)
    if (reps[v] == kNone) reps[v] = v;
  return Ok;
}

LyrResult PointRepsFromPositions(const MeshView& m, float epsilon, uint32_t* reps) {
  if (!reps || !m.positions) return ErrInvalidCall;
  if (LyrResult r = CheckView(m); Failed(r)) return r;
  VertexFaces vf;
  vf.Build(m);
  const uint32_t V = m.vertexCount;
  if (epsilon == 0) {
    const uint32_t buckets = std::max(1u, V / 3);
    Vector<uint32_t> head(buckets, kNone), link(V, kNone), tail(buckets, kNone);
    for (uint32_t v = 0; v < V; ++v) {
      const Vec3 p = Position(m, v);
      const uint32_t b = (Bits(p.x) + Bits(p.y) + Bits(p.z)) % buckets;
      reps[v] = v;
      for (uint32_t w = head[b]; w != kNone; w = link[w]) {
        const Vec3 q = Position(m, w);
        if (q.x == p.x && q.y == p.y && q.z == p.z && !vf.ShareFace(m, v, w)) {
          reps[v] = w;
          break;
        }
      }
      // Appended at the tail, so that a bucket lists its vertices in ascending order.
      if (tail[b] == kNone)
        head[b] = v;
      else
        link[tail[b]] = v;
      tail[b] = v;
    }
    return Ok;
  }
  Vector<uint32_t> order(V);
  Vector<float> xs(V);
  for (uint32_t v = 0; v < V; ++v) {
    order[v] = v;
    xs[v] = Position(m, v).x;
  }
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return xs[a] < xs[b] || (!(xs[b] < xs[a]) && a < b); });
  std::fill(reps, reps + V, kNone);
  const float eps2 = epsilon * epsilon;
  for (uint32_t i = 0; i < V; ++i) {
    const uint32_t v = order[i];
    if (reps[v] != kNone) continue;
    reps[v] = v;
    const Vec3 p = Position(m, v);
    for (uint32_t j = i + 1; j < V && xs[order[j]] - p.x <= epsilon; ++j) {
      const uint32_t w = order[j];
      if (reps[w] != kNone) continue;
      const Vec3 q = Position(m, w);
      const float dx = q.x - p.x, dy = q.y - p.y, dz = q.z - p.z;
      if (dx * dx + dy * dy + dz * dz < eps2 && !vf.ShareFace(m, v, w)) reps[w] = v;
    }
  }
  return Ok;
}

}  // namespace lyr::adjacency
