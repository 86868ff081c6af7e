#include "patch/patch_adjacency.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace lyr {

namespace {

constexpr float kControlPointMatch = 0.0001f;

bool IndicesInRange(const PatchData& d) {
  const size_t n = size_t(d.patchCount) * d.controlPoints;
  for (size_t i = 0; i < n; ++i)
    if (d.indices[i] >= d.vertexCount) return false;
  return true;
}

// Every vertex's elements read as four floats each (missing components by the type's defaults).
void ReadAllElements(const PatchData& d, uint32_t elementCount, WorkVector<float>& out) {
  VertexAccessor accessor;
  AttachDeclaration(accessor, d.elements);
  AttachStream(accessor, 0, const_cast<uint8_t*>(d.vertices), 0);
  out.resize(size_t(d.vertexCount) * elementCount * 4);
  for (uint32_t v = 0; v < d.vertexCount; ++v)
    for (uint32_t e = 0; e < elementCount; ++e)
      ReadElement(accessor, &d.elements[e], v, &out[(size_t(v) * elementCount + e) * 4], 4);
}

class RectangleMatcher {
 public:
  RectangleMatcher(const PatchData& d, const PatchInfo& info, float tolerance)
      : d_(d), n_(info.degree + 1), tolerance_(tolerance) {
    elementCount_ = CountElements(d.elements);
    rows_ = info.basis == kPatchBezier ? 1 : info.degree;
    for (uint32_t e = 0; e < elementCount_; ++e) {
      const ElementMethod m = d.elements[e].method;
      if (m == ElementMethod::PartialU || m == ElementMethod::PartialV ||
          m == ElementMethod::CrossUV)
        derivatives_.push_back(e);
    }
    mirror_ = info.basis == kPatchBezier && !derivatives_.empty();
    ReadAllElements(d, elementCount_, values_);
  }

  // t's first rows against u's last rows.
  bool Rows(uint32_t t, uint32_t u) const {
    for (uint32_t j = 0; j < rows_; ++j)
      for (uint32_t i = 0; i < n_; ++i)
        if (!Match(At(t, j, i), At(u, n_ - rows_ + j, i))) return false;
    if (mirror_) {
      for (uint32_t i = 0; i < n_; ++i)
        if (!Mirror(At(t, 0, i), At(t, 1, i), At(u, n_ - 2, i))) return false;
    }
    return true;
  }

  // t's last columns against u's first columns.
  bool Columns(uint32_t t, uint32_t u) const {
    for (uint32_t j = 0; j < rows_; ++j)
      for (uint32_t r = 0; r < n_; ++r)
        if (!Match(At(t, r, n_ - rows_ + j), At(u, r, j))) return false;
    if (mirror_) {
      for (uint32_t r = 0; r < n_; ++r)
        if (!Mirror(At(t, r, n_ - 1), At(t, r, n_ - 2), At(u, r, 1))) return false;
    }
    return true;
  }

 private:
  uint32_t At(uint32_t patch, uint32_t row, uint32_t column) const {
    return d_.indices[size_t(patch) * d_.controlPoints + row * n_ + column];
  }
  const float* Values(uint32_t vertex, uint32_t element) const {
    return &values_[(size_t(vertex) * elementCount_ + element) * 4];
  }
  bool Match(uint32_t a, uint32_t b) const {
    if (a == b) return true;
    const float* x = Values(a, 0);
    const float* y = Values(b, 0);
    for (uint32_t c = 0; c < elementCount_ * 4; ++c)
      if (!(std::fabs(x[c] - y[c]) <= kControlPointMatch)) return false;
    return true;
  }
  // a and b lie symmetric about the edge point e in every derivative element.
  bool Mirror(uint32_t e, uint32_t a, uint32_t b) const {
    for (uint32_t element : derivatives_) {
      const float* pe = Values(e, element);
      const float* pa = Values(a, element);
      const float* pb = Values(b, element);
      for (int c = 0; c < 4; ++c)
        if (!(std::fabs(2.0f * pe[c] - pa[c] - pb[c]) <= tolerance_)) return false;
    }
    return true;
  }

