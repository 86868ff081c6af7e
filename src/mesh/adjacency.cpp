#include "mesh/adjacency.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/alloc.h"

namespace lyr {
namespace {

// A working array from the library allocator; Ok() is false when the allocation failed.
template <class T>
class Work {
 public:
  explicit Work(size_t count) : p_(static_cast<T*>(AllocArray(count ? count : 1, sizeof(T)))) {}
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;
  ~Work() { Free(p_); }
  bool Ok() const { return p_ != nullptr; }
  T* get() const { return p_; }
  T& operator[](size_t i) const { return p_[i]; }

 private:
  T* p_;
};

struct Vec3 {
  float x, y, z;
};

template <class Index>
Vec3 Position(const MeshArrays<Index>& m, uint32_t v) {
  Vec3 p;
  std::memcpy(&p, m.positions + size_t(v) * m.stride, sizeof p);
  return p;
}

// Calls f(first, end) for every run, clipped to the face count.
template <class Index, class F>
void ForEachRun(const MeshArrays<Index>& m, F&& f) {
  if (!m.runs) {
    f(uint32_t(0), m.faceCount);
    return;
  }
  for (uint32_t r = 0; r < m.runCount; ++r) {
    const uint32_t first = std::min(m.runs[r].firstFace, m.faceCount);
    const uint32_t end = first + std::min(m.runs[r].faceCount, m.faceCount - first);
    f(first, end);
  }
}

// A used face whose three indices name existing vertices.
template <class Index>
bool FaceValid(const MeshArrays<Index>& m, const Index* f) {
  return FaceUsed(f) && f[0] < m.vertexCount && f[1] < m.vertexCount && f[2] < m.vertexCount;
}

// ErrInvalidCall unless every run lies within the faces and every used face names existing
// vertices.
template <class Index>
LyrResult CheckFaces(const MeshArrays<Index>& m) {
  if (!m.indices) return ErrInvalidCall;
  for (uint32_t r = 0; m.runs && r < m.runCount; ++r) {
    if (uint64_t(m.runs[r].firstFace) + m.runs[r].faceCount > m.faceCount) return ErrInvalidCall;
  }
  for (uint32_t f = 0; f < m.faceCount; ++f) {
    const Index* idx = m.indices + size_t(f) * 3;
    if (FaceUsed(idx) && !FaceValid(m, idx)) return ErrInvalidCall;
  }
  return Ok;
}

// The faces using each vertex, for the rule that two corners of one face never share a place.
class FaceIncidence {
 public:
  template <class Index>
  LyrResult Build(const MeshArrays<Index>& m) {
    const uint32_t nv = m.vertexCount;
    offsets_ = static_cast<uint32_t*>(AllocArray(size_t(nv) + 1, sizeof(uint32_t)));
    if (!offsets_) return ErrOutOfMemory;
    std::fill(offsets_, offsets_ + nv + 1, 0u);
    // Calls f(face, vertex) once for every distinct vertex of every valid face.
    auto eachCorner = [&m](auto&& f) {
      for (uint32_t face = 0; face < m.faceCount; ++face) {
        const Index* idx = m.indices + size_t(face) * 3;
        if (!FaceValid(m, idx)) continue;
        f(face, idx[0]);
        if (idx[1] != idx[0]) f(face, idx[1]);
        if (idx[2] != idx[0] && idx[2] != idx[1]) f(face, idx[2]);
      }
    };
    size_t total = 0;
    eachCorner([&](uint32_t, uint32_t v) {
      ++offsets_[v + 1];
      ++total;
    });
    if (total > std::numeric_limits<uint32_t>::max()) return ErrOutOfMemory;
    for (uint32_t v = 0; v < nv; ++v) offsets_[v + 1] += offsets_[v];
    faces_ = static_cast<uint32_t*>(AllocArray(total ? total : 1, sizeof(uint32_t)));
    Work<uint32_t> fill(nv);
    if (!faces_ || !fill.Ok()) return ErrOutOfMemory;
    std::copy(offsets_, offsets_ + nv, fill.get());
    eachCorner([&](uint32_t face, uint32_t v) { faces_[fill[v]++] = face; });
    return Ok;
  }
  ~FaceIncidence() {
    Free(offsets_);
    Free(faces_);
  }
  bool Built() const { return offsets_ != nullptr && faces_ != nullptr; }