  const PatchData& d_;
  uint32_t n_;
  float tolerance_;
  uint32_t elementCount_ = 0;
  uint32_t rows_ = 1;
  bool mirror_ = false;
  Vector<uint32_t> derivatives_;
  WorkVector<float> values_;
};

// Links edge a of t and edge b of u when both are still free and the test passes.
template <class Test>
void Link(Vector<uint32_t>& adj, uint32_t t, uint32_t a, uint32_t u, uint32_t b, Test&& test) {
  uint32_t& x = adj[size_t(t) * 4 + a];
  uint32_t& y = adj[size_t(u) * 4 + b];
  if (x != kNoNeighbour || y != kNoNeighbour || !test()) return;
  x = u;
  y = t;
}

// The triangles each vertex is a corner of.
struct Incidence {
  Vector<uint32_t> first;  // vertexCount + 1 offsets into triangles
  Vector<uint32_t> triangles;
};

void BuildIncidence(const PatchData& d, Incidence& out) {
  out.first.assign(size_t(d.vertexCount) + 1, 0);
  const size_t corners = size_t(d.patchCount) * 3;
  for (size_t i = 0; i < corners; ++i) ++out.first[d.indices[i] + 1];
  for (uint32_t v = 0; v < d.vertexCount; ++v) out.first[v + 1] += out.first[v];
  out.triangles.resize(corners);
  Vector<uint32_t> fill(out.first.begin(), out.first.end() - 1);
  for (size_t i = 0; i < corners; ++i)
    out.triangles[fill[d.indices[i]]++] = static_cast<uint32_t>(i / 3);
}

class Representatives {
 public:
  Representatives(const PatchData& d, const float* positions)
      : d_(d), positions_(positions), reps_(d.vertexCount) {
    for (uint32_t v = 0; v < d.vertexCount; ++v) reps_[v] = v;
    BuildIncidence(d, incidence_);
  }

  void Exact() {
    const uint32_t buckets = std::max(1u, d_.vertexCount / 3);
    Vector<uint32_t> head(buckets, kNoNeighbour), tail(buckets, kNoNeighbour);
    Vector<uint32_t> next(d_.vertexCount, kNoNeighbour);
    for (uint32_t v = 0; v < d_.vertexCount; ++v) {
      uint32_t bits[3];
      std::memcpy(bits, Position(v), 12);
      const uint32_t h = (bits[0] + bits[1] + bits[2]) % buckets;
      uint32_t found = kNoNeighbour;
      for (uint32_t w = head[h]; w != kNoNeighbour; w = next[w]) {
        if (std::memcmp(Position(v), Position(w), 12) == 0 && !SharesTriangle(v, w)) {
          found = w;
          break;
        }
      }
      if (found != kNoNeighbour) {
        reps_[v] = found;
        continue;
      }
      if (tail[h] == kNoNeighbour)
        head[h] = v;
      else
        next[tail[h]] = v;
      tail[h] = v;
    }
  }

  void WithTolerance(float tolerance) {
    const uint32_t n = d_.vertexCount;
    Vector<float> key(n);
    for (uint32_t v = 0; v < n; ++v) {
      const float x = Position(v)[0];
      key[v] = std::isnan(x) ? -std::numeric_limits<float>::infinity() : x;
    }
    Vector<uint32_t> order(n);
    for (uint32_t v = 0; v < n; ++v) order[v] = v;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return key[a] > key[b] || (key[a] == key[b] && a < b);
    });
    Vector<uint8_t> claimed(n, 0);
    const float squared = tolerance * tolerance;
    for (uint32_t a = 0; a < n; ++a) {
      const uint32_t i = order[a];
      if (claimed[i]) continue;
      for (uint32_t b = a + 1; b < n; ++b) {
        const uint32_t j = order[b];
        if (key[i] - key[j] > tolerance) break;
        if (claimed[j]) continue;
        const float* p = Position(i);
        const float* q = Position(j);
        const float dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
        if (dx * dx + dy * dy + dz * dz < squared && !SharesTriangle(j, i)) {
          reps_[j] = i;
          claimed[j] = 1;
        }
      }
    }
  }

  uint32_t operator[](uint32_t v) const { return reps_[v]; }

 private:
  const float* Position(uint32_t v) const { return positions_ + size_t(v) * 3; }
  // Some triangle with v as a corner already has a corner represented by w.
  bool SharesTriangle(uint32_t v, uint32_t w) const {
    for (uint32_t k = incidence_.first[v]; k < incidence_.first[v + 1]; ++k) {
      const uint16_t* corners = d_.indices + size_t(incidence_.triangles[k]) * 3;
      for (int c = 0; c < 3; ++c)
        if (reps_[corners[c]] == w) return true;
    }
    return false;
  }

  const PatchData& d_;
  const float* positions_;
  Vector<uint32_t> reps_;
  Incidence incidence_;
};