  // True when one used face holds both vertices.
  template <class Index>
  bool ShareFace(const MeshArrays<Index>& m, uint32_t a, uint32_t b) const {
    if (offsets_[a + 1] - offsets_[a] > offsets_[b + 1] - offsets_[b]) std::swap(a, b);
    for (uint32_t i = offsets_[a]; i < offsets_[a + 1]; ++i) {
      const Index* idx = m.indices + size_t(faces_[i]) * 3;
      if (idx[0] == b || idx[1] == b || idx[2] == b) return true;
    }
    return false;
  }

 private:
  uint32_t* offsets_ = nullptr;
  uint32_t* faces_ = nullptr;
};

uint32_t FloatBits(float f) {
  f += 0.0f;  // -0 and +0 are one place
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

bool HasNaN(const Vec3& p) {
  return std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z);
}

uint64_t PlaceHash(const Vec3& p) {
  uint64_t h = (uint64_t(FloatBits(p.x)) * 0x9E3779B97F4A7C15ull) ^
               (uint64_t(FloatBits(p.y)) * 0xC2B2AE3D27D4EB4Full) ^
               (uint64_t(FloatBits(p.z)) * 0x165667B19E3779F9ull);
  return h ^ (h >> 29);
}

inline void Prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}
// How far ahead the loops over scattered data ask for it.
constexpr uint32_t kAheadFar = 16, kAheadNear = 8;

template <class Index>
LyrResult RepsExact(const MeshArrays<Index>& m, uint32_t* reps) {
  const uint32_t nv = m.vertexCount;
  // Open addressing over the distinct positions; each slot holds the first representative at
  // that place, and nextRep chains the later representatives at the same place in index order.
  // Each slot holds a vertex and the upper half of its hash, so that most slots of other
  // places are passed over without reading their positions.
  struct Slot {
    uint32_t vertex;
    uint32_t tag;
  };
  size_t size = 16;
  while (size < size_t(nv) * 2) size *= 2;
  Work<Slot> slots(size);
  Work<uint32_t> nextRep(nv);
  if (!slots.Ok() || !nextRep.Ok()) return ErrOutOfMemory;
  std::fill(slots.get(), slots.get() + size, Slot{kNoFace, 0});
  FaceIncidence incidence;
  const size_t mask = size - 1;
  for (uint32_t v = 0; v < nv; ++v) {
    reps[v] = v;
    nextRep[v] = kNoFace;
    const Vec3 p = Position(m, v);
    if (HasNaN(p)) continue;
    if (v + kAheadFar < nv) Prefetch(&slots[size_t(PlaceHash(Position(m, v + kAheadFar))) & mask]);
    const uint64_t h = PlaceHash(p);
    const uint32_t tag = uint32_t(h >> 32);
    size_t s = size_t(h) & mask;
    for (;; s = (s + 1) & mask) {
      const uint32_t head = slots[s].vertex;
      if (head == kNoFace) {
        slots[s] = {v, tag};
        break;
      }
      if (slots[s].tag != tag) continue;
      const Vec3 q = Position(m, head);
      if (q.x != p.x || q.y != p.y || q.z != p.z) continue;
      if (!incidence.Built()) {
        if (LyrResult r = incidence.Build(m); Failed(r)) return r;
      }
      uint32_t last = head;
      for (uint32_t c = head; c != kNoFace; c = nextRep[c]) {
        last = c;
        if (!incidence.ShareFace(m, c, v)) {
          reps[v] = c;
          break;
        }
      }
      if (reps[v] == v) nextRep[last] = v;
      break;
    }
  }
  return Ok;
}

template <class Index>
LyrResult RepsSweep(const MeshArrays<Index>& m, float epsilon, uint32_t* reps) {
  const uint32_t nv = m.vertexCount;
  Work<uint32_t> order(nv);
  Work<float> xs(nv);
  if (!order.Ok() || !xs.Ok()) return ErrOutOfMemory;
  FaceIncidence incidence;
  if (LyrResult r = incidence.Build(m); Failed(r)) return r;
  uint32_t count = 0;
  for (uint32_t v = 0; v < nv; ++v) {
    reps[v] = kNoFace;
    const Vec3 p = Position(m, v);
    xs[v] = p.x;
    if (HasNaN(p)) {
      reps[v] = v;
    } else {
      order[count++] = v;
    }
  }
  const float* x = xs.get();
  std::sort(order.get(), order.get() + count,
            [x](uint32_t a, uint32_t b) { return x[a] < x[b] || (x[a] == x[b] && a < b); });
  const float eps2 = epsilon * epsilon;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t v = order[i];
    if (reps[v] != kNoFace) continue;
    reps[v] = v;
    const Vec3 p = Position(m, v);
    for (uint32_t j = i + 1; j < count && x[order[j]] - p.x <= epsilon; ++j) {
      const uint32_t w = order[j];
      if (reps[w] != kNoFace) continue;
      const Vec3 q = Position(m, w);
      const float dx = q.x - p.x, dy = q.y - p.y, dz = q.z - p.z;
      if (dx * dx + dy * dy + dz * dz < eps2 && !incidence.ShareFace(m, v, w)) reps[w] = v;
    }
  }
  return Ok;
}

template <class Index>
Vec3 FaceNormal(const MeshArrays<Index>& m, uint32_t face) {
  if (!m.positions) return {0, 0, 0};
  const Index* idx = m.indices + size_t(face) * 3;
  const Vec3 a = Position(m, idx[0]), b = Position(m, idx[1]), c = Position(m, idx[2]);
  const Vec3 u{b.x - a.x, b.y - a.y, b.z - a.z}, w{c.x - a.x, c.y - a.y, c.z - a.z};
  Vec3 n{u.y * w.z - u.z * w.y, u.z * w.x - u.x * w.z, u.x * w.y - u.y * w.x};
  const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  if (len > 0.0f) {
    n.x /= len;
    n.y /= len;
    n.z /= len;
  }
  return n;
}

// One half-edge: the place it runs to, and where it starts as 3 * face + corner (which is also
// its entry of the adjacency). Half-edges are grouped by the place they start at.
struct HalfEdge {
  uint32_t to;
  uint32_t slot;
};

}  // namespace

template <class Index>
LyrResult PointRepsFromAdjacency(const MeshArrays<Index>& m, const uint32_t* adjacency,
                                 uint32_t* reps) {
  if (!adjacency || !reps) return ErrInvalidCall;
  if (LyrResult r = CheckFaces(m); Failed(r)) return r;
  // Entries name an existing face or none (for 16-bit indices also 0xFFFF, none at that width).
  for (size_t i = 0; i < size_t(m.faceCount) * 3; ++i) {
    const uint32_t a = adjacency[i];
    if (a >= m.faceCount && a != kNoFace && !(sizeof(Index) == 2 && a == 0xFFFFu)) {
      return ErrInvalidCall;
    }
  }
  std::fill(reps, reps + m.vertexCount, kNoFace);
  VertexWalk<Index, uint32_t> walk(m.indices, adjacency, m.faceCount);
  LyrResult result = Ok;
  ForEachRun(m, [&](uint32_t first, uint32_t end) {
    for (uint32_t f = first; f < end && Succeeded(result); ++f) {
      const Index* idx = m.indices + size_t(f) * 3;
      if (!FaceUsed(idx)) continue;
      for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t u = idx[k];
        if (u >= m.vertexCount || reps[u] != kNoFace) continue;
        walk.Start(f, u, 0);
        do {
          const uint32_t face = walk.Step();
          if (walk.StepCount() > kMaxVertexWalkSteps) {
            result = ErrAdjacencyWalkTooLong;
            return;
          }
          const uint32_t w = m.indices[size_t(face) * 3 + walk.VertexCorner()];
          if (w < m.vertexCount && reps[w] == kNoFace) reps[w] = u;
        } while (!walk.Finished());
      }
    }
  });
  for (uint32_t v = 0; v < m.vertexCount; ++v) {
    if (reps[v] == kNoFace) reps[v] = v;
  }
  return result;
}