void UnitNormal(const float* p0, const float* p1, const float* p2, float* n) {
  const float a[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
  const float b[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
  n[0] = a[1] * b[2] - a[2] * b[1];
  n[1] = a[2] * b[0] - a[0] * b[2];
  n[2] = a[0] * b[1] - a[1] * b[0];
  const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  if (length > 0.0f)
    for (int k = 0; k < 3; ++k) n[k] /= length;
}

}  // namespace

LyrResult RectangleAdjacency(const PatchData& d, const PatchInfo& info, float tolerance,
                             Vector<uint32_t>& out) {
  Vector<uint32_t> adj(size_t(d.patchCount) * 4, kNoNeighbour);
  for (const VertexElement* e = d.elements; !IsEndElement(*e); ++e) {
    if (e->method == ElementMethod::UV) {  // generated parameters: edges cannot be compared
      out.swap(adj);
      return Ok;
    }
  }
  if (!IndicesInRange(d)) return ErrInvalidCall;
  const RectangleMatcher m(d, info, tolerance);
  for (uint32_t t = 0; t < d.patchCount; ++t) {
    for (uint32_t u = t; u < d.patchCount; ++u) {
      if (d.attributes[t] != d.attributes[u]) continue;
      Link(adj, t, 0, u, 2, [&] { return m.Rows(t, u); });
      Link(adj, t, 2, u, 0, [&] { return m.Rows(u, t); });
      Link(adj, t, 1, u, 3, [&] { return m.Columns(t, u); });
      Link(adj, t, 3, u, 1, [&] { return m.Columns(u, t); });
      const uint32_t* row = &adj[size_t(t) * 4];
      if (row[0] != kNoNeighbour && row[1] != kNoNeighbour && row[2] != kNoNeighbour &&
          row[3] != kNoNeighbour)
        break;
    }
  }
  out.swap(adj);
  return Ok;
}

LyrResult NPatchAdjacency(const PatchData& d, float tolerance, Vector<uint32_t>& out) {
  if (!IndicesInRange(d)) return ErrInvalidCall;
  const uint32_t triangles = d.patchCount;
  WorkVector<float> positions(size_t(d.vertexCount) * 3);
  {
    VertexAccessor accessor;
    AttachDeclaration(accessor, d.elements);
    AttachStream(accessor, 0, const_cast<uint8_t*>(d.vertices), 0);
    const VertexElement* position = FindElement(d.elements, ElementUsage::Position, 0);
    for (uint32_t v = 0; v < d.vertexCount; ++v)
      ReadElement(accessor, position, v, &positions[size_t(v) * 3], 3);
  }
  Representatives reps(d, positions.data());
  if (tolerance > 0.0f)
    reps.WithTolerance(tolerance);
  else
    reps.Exact();

  // Directed edges (entry t * 3 + k runs from corner k to corner k + 1 of triangle t), chained
  // in buckets by their start representative.
  const uint32_t buckets = std::max(1u, d.vertexCount / 3);
  const size_t entries = size_t(triangles) * 3;
  Vector<uint32_t> start(entries), end(entries), next(entries, kNoNeighbour);
  Vector<uint32_t> head(buckets, kNoNeighbour), tail(buckets, kNoNeighbour);
  Vector<uint8_t> valid(triangles, 0), alive(entries, 0);
  WorkVector<float> normals(size_t(triangles) * 3);
  for (uint32_t t = 0; t < triangles; ++t) {
    const uint16_t* c = d.indices + size_t(t) * 3;
    const uint32_t r[3] = {reps[c[0]], reps[c[1]], reps[c[2]]};
    if (r[0] == r[1] || r[1] == r[2] || r[0] == r[2]) continue;
    valid[t] = 1;
    UnitNormal(&positions[size_t(c[0]) * 3], &positions[size_t(c[1]) * 3],
               &positions[size_t(c[2]) * 3], &normals[size_t(t) * 3]);
    for (uint32_t k = 0; k < 3; ++k) {
      const size_t e = size_t(t) * 3 + k;
      start[e] = r[k];
      end[e] = r[(k + 1) % 3];
      alive[e] = 1;
      const uint32_t h = start[e] % buckets;
      if (tail[h] == kNoNeighbour)
        head[h] = static_cast<uint32_t>(e);
      else
        next[tail[h]] = static_cast<uint32_t>(e);
      tail[h] = static_cast<uint32_t>(e);
    }
  }
  Vector<uint32_t> adj(entries, kNoNeighbour);
  for (uint32_t t = 0; t < triangles; ++t) {
    if (!valid[t]) continue;
    const float* nt = &normals[size_t(t) * 3];
    for (uint32_t k = 0; k < 3; ++k) {
      const size_t own = size_t(t) * 3 + k;
      if (adj[own] != kNoNeighbour) continue;
      const uint32_t a = start[own], b = end[own];
      uint32_t best = kNoNeighbour;
      float bestDot = 0.0f;
      for (uint32_t e = head[b % buckets]; e != kNoNeighbour; e = next[e]) {
        if (!alive[e] || start[e] != b || end[e] != a || e / 3 == t) continue;
        const float* nu = &normals[size_t(e / 3) * 3];
        const float dot = nt[0] * nu[0] + nt[1] * nu[1] + nt[2] * nu[2];
        if (best == kNoNeighbour || dot > bestDot) {
          best = e;
          bestDot = dot;
        }
      }
      if (best == kNoNeighbour) continue;
      // Both directed edges leave the table, so that a third triangle on the same edge cannot
      // take either of them again.
      alive[best] = 0;
      alive[own] = 0;
      adj[own] = best / 3;
      adj[best] = t;
    }
  }
  out.swap(adj);
  return Ok;
}

}  // namespace lyr