template <class Index>
LyrResult AdjacencyFromPointReps(const MeshArrays<Index>& m, const uint32_t* pointReps,
                                 uint32_t* adjacency) {
  if (!adjacency) return ErrInvalidCall;
  if (LyrResult r = CheckFaces(m); Failed(r)) return r;
  const uint32_t nv = m.vertexCount;
  const uint32_t nf = m.faceCount;
  for (uint32_t v = 0; pointReps && v < nv; ++v) {
    if (pointReps[v] >= nv) return ErrInvalidCall;
  }
  std::fill(adjacency, adjacency + size_t(nf) * 3, kNoFace);
  auto rep = [&](Index v) -> uint32_t { return pointReps ? pointReps[v] : uint32_t(v); };
  // A face takes part when it is used, names existing vertices and has three distinct places.
  auto places = [&](uint32_t f, uint32_t p[3]) {
    const Index* idx = m.indices + size_t(f) * 3;
    if (!FaceValid(m, idx)) return false;
    p[0] = rep(idx[0]);
    p[1] = rep(idx[1]);
    p[2] = rep(idx[2]);
    return p[0] != p[1] && p[1] != p[2] && p[0] != p[2];
  };

  // The places of every taking-part face of every run (kNoFace in the first for the others),
  // and its half-edges bucketed by starting place (counting sort). Half-edges name their face by
  // its first adjacency entry, which must fit in 32 bits.
  if (uint64_t(nf) * 3 > std::numeric_limits<uint32_t>::max()) return ErrOutOfMemory;
  // bounds[p + 1] counts, then ends, then (after the fill, which walks backwards) starts the
  // bucket of place p; the last entry is the total, the end of the last bucket.
  Work<uint32_t> bounds(size_t(nv) + 2);
  Work<uint32_t> facePlaces(size_t(nf) * 3);
  if (!bounds.Ok() || !facePlaces.Ok()) return ErrOutOfMemory;
  std::fill(bounds.get(), bounds.get() + nv + 2, 0u);
  std::fill(facePlaces.get(), facePlaces.get() + size_t(nf) * 3, kNoFace);
  size_t total = 0;
  ForEachRun(m, [&](uint32_t first, uint32_t end) {
    for (uint32_t f = first; f < end; ++f) {
      uint32_t* p = &facePlaces[size_t(f) * 3];
      if (p[0] != kNoFace) continue;  // already seen in an earlier, overlapping run
      if (!places(f, p)) {
        p[0] = kNoFace;
        continue;
      }
      for (int k = 0; k < 3; ++k) ++bounds[p[k] + 1];
      total += 3;
    }
  });
  if (total > std::numeric_limits<uint32_t>::max()) return ErrOutOfMemory;
  for (uint32_t v = 0; v < nv; ++v) bounds[v + 1] += bounds[v];
  bounds[size_t(nv) + 1] = static_cast<uint32_t>(total);
  Work<HalfEdge> edges(total);
  if (!edges.Ok()) return ErrOutOfMemory;
  // Backwards, so that each bucket holds its half-edges in face and corner order.
  for (uint32_t f = nf; f-- > 0;) {
    const uint32_t* p = &facePlaces[size_t(f) * 3];
    if (p[0] == kNoFace) continue;
    for (uint32_t k = 3; k-- > 0;) edges[--bounds[p[k] + 1]] = {p[(k + 1) % 3], f * 3 + k};
  }
  const uint32_t* offsets = bounds.get() + 1;

  // A half-edge is still free while its face's entry for it is none.
  ForEachRun(m, [&](uint32_t first, uint32_t end) {
    for (uint32_t f = first; f < end; ++f) {
      // Faces come in any order, so the lists they read are scattered: ask for the bucket
      // bounds a few faces ahead and for the lists themselves a little nearer.
      if (f + kAheadFar < end) {
        const uint32_t* q = &facePlaces[size_t(f + kAheadFar) * 3];
        if (q[0] != kNoFace) {
          for (int k = 0; k < 3; ++k) Prefetch(&offsets[q[k]]);
        }
      }
      if (f + kAheadNear < end) {
        const uint32_t* q = &facePlaces[size_t(f + kAheadNear) * 3];
        if (q[0] != kNoFace) {
          for (int k = 0; k < 3; ++k) Prefetch(&edges[offsets[q[k]]]);
        }
      }
      const uint32_t* p = &facePlaces[size_t(f) * 3];
      if (p[0] == kNoFace) continue;
      bool haveNormal = false;
      Vec3 normal{};
      for (uint32_t k = 0; k < 3; ++k) {
        if (adjacency[size_t(f) * 3 + k] != kNoFace) continue;
        const uint32_t a = p[k], b = p[(k + 1) % 3];
        const HalfEdge* best = nullptr;
        float bestDot = -std::numeric_limits<float>::infinity();
        bool several = false;
        for (uint32_t i = offsets[b]; i < offsets[b + 1]; ++i) {
          const HalfEdge& e = edges[i];
          const uint32_t face = e.slot / 3;
          if (e.to != a || face < first || face >= end || face == f ||
              adjacency[e.slot] != kNoFace) {
            continue;
          }
          if (!best) {
            best = &e;
            continue;
          }
          if (!several) {
            several = true;
            if (!haveNormal) {
              normal = FaceNormal(m, f);
              haveNormal = true;
            }
            const Vec3 n = FaceNormal(m, best->slot / 3);
            bestDot = n.x * normal.x + n.y * normal.y + n.z * normal.z;
          }
          const Vec3 n = FaceNormal(m, face);
          const float dot = n.x * normal.x + n.y * normal.y + n.z * normal.z;
          if (dot > bestDot) {
            bestDot = dot;
            best = &e;
          }
        }
        if (!best) continue;
        adjacency[size_t(f) * 3 + k] = best->slot / 3;
        adjacency[best->slot] = f;
      }
    }
  });
  return Ok;
}

template <class Index>
LyrResult PointRepsFromPositions(const MeshArrays<Index>& m, float epsilon, uint32_t* pointReps) {
  if (!m.positions || !pointReps) return ErrInvalidCall;
  if (LyrResult r = CheckFaces(m); Failed(r)) return r;
  return epsilon == 0.0f ? RepsExact(m, pointReps) : RepsSweep(m, epsilon, pointReps);
}

template <class Index>
LyrResult BuildAdjacency(const MeshArrays<Index>& m, float epsilon, uint32_t* adjacency) {
  if (!m.indices || !m.positions || !adjacency) return ErrInvalidCall;
  Work<uint32_t> reps(m.vertexCount);
  if (!reps.Ok()) return ErrOutOfMemory;
  if (LyrResult r = PointRepsFromPositions(m, epsilon, reps.get()); Failed(r)) return r;
  return AdjacencyFromPointReps(m, reps.get(), adjacency);
}

#define LYR_ADJACENCY_INSTANTIATE(Index)                                                        \
  template LyrResult PointRepsFromAdjacency<Index>(const MeshArrays<Index>&, const uint32_t*,   \
                                                   uint32_t*);                                  \
  template LyrResult AdjacencyFromPointReps<Index>(const MeshArrays<Index>&, const uint32_t*,   \
                                                   uint32_t*);                                  \
  template LyrResult PointRepsFromPositions<Index>(const MeshArrays<Index>&, float, uint32_t*); \
  template LyrResult BuildAdjacency<Index>(const MeshArrays<Index>&, float, uint32_t*);
LYR_ADJACENCY_INSTANTIATE(uint16_t)
LYR_ADJACENCY_INSTANTIATE(uint32_t)
#undef LYR_ADJACENCY_INSTANTIATE

}  // namespace lyr
