// The tessellators. One structure serves every member: gather the patch's control values into
// float channels, fix the segment counts, give every grid vertex a number (new, welded to a
// lower-numbered neighbour's edge, or snapped onto a coarser edge), evaluate the new vertices by
// their elements' methods, and write the triangles.
//
// Crack-free edges: a vertex on a patch edge depends only on the edge's own control values and
// on its parameter, computed as (whole number) / (segment count) on both sides, and rectangle
// patches sum rows before columns so that an edge row or column reduces to the same sums in
// both patches. Adaptive edge levels depend only on the edge's two corner points, so both
// patches divide a shared edge alike.
#include "patch/tessellate.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "math/kernels.h"
#include "mesh/mesh_impl.h"

namespace lyr::tess {

namespace {

constexpr uint32_t kMaxSegments = 32;
constexpr uint32_t kEdgeSlots = kMaxSegments + 1;
constexpr ElementUsage kUsageTessFactor = static_cast<ElementUsage>(8);

// Segment count of a level: rounded up, at least one. Levels are limited to 0x10000 so that the
// size query can report any level in 64-bit arithmetic.
uint32_t Segments(float level) {
  if (!(level > 1.0f)) return 1;
  if (level >= 65536.0f) return 65536;
  return static_cast<uint32_t>(std::ceil(level));
}

bool IsFloatType(ElementType t) {
  return t <= ElementType::F32x4;
}
uint32_t FloatCount(ElementType t) {
  return IsFloatType(t) ? uint32_t(t) + 1 : 4;
}

// ---- One-dimensional weights -------------------------------------------------------------------

// Weights and derivative weights of the rectangle member `key` (basis * 6 + degree) at t.
void Weights1D(uint32_t key, float t, float* w, float* dw) {
  const float s = 1.0f - t;
  switch (key) {
    case 1:
    case 7:
      w[0] = s, w[1] = t, dw[0] = -1, dw[1] = 1;
      return;
    case 2:
      w[0] = s * s, w[1] = 2 * s * t, w[2] = t * t;
      dw[0] = -2 * s, dw[1] = 2 * (s - t), dw[2] = 2 * t;
      return;
    case 3:
      w[0] = s * s * s, w[1] = 3 * s * s * t, w[2] = 3 * s * t * t, w[3] = t * t * t;
      dw[0] = -3 * s * s, dw[1] = 3 * s * (s - 2 * t), dw[2] = 3 * t * (2 * s - t);
      dw[3] = 3 * t * t;
      return;
    case 5: {
      const float s2 = s * s, t2 = t * t, s4 = s2 * s2, t4 = t2 * t2;
      w[0] = s4 * s, w[1] = 5 * s4 * t, w[2] = 10 * s2 * s * t2, w[3] = 10 * s2 * t2 * t;
      w[4] = 5 * s * t4, w[5] = t4 * t;
      // Derivative: 5 * (B4[i-1] - B4[i]) with the quartic Bernstein weights.
      const float b4[5] = {s4, 4 * s2 * s * t, 6 * s2 * t2, 4 * s * t2 * t, t4};
      for (int i = 0; i < 6; ++i) dw[i] = 5 * ((i > 0 ? b4[i - 1] : 0) - (i < 5 ? b4[i] : 0));
      return;
    }
    case 8:
      w[0] = s * s * 0.5f, w[1] = t - t * t + 0.5f, w[2] = t * t * 0.5f;
      dw[0] = -s, dw[1] = 1 - 2 * t, dw[2] = t;
      return;
    case 9: {
      const float k = 0.16666f, t2 = t * t, t3 = t2 * t;
      w[0] = (1 - 3 * t + 3 * t2 - t3) * k, w[1] = (3 * t3 - 6 * t2 + 4) * k;
      w[2] = (-3 * t3 + 3 * t2 + 3 * t + 1) * k, w[3] = t3 * k;
      dw[0] = (-3 + 6 * t - 3 * t2) * k, dw[1] = (9 * t2 - 12 * t) * k;
      dw[2] = (-9 * t2 + 6 * t + 3) * k, dw[3] = 3 * t2 * k;
      return;
    }
    case 11: {
      // The uniform quintic B-spline on one span.
      const float t2 = t * t, t3 = t2 * t, t4 = t3 * t, t5 = t4 * t, k = 1.0f / 120;
      const float s4 = s * s * s * s;
      w[0] = s4 * s * k;
      w[1] = (26 - 50 * t + 20 * t2 + 20 * t3 - 20 * t4 + 5 * t5) * k;
      w[2] = (66 - 60 * t2 + 30 * t4 - 10 * t5) * k;
      w[3] = (26 + 50 * t + 20 * t2 - 20 * t3 - 20 * t4 + 10 * t5) * k;
      w[4] = (1 + 5 * t + 10 * t2 + 10 * t3 + 5 * t4 - 5 * t5) * k;
      w[5] = t5 * k;
      dw[0] = -5 * s4 * k;
      dw[1] = (-50 + 40 * t + 60 * t2 - 80 * t3 + 25 * t4) * k;
      dw[2] = (-120 * t + 120 * t3 - 50 * t4) * k;
      dw[3] = (50 + 40 * t - 60 * t2 - 80 * t3 + 50 * t4) * k;
      dw[4] = (5 + 20 * t + 30 * t2 + 20 * t3 - 25 * t4) * k;
      dw[5] = 5 * t4 * k;
      return;
    }
    case 15: {
      const float t2 = t * t, t3 = t2 * t;
      w[0] = -0.5f * t3 + t2 - 0.5f * t, w[1] = 1.5f * t3 - 2.5f * t2 + 1;
      w[2] = -1.5f * t3 + 2 * t2 + 0.5f * t, w[3] = 0.5f * t3 - 0.5f * t2;
      dw[0] = -1.5f * t2 + 2 * t - 0.5f, dw[1] = 4.5f * t2 - 5 * t;
      dw[2] = -4.5f * t2 + 4 * t + 0.5f, dw[3] = 1.5f * t2 - t;
      return;
    }
    default:
      return;
  }
}

bool KnownRectKey(uint32_t key) {
  return key == 1 || key == 2 || key == 3 || key == 5 || key == 7 || key == 8 || key == 9 ||
         key == 11 || key == 15;
}

// ---- Triangle Bézier weights
// ---------------------------------------------------------------------

// Control point (row r, place c) of a degree-n triangle carries w0^(n-r) w1^(r-c) w2^c.
struct TriTerm {
  float coefficient;
  uint8_t a0, a1, a2;
};

uint32_t TriTerms(uint32_t n, TriTerm* out) {
  uint32_t k = 0;
  const float f[6] = {1, 1, 2, 6, 24, 120};
  for (uint32_t r = 0; r <= n; ++r)
    for (uint32_t c = 0; c <= r; ++c)
      out[k++] = {f[n] / (f[n - r] * f[r - c] * f[c]), uint8_t(n - r), uint8_t(r - c), uint8_t(c)};
  return k;
}

// Weights of every term at (w0, w1, w2), and when asked the derivatives along w1 - w2 (du) and
// w0 - w2 (dv).
void TriWeights(const TriTerm* terms, uint32_t count, uint32_t n, const float* w, float* weight,
                float* du, float* dv) {
  float p[3][6];
  for (int a = 0; a < 3; ++a) {
    p[a][0] = 1;
    for (uint32_t e = 1; e <= n; ++e) p[a][e] = p[a][e - 1] * w[a];
  }
  for (uint32_t i = 0; i < count; ++i) {
    const TriTerm& t = terms[i];
    weight[i] = t.coefficient * p[0][t.a0] * p[1][t.a1] * p[2][t.a2];
    if (!du) continue;
    const float d0 = t.a0 ? t.coefficient * t.a0 * p[0][t.a0 - 1] * p[1][t.a1] * p[2][t.a2] : 0;
    const float d1 = t.a1 ? t.coefficient * t.a1 * p[0][t.a0] * p[1][t.a1 - 1] * p[2][t.a2] : 0;
    const float d2 = t.a2 ? t.coefficient * t.a2 * p[0][t.a0] * p[1][t.a1] * p[2][t.a2 - 1] : 0;
    du[i] = d1 - d2;
    dv[i] = d0 - d2;
  }
}

// ---- The evaluation plan
// -------------------------------------------------------------------------

struct Op {
  ElementMethod method;
  uint32_t comps;  // channels it reads, values it writes (before the type conversion)
  uint32_t ch;     // first channel
  const VertexElement* src;
  const VertexElement* dst;
};

struct Plan {
  Op ops[kMaxPatchElements];
  uint32_t opCount = 0;
  uint32_t channels = 3;  // 0..2: the position
  const VertexElement* position = nullptr;
  const VertexElement* normal = nullptr;      // N-patch corner normals
  const VertexElement* tessFactor = nullptr;  // adaptive weights
  bool needDerivatives = false;
  bool hasLookup = false;
  // The layout is a float position and a derivative normal, nothing else: their offsets.
  int32_t positionAt = -1, normalAt = -1;
  uint32_t outStride = 0;
  VertexAccessor in, out;
  const LockedRect* levels = nullptr;
  const TextureLevelDesc* descs = nullptr;
  const DisplacementRecord* displacement = nullptr;
};

void BuildPlan(const VertexElement* decl, const VertexElement* layout, Plan& plan) {
  const uint32_t n = CountElements(decl);
  plan.position = FindElement(decl, ElementUsage::Position, 0);
  plan.normal = FindElement(decl, ElementUsage::Normal, 0);
  plan.tessFactor = FindElement(decl, kUsageTessFactor, 0);
  for (uint32_t i = 0; i < n && i < kMaxPatchElements; ++i) {
    Op& op = plan.ops[plan.opCount++];
    op.method = decl[i].method;
    op.src = &decl[i];
    op.dst = &layout[i];
    op.comps = FloatCount(decl[i].type);
    op.ch = 0;
    switch (op.method) {
      case ElementMethod::CrossUV:
        op.comps = 3;
        plan.needDerivatives = true;
        break;
      case ElementMethod::UV:
        op.comps = 2;
        break;
      case ElementMethod::PartialU:
      case ElementMethod::PartialV:
        plan.needDerivatives = true;
        [[fallthrough]];
      default:
        if (op.method == ElementMethod::Lookup) plan.hasLookup = true;
        if (&decl[i] == plan.position && op.method == ElementMethod::Default && op.comps == 3) {
          op.ch = 0;  // shares the position channels
        } else {
          op.ch = plan.channels;
          plan.channels += op.comps;
        }
        break;
    }
  }
  plan.outStride = StreamVertexSize(layout, 0);
  if (plan.opCount == 2 && plan.ops[0].ch == 0 && plan.ops[0].method == ElementMethod::Default &&
      plan.ops[1].method == ElementMethod::CrossUV && plan.ops[1].dst->type == ElementType::F32x3) {
    plan.positionAt = plan.ops[0].dst->offset;
    plan.normalAt = plan.ops[1].dst->offset;
  }
}

// Reads the control values of `count` control vertices (indices) into channels.
void Gather(const Plan& plan, const uint16_t* indices, uint32_t count, float* control) {
  float v[4];
  for (uint32_t k = 0; k < count; ++k) {
    float* c = control + size_t(k) * plan.channels;
    ReadElement(plan.in, plan.position, indices[k], v, 4);
    c[0] = v[0], c[1] = v[1], c[2] = v[2];
    for (uint32_t o = 0; o < plan.opCount; ++o) {
      const Op& op = plan.ops[o];
      if (op.ch == 0 || op.method == ElementMethod::CrossUV || op.method == ElementMethod::UV)
        continue;
      ReadElement(plan.in, op.src, indices[k], v, 4);
      for (uint32_t q = 0; q < op.comps; ++q) c[op.ch + q] = v[q];
    }
  }
}

// Writes one evaluated element of one output vertex.
inline void Put(const Plan& plan, const Op& op, uint8_t* vertex, uint32_t number,
                const float* values) {
  if (IsFloatType(op.dst->type)) {
    std::memcpy(vertex + op.dst->offset, values, FloatCount(op.dst->type) * sizeof(float));
  } else {
    WriteElement(plan.out, op.dst, number, values, 4);
  }
}

inline void CrossUnit(const float* a, const float* b, float* out) {
  const float x = a[1] * b[2] - a[2] * b[1], y = a[2] * b[0] - a[0] * b[2],
              z = a[0] * b[1] - a[1] * b[0];
  const float len = std::sqrt(x * x + y * y + z * z);
  if (len > 0.00001f) {
    const float inverse = 1.0f / len;
    out[0] = x * inverse, out[1] = y * inverse, out[2] = z * inverse;
  } else {
    out[0] = out[1] = out[2] = 0;
  }
}

// Writes the elements of one vertex from its value sums (val), derivative sums (du, dv: null
// when no element needs them) and parameters.
void Emit(const Plan& plan, uint8_t* base, uint32_t number, const float* val, const float* du,
          const float* dv, float u, float v) {
  uint8_t* vertex = base + size_t(number) * plan.outStride;
  float tmp[4];
  for (uint32_t o = 0; o < plan.opCount; ++o) {
    const Op& op = plan.ops[o];
    const float* src = val + op.ch;
    switch (op.method) {
      case ElementMethod::PartialU:
        src = du + op.ch;
        break;
      case ElementMethod::PartialV:
        src = dv + op.ch;
        break;
      case ElementMethod::CrossUV:
        CrossUnit(du, dv, tmp);
        tmp[3] = 1;
        src = tmp;
        break;
      case ElementMethod::UV:
        tmp[0] = u, tmp[1] = v, tmp[2] = 0, tmp[3] = 1;
        src = tmp;
        break;
      case ElementMethod::Lookup:
        tmp[0] = plan.displacement
                     ? SampleDisplacement(*plan.displacement, plan.levels, plan.descs, val[op.ch],
                                          op.comps > 1 ? val[op.ch + 1] : 0,
                                          op.comps > 2 ? val[op.ch + 2] : 0)
                     : 0;
        tmp[1] = tmp[2] = 0, tmp[3] = 1;
        src = tmp;
        break;
      default:
        // A float element is written as it was read; other types take four values.
        if (op.comps < 4 && !IsFloatType(op.dst->type)) {
          std::memcpy(tmp, src, op.comps * sizeof(float));
          for (uint32_t q = op.comps; q < 4; ++q) tmp[q] = q == 3 ? 1.0f : 0.0f;
          src = tmp;
        }
        break;
    }
    Put(plan, op, vertex, number, src);
  }
}

// ---- Output
// --------------------------------------------------------------------------------------

struct Output {
  uint8_t* vertices = nullptr;
  uint8_t* indices = nullptr;
  uint32_t* attributes = nullptr;
  bool wide = false;
  uint32_t vertexRoom = 0, faceRoom = 0;
  uint32_t vertexCount = 0, faceCount = 0;

  void Triangle(uint32_t a, uint32_t b, uint32_t c, uint32_t id) {
    if (wide) {
      auto* p = reinterpret_cast<uint32_t*>(indices) + size_t(faceCount) * 3;
      p[0] = a, p[1] = b, p[2] = c;
    } else {
      auto* p = reinterpret_cast<uint16_t*>(indices) + size_t(faceCount) * 3;
      p[0] = uint16_t(a), p[1] = uint16_t(b), p[2] = uint16_t(c);
    }
    attributes[faceCount++] = id;
  }
};

// ---- Adaptive levels
// -----------------------------------------------------------------------------

struct LevelFunction {
  Vector4 t;
  float maxLevel, minLevel;
  const Plan* plan;
  float At(uint32_t index) const {
    float p[4];
    ReadElement(plan->in, plan->position, index, p, 4);
    float w = 1;
    if (plan->tessFactor) ReadElement(plan->in, plan->tessFactor, index, &w, 1);
    float d = (p[0] * t.x + p[1] * t.y + p[2] * t.z + t.w) * w;
    if (!(d > 0)) d = 1;
    const float l = maxLevel / d;
    return l < minLevel ? minLevel : l > maxLevel ? maxLevel : l;
  }
  float Edge(uint32_t a, uint32_t b) const { return (At(a) + At(b)) / 2; }
};

// ---- Rectangle patches
// ---------------------------------------------------------------------------

struct RectContext {
  const Plan* plan;
  uint32_t key, n;  // member key, control points per side
  const float* control;
  float* rowSums;  // n * channels values, then n * channels v-derivatives
};

// Column sums of the row at weights wv/dwv.
void RowSums(const RectContext& x, const float* wv, const float* dwv) {
  const uint32_t C = x.plan->channels, n = x.n;
  float* q = x.rowSums;
  float* r = x.rowSums + size_t(n) * C;
  for (uint32_t c = 0; c < n; ++c) {
    for (uint32_t ch = 0; ch < C; ++ch) {
      float s = wv[0] * x.control[(0 * n + c) * C + ch];
      for (uint32_t k = 1; k < n; ++k) s += wv[k] * x.control[(k * n + c) * C + ch];
      q[c * C + ch] = s;
    }
  }
  if (!x.plan->needDerivatives) return;
  for (uint32_t c = 0; c < n; ++c) {
    for (uint32_t ch = 0; ch < C; ++ch) {
      float s = dwv[0] * x.control[(0 * n + c) * C + ch];
      for (uint32_t k = 1; k < n; ++k) s += dwv[k] * x.control[(k * n + c) * C + ch];
      r[c * C + ch] = s;
    }
  }
}

// Evaluates and writes the vertex at u of the row whose sums are in x.rowSums.
template <uint32_t N, uint32_t FixedC>
void RectVertex(const RectContext& x, const float* wu, const float* dwu, uint8_t* base,
                uint32_t number, float u, float v) {
  constexpr uint32_t kMaxChannels = 3 + 4 * kMaxPatchElements;
  const uint32_t C = FixedC ? FixedC : x.plan->channels;
  const uint32_t n = N ? N : x.n;
  const float* q = x.rowSums;
  const float* r = x.rowSums + size_t(n) * C;
  float val[kMaxChannels], du[kMaxChannels], dv[kMaxChannels];
  for (uint32_t ch = 0; ch < C; ++ch) {
    float s = wu[0] * q[ch];
    for (uint32_t c = 1; c < n; ++c) s += wu[c] * q[c * C + ch];
    val[ch] = s;
  }
  if (x.plan->needDerivatives) {
    for (uint32_t ch = 0; ch < C; ++ch) {
      float a = dwu[0] * q[ch], b = wu[0] * r[ch];
      for (uint32_t c = 1; c < n; ++c) a += dwu[c] * q[c * C + ch], b += wu[c] * r[c * C + ch];
      du[ch] = a, dv[ch] = b;
    }
  }
  if (FixedC == 3 && x.plan->normalAt >= 0) {
    uint8_t* vertex = base + size_t(number) * x.plan->outStride;
    float normal[3];
    CrossUnit(du, dv, normal);
    std::memcpy(vertex + x.plan->positionAt, val, 12);
    std::memcpy(vertex + x.plan->normalAt, normal, 12);
    return;
  }
  Emit(*x.plan, base, number, val, du, dv, u, v);
}

using RectVertexFn = void (*)(const RectContext&, const float*, const float*, uint8_t*, uint32_t,
                              float, float);

// The form for n control points per side; position-only channels (derivative normals need no
// channels of their own) get a form with the channel count fixed too.
RectVertexFn RectVertexFor(uint32_t n, uint32_t channels) {
  const bool three = channels == 3;
  switch (n) {
    case 2:
      return three ? &RectVertex<2, 3> : &RectVertex<2, 0>;
    case 3:
      return three ? &RectVertex<3, 3> : &RectVertex<3, 0>;
    case 4:
      return three ? &RectVertex<4, 3> : &RectVertex<4, 0>;
    case 6:
      return three ? &RectVertex<6, 3> : &RectVertex<6, 0>;
    default:
      return &RectVertex<0, 0>;
  }
}

// The control values of the four edge curves: edge 0 and 2 are the row sums at v = 0 and 1,
// edges 1 and 3 the column sums at u = 1 and 0. Two patches sharing an edge reduce it to the
// same values, since the weights at 0 and 1 are exact.
void EdgeControls(const RectContext& x, float* ec) {
  const uint32_t C = x.plan->channels, n = x.n;
  float w0[6], w1[6], dw[6];
  Weights1D(x.key, 0.0f, w0, dw);
  Weights1D(x.key, 1.0f, w1, dw);
  for (uint32_t e = 0; e < 4; ++e) {
    const float* w = (e == 0 || e == 3) ? w0 : w1;
    const bool row = e == 0 || e == 2;
    float* out = ec + size_t(e) * n * C;
    for (uint32_t k = 0; k < n; ++k)
      for (uint32_t ch = 0; ch < C; ++ch) {
        auto at = [&](uint32_t r) {
          return row ? x.control[(r * n + k) * C + ch] : x.control[(k * n + r) * C + ch];
        };
        float sum = w[0] * at(0);
        for (uint32_t r = 1; r < n; ++r) sum += w[r] * at(r);
        out[k * C + ch] = sum;
      }
  }
}

// Whether an edge curve runs against its canonical direction (its position controls compared
// from both ends), so that two patches meeting on an edge in opposite directions still walk it
// alike.
bool EdgeReversed(const float* ec, uint32_t n, uint32_t C) {
  for (uint32_t k = 0; k < n / 2; ++k) {
    const float* a = ec + size_t(k) * C;
    const float* b = ec + size_t(n - 1 - k) * C;
    for (uint32_t q = 0; q < 3; ++q)
      if (a[q] != b[q]) return a[q] > b[q];
  }
  return false;
}

// Rewrites the default-method elements of an edge vertex from the edge curve alone, at place
// a of m along it, walked in the canonical direction.
void EdgeVertex(const RectContext& x, const float* ec, bool reversed, uint32_t a, uint32_t m,
                uint8_t* base, uint32_t number) {
  constexpr uint32_t kMaxChannels = 3 + 4 * kMaxPatchElements;
  const Plan& plan = *x.plan;
  const uint32_t C = plan.channels, n = x.n;
  float w[6], dw[6];
  Weights1D(x.key, float(reversed ? m - a : a) / float(m), w, dw);
  float val[kMaxChannels];
  for (uint32_t ch = 0; ch < C; ++ch) {
    float sum = w[0] * ec[(reversed ? n - 1 : 0) * C + ch];
    for (uint32_t k = 1; k < n; ++k) sum += w[k] * ec[(reversed ? n - 1 - k : k) * C + ch];
    val[ch] = sum;
  }
  uint8_t* vertex = base + size_t(number) * plan.outStride;
  for (uint32_t o = 0; o < plan.opCount; ++o) {
    const Op& op = plan.ops[o];
    if (op.method != ElementMethod::Default) continue;
    float tmp[4] = {0, 0, 0, 1};
    std::memcpy(tmp, val + op.ch, op.comps * sizeof(float));
    Put(plan, op, vertex, number, tmp);
  }
}

// Edge e of a patch: 0 first row, 1 last column, 2 last row, 3 first column.
struct EdgePlan {
  uint32_t segments[4];       // segments along each edge
  const uint32_t* welded[4];  // the lower neighbour's vertex numbers along the edge, or null
};

}  // namespace

// The tessellation of one call: the plan, the locked buffers and the output.
struct Job {
  PatchMeshInternal* in;
  PatchInfo info;
  uint32_t patchCount, controlPoints;
  const uint16_t* indices;
  const uint32_t* attributes;
  Plan plan;
  Output out;
  TessScratch* scratch;
  const Request* request;
  LevelFunction levels;
  bool weld = false;    // rectangle patches take lower neighbours' edge vertices
  bool kernel = false;  // N-patches go through the evaluation kernel
};

namespace {

// Which edges of rectangle patch p take a lower-numbered neighbour's vertices (bit e for edge e).
uint32_t WeldedEdges(const Vector<uint32_t>& adjacency, uint32_t patchCount, uint32_t p) {
  if (adjacency.size() < size_t(patchCount) * 4) return 0;
  uint32_t mask = 0;
  for (uint32_t e = 0; e < 4; ++e) {
    const uint32_t q = adjacency[size_t(p) * 4 + e];
    if (q < p && adjacency[size_t(q) * 4 + (e + 2) % 4] == p) mask |= 1u << e;
  }
  return mask;
}

// The snapped place along an edge of m segments of fine place k of n.
inline uint32_t Coarse(uint32_t k, uint32_t m, uint32_t n) {
  return uint32_t((2ull * k * m + n) / (2ull * n));
}

LyrResult RectPatch(Job& job, uint32_t p, uint32_t attribute) {
  const Plan& plan = job.plan;
  TessScratch& s = *job.scratch;
  const uint32_t d = job.info.degree, n = d + 1;
  const uint16_t* idx = job.indices + size_t(p) * job.controlPoints;
  Gather(plan, idx, job.controlPoints, s.control.data());

  // Segment counts.
  uint32_t edgeSeg[4];
  uint32_t U, V;
  if (job.request->adaptive) {
    uint32_t c0, c1, c2, c3;
    if (job.info.basis == kPatchBezier) {
      c0 = 0, c1 = d, c2 = n * d, c3 = n * n - 1;
    } else {
      const uint32_t k = (n / 2 - 1) * n + n / 2 - 1, m = (n / 2) * n + n / 2 - 1;
      c0 = k, c1 = k + 1, c2 = m, c3 = m + 1;
    }
    const float l01 = job.levels.Edge(idx[c0], idx[c1]), l02 = job.levels.Edge(idx[c0], idx[c2]);
    const float l23 = job.levels.Edge(idx[c2], idx[c3]), l13 = job.levels.Edge(idx[c1], idx[c3]);
    edgeSeg[0] = std::min(Segments(l01), kMaxSegments);
    edgeSeg[1] = std::min(Segments(l13), kMaxSegments);
    edgeSeg[2] = std::min(Segments(l23), kMaxSegments);
    edgeSeg[3] = std::min(Segments(l02), kMaxSegments);
    U = std::max(edgeSeg[0], edgeSeg[2]);
    V = std::max(edgeSeg[1], edgeSeg[3]);
  } else {
    U = std::min(Segments(std::max(job.in->EdgeLevels()[0], job.in->EdgeLevels()[2])),
                 kMaxSegments);
    V = std::min(Segments(std::max(job.in->EdgeLevels()[1], job.in->EdgeLevels()[3])),
                 kMaxSegments);
    edgeSeg[0] = edgeSeg[2] = U;
    edgeSeg[1] = edgeSeg[3] = V;
  }
  const uint32_t along[4] = {U, V, U, V};
  const uint32_t* weldFrom[4] = {};
  if (job.weld) {
    const uint32_t mask = WeldedEdges(job.in->Adjacency(), job.patchCount, p);
    for (uint32_t e = 0; e < 4; ++e) {
      if (!(mask & (1u << e))) continue;
      const uint32_t q = job.in->Adjacency()[size_t(p) * 4 + e];
      weldFrom[e] = s.edges.data() + (size_t(q) * 4 + (e + 2) % 4) * kEdgeSlots;
    }
  }

  // Vertex numbers: welded, a repeat of the previous place on a coarse edge, or new.
  const uint32_t W = U + 1;
  uint32_t* ids = s.ids.data();
  constexpr uint32_t kNew = 0xFFFFFFFFu;
  uint32_t fresh = 0;
  for (uint32_t j = 0; j <= V; ++j) {
    const bool borderRow = j == 0 || j == V;
    for (uint32_t i = 0; i <= U; ++i) {
      if (!borderRow && i != 0 && i != U) {
        ids[j * W + i] = kNew;
        ++fresh;
        continue;
      }
      uint32_t id = kNew;
      const bool on[4] = {j == 0, i == U, j == V, i == 0};
      for (uint32_t e = 0; e < 4 && id == kNew; ++e) {
        if (!on[e]) continue;
        const uint32_t k = (e & 1) ? j : i;
        if (weldFrom[e]) {
          id = weldFrom[e][k];
        } else if (edgeSeg[e] < along[e] && k > 0 &&
                   Coarse(k, edgeSeg[e], along[e]) == Coarse(k - 1, edgeSeg[e], along[e])) {
          id = (e & 1) ? ids[(j - 1) * W + i] : ids[j * W + i - 1];
        }
      }
      if (id == kNew) ++fresh;
      ids[j * W + i] = id;
    }
  }
  if (uint64_t(job.out.vertexCount) + fresh > job.out.vertexRoom) return ErrInvalidCall;

  // Evaluation of the new vertices, row by row.
  RectContext x{&plan, job.info.basis * 6 + d, n, s.control.data(), s.rows.data()};
  const RectVertexFn vertexAt = RectVertexFor(n, plan.channels);
  float* ec = s.edgeControls.data();
  EdgeControls(x, ec);
  bool reversed[4];
  for (uint32_t e = 0; e < 4; ++e)
    reversed[e] = EdgeReversed(ec + size_t(e) * n * plan.channels, n, plan.channels);
  float* wts = s.weights.data();  // per column: n weights then n derivative weights
  for (uint32_t i = 0; i <= U; ++i)
    Weights1D(x.key, float(i) / float(U), wts + size_t(i) * 2 * n, wts + size_t(i) * 2 * n + n);
  float wv[6], dwv[6], wu[6], dwu[6];
  uint32_t next = job.out.vertexCount;
  for (uint32_t j = 0; j <= V; ++j) {
    const float v = float(j) / float(V);
    bool rowReady = false;
    for (uint32_t i = 0; i <= U; ++i) {
      if (ids[j * W + i] != kNew) continue;
      const uint32_t number = ids[j * W + i] = next++;
      // A new vertex on a coarse edge sits at its snapped place.
      float pu = float(i) / float(U), pv = v;
      bool snapped = false;
      // The edge the vertex lies on (4: none) and its place a of m along it.
      uint32_t edge = 4, a = 0, m = 1;
      if (j == 0 || j == V) {
        edge = j == 0 ? 0 : 2, a = i, m = U;
        if (edgeSeg[edge] < U) {
          m = edgeSeg[edge], a = Coarse(i, m, U);
          pu = float(a) / float(m);
          snapped = true;
        }
      }
      if (i == 0 || i == U) {
        const uint32_t e = i == 0 ? 3 : 1;
        if (edge == 4) edge = e, a = j, m = V;
        if (edgeSeg[e] < V) {
          const uint32_t c = Coarse(j, edgeSeg[e], V);
          if (edge == e) a = c, m = edgeSeg[e];
          pv = float(c) / float(edgeSeg[e]);
          snapped = true;
        }
      }
      if (snapped) {
        Weights1D(x.key, pv, wv, dwv);
        RowSums(x, wv, dwv);
        Weights1D(x.key, pu, wu, dwu);
        vertexAt(x, wu, dwu, job.out.vertices, number, pu, pv);
        rowReady = false;
      } else {
        if (!rowReady) {
          Weights1D(x.key, v, wv, dwv);
          RowSums(x, wv, dwv);
          rowReady = true;
        }
        const float* w = wts + size_t(i) * 2 * n;
        vertexAt(x, w, w + n, job.out.vertices, number, pu, pv);
      }
      if (edge < 4)
        EdgeVertex(x, ec + size_t(edge) * n * plan.channels, reversed[edge], a, m, job.out.vertices,
                   number);
    }
  }
  // Edge records for later neighbours.
  if (job.weld) {
    uint32_t* rec = s.edges.data() + size_t(p) * 4 * kEdgeSlots;
    for (uint32_t i = 0; i <= U; ++i) rec[0 * kEdgeSlots + i] = ids[i];
    for (uint32_t j = 0; j <= V; ++j) rec[1 * kEdgeSlots + j] = ids[j * W + U];
    for (uint32_t i = 0; i <= U; ++i) rec[2 * kEdgeSlots + i] = ids[V * W + i];
    for (uint32_t j = 0; j <= V; ++j) rec[3 * kEdgeSlots + j] = ids[j * W];
  }
  job.out.vertexCount = next;

  // Triangles, cells column by column; those collapsed by snapping are left out. Without welded
  // or coarse edges there are none such and no counting pass.
  const bool whole = fresh == (U + 1) * (V + 1) && edgeSeg[0] == U && edgeSeg[2] == U &&
                     edgeSeg[1] == V && edgeSeg[3] == V;
  if (whole && uint64_t(job.out.faceCount) + 2ull * U * V > job.out.faceRoom) return ErrInvalidCall;
  for (int pass = whole ? 1 : 0; pass < 2; ++pass) {
    uint32_t faces = 0;
    for (uint32_t i = 0; i < U; ++i) {
      for (uint32_t j = 0; j < V; ++j) {
        const uint32_t a = ids[j * W + i], b = ids[j * W + i + 1], c = ids[(j + 1) * W + i],
                       dd = ids[(j + 1) * W + i + 1];
        if (a != b && b != c && a != c) {
          if (pass) job.out.Triangle(a, b, c, attribute);
          ++faces;
        }
        if (b != dd && dd != c && b != c) {
          if (pass) job.out.Triangle(b, dd, c, attribute);
          ++faces;
        }
      }
    }
    if (!pass && uint64_t(job.out.faceCount) + faces > job.out.faceRoom) return ErrInvalidCall;
  }
  return Ok;
}

// ---- Triangle patches and N-patches
// ----------------------------------------------------------------

uint32_t TriSegments(Job& job, const uint16_t* idx, uint32_t last, uint32_t middle) {
  if (!job.request->adaptive) {
    const float* l = job.in->EdgeLevels();
    return std::min(Segments(std::max(std::max(l[0], l[1]), l[2])), kMaxSegments);
  }
  const float a = job.levels.Edge(idx[middle], idx[last]), b = job.levels.Edge(idx[middle], idx[0]),
              c = job.levels.Edge(idx[last], idx[0]);
  return std::min(Segments(std::max(std::max(a, b), c)), kMaxSegments);
}

void TriTriangles(Job& job, uint32_t first, uint32_t segments, uint32_t attribute) {
  uint32_t row = first;
  for (uint32_t j = 0; j < segments; ++j) {
    const uint32_t len = segments - j + 1, nextRow = row + len;
    for (uint32_t k = 0; k + 1 < len; ++k) {
      const uint32_t p = row + k, q = nextRow + k;
      job.out.Triangle(p, q, p + 1, attribute);
      if (k + 2 < len) job.out.Triangle(q, q + 1, p + 1, attribute);
    }
    row = nextRow;
  }
}

// Barycentric weights of grid vertex (row j, place k) of s segments: w0 = j/s, w1 = k/s.
inline void GridWeights(uint32_t j, uint32_t k, uint32_t s, float* w) {
  w[0] = float(j) / float(s);
  w[1] = float(k) / float(s);
  w[2] = float(s - j - k) / float(s);
}

// Rewrites the positions of the vertices on the three edges of a triangular grid of s segments
// from the edge curves alone (control positions `cp` of a degree-n triangle in row order),
// walked in the canonical direction as for rectangle edges, so that neighbouring triangles give
// bit-identical edge vertices.
void TriEdges(const Plan& plan, const Vector3* cp, uint32_t n, uint32_t s, uint32_t first,
              uint8_t* base) {
  int32_t offset = -1;
  for (uint32_t o = 0; o < plan.opCount; ++o)
    if (plan.ops[o].ch == 0 && plan.ops[o].method == ElementMethod::Default)
      offset = plan.ops[o].dst->offset;
  if (offset < 0) return;
  auto rowStart = [&](uint32_t j) { return first + j * (s + 1) - j * (j - 1) / 2; };
  for (uint32_t e = 0; e < 3; ++e) {
    // Edge 0: w0 = 0, from corner 2 to 1 along k; edge 1: w1 = 0, from corner 2 to 0 along j;
    // edge 2: w2 = 0, from corner 1 to 0 along j.
    Vector3 ec[6];
    for (uint32_t i = 0; i <= n; ++i) {
      const uint32_t r = e == 0 ? n : n - i, c = e == 0 ? n - i : e == 1 ? n - i : 0;
      ec[i] = cp[r * (r + 1) / 2 + c];
    }
    bool reversed = false;
    for (uint32_t i = 0; i < (n + 1) / 2; ++i) {
      const float* a = &ec[i].x;
      const float* b = &ec[n - i].x;
      uint32_t q = 0;
      while (q < 3 && a[q] == b[q]) ++q;
      if (q < 3) {
        reversed = a[q] > b[q];
        break;
      }
    }
    for (uint32_t a = 0; a <= s; ++a) {
      const uint32_t number = e == 0 ? first + a : e == 1 ? rowStart(a) : rowStart(a) + s - a;
      float w[6], dw[6];
      Weights1D(n, float(reversed ? s - a : a) / float(s), w, dw);
      float x[3];
      for (uint32_t q = 0; q < 3; ++q) {
        float sum = w[0] * (&ec[reversed ? n : 0].x)[q];
        for (uint32_t i = 1; i <= n; ++i) sum += w[i] * (&ec[reversed ? n - i : i].x)[q];
        x[q] = sum;
      }
      std::memcpy(base + size_t(number) * plan.outStride + offset, x, sizeof x);
    }
  }
}

// Evaluates a triangle of degree `degree` (control values in channels) for the channels it
// serves and writes the vertex. For N-patches the position comes from the cubic control points
// and every other channel from the three corners.
LyrResult TriPatch(Job& job, uint32_t p, uint32_t attribute) {
  const Plan& plan = job.plan;
  TessScratch& sc = *job.scratch;
  const bool npatch = job.info.type == kPatchNPatch;
  const uint32_t degree = npatch ? 1 : job.info.degree;
  const uint16_t* idx = job.indices + size_t(p) * job.controlPoints;
  const uint32_t last = job.controlPoints - 1, middle = degree * (degree + 1) / 2;
  const uint32_t segs = TriSegments(job, idx, last, middle);
  const uint32_t count = (segs + 1) * (segs + 2) / 2;
  if (uint64_t(job.out.vertexCount) + count > job.out.vertexRoom ||
      uint64_t(job.out.faceCount) + uint64_t(segs) * segs > job.out.faceRoom)
    return ErrInvalidCall;
  const uint32_t C = plan.channels;
  float* control = sc.control.data();
  Gather(plan, idx, job.controlPoints, control);
  const uint32_t first = job.out.vertexCount;

  // N-patch position control points.
  Vector3 cubic[10];
  Vector3 normals[3] = {};
  if (npatch) {
    for (uint32_t c = 0; c < 3; ++c) {
      float v[4];
      ReadElement(plan.in, plan.normal, idx[c], v, 4);
      normals[c] = plan.normal ? Vector3{v[0], v[1], v[2]} : Vector3{0, 0, 0};
    }
    NPatchControlPoints(normals, control, control + C, control + 2 * C, cubic);
  }

  // The kernel path: an all-float layout packed without gaps, every method default.
  if (npatch && job.kernel) {
    float* pts = sc.points.data();
    uint32_t k = 0;
    for (uint32_t j = 0; j <= segs; ++j)
      for (uint32_t i = 0; i + j <= segs; ++i) {
        float w[3];
        GridWeights(j, i, segs, w);
        pts[k++] = w[2], pts[k++] = w[0];
      }
    const uint32_t floats = plan.outStride / 4;
    // The three corners as whole vertices, straight from the patch's vertex buffer.
    const float* v0 = reinterpret_cast<const float*>(plan.in.streams[0].data +
                                                     size_t(idx[0]) * plan.in.streams[0].stride);
    const float* v1 = reinterpret_cast<const float*>(plan.in.streams[0].data +
                                                     size_t(idx[1]) * plan.in.streams[0].stride);
    const float* v2 = reinterpret_cast<const float*>(plan.in.streams[0].data +
                                                     size_t(idx[2]) * plan.in.streams[0].stride);
    EvaluateNPatchPoints(
        normals, pts, count,
        reinterpret_cast<float*>(job.out.vertices + size_t(first) * plan.outStride), v0, v1, v2,
        floats);
  } else {
    TriTerm terms[21], cubicTerms[10];
    const uint32_t termCount = TriTerms(degree, terms);
    TriTerms(3, cubicTerms);
    float weight[21], du[21], dv[21], cw[10], cdu[10], cdv[10];
    constexpr uint32_t kMaxChannels = 3 + 4 * kMaxPatchElements;
    float val[kMaxChannels], dval[kMaxChannels], vval[kMaxChannels];
    uint32_t number = first;
    for (uint32_t j = 0; j <= segs; ++j) {
      for (uint32_t k = 0; j + k <= segs; ++k) {
        float w[3];
        GridWeights(j, k, segs, w);
        TriWeights(terms, termCount, degree, w, weight, plan.needDerivatives ? du : nullptr, dv);
        for (uint32_t ch = 0; ch < C; ++ch) {
          float a = 0, b = 0, c = 0;
          for (uint32_t t = 0; t < termCount; ++t) {
            const float x = control[t * C + ch];
            a += weight[t] * x;
            if (plan.needDerivatives) b += du[t] * x, c += dv[t] * x;
          }
          val[ch] = a, dval[ch] = b, vval[ch] = c;
        }
        if (npatch) {
          TriWeights(cubicTerms, 10, 3, w, cw, plan.needDerivatives ? cdu : nullptr, cdv);
          for (uint32_t ch = 0; ch < 3; ++ch) {
            float a = 0, b = 0, c = 0;
            for (uint32_t t = 0; t < 10; ++t) {
              const float x = (&cubic[t].x)[ch];
              a += cw[t] * x;
              if (plan.needDerivatives) b += cdu[t] * x, c += cdv[t] * x;
            }
            val[ch] = a, dval[ch] = b, vval[ch] = c;
          }
        }
        // Element parameters of a triangle vertex: (w2, w0), the kernel's point pair.
        Emit(plan, job.out.vertices, number++, val, dval, vval, w[2], w[0]);
      }
    }
  }
  if (npatch) {
    TriEdges(plan, cubic, 3, segs, first, job.out.vertices);
  } else {
    Vector3 positions[21];
    for (uint32_t k = 0; k < job.controlPoints; ++k)
      positions[k] = {control[k * C], control[k * C + 1], control[k * C + 2]};
    TriEdges(plan, positions, degree, segs, first, job.out.vertices);
  }
  job.out.vertexCount = first + count;
  TriTriangles(job, first, segs, attribute);
  return Ok;
}

// Holds the locks of one tessellation and releases them on every path.
struct Locks {
  DeviceBuffer* held[4] = {};
  uint32_t count = 0;
  Texture* texture = nullptr;
  uint32_t levelsLocked = 0;
  ~Locks() {
    for (uint32_t i = count; i-- > 0;) held[i]->UnlockBuffer();
    for (uint32_t l = levelsLocked; l-- > 0;) texture->UnlockLevel(l);
  }
  LyrResult Lock(DeviceBuffer* b, uint32_t flags, void** out) {
    LyrResult r = b->LockBuffer(0, 0, out, flags);
    if (Succeeded(r)) held[count++] = b;
    return r;
  }
};

// Every per-patch size at the mesh's edge levels.
void PerPatchSize(const PatchInfo& info, const float* l, uint64_t* tris, uint64_t* verts) {
  if (info.type == kPatchRectangle) {
    const uint64_t u = Segments(std::max(l[0], l[2])), v = Segments(std::max(l[1], l[3]));
    *tris = 2 * u * v;
    *verts = (u + 1) * (v + 1);
  } else {
    const uint64_t s = Segments(std::max(std::max(l[0], l[1]), l[2]));
    *tris = s * s;
    *verts = (s + 1) * (s + 2) / 2;
  }
}

// A layout the N-patch kernel can take: floats only, packed from offset 0 with the position
// first, every method default.
bool KernelLayout(const VertexElement* decl, const VertexElement* layout) {
  uint32_t offset = 0;
  const uint32_t n = CountElements(decl);
  for (uint32_t i = 0; i < n; ++i) {
    const VertexElement& e = decl[i];
    if (e.stream != 0 || !IsFloatType(e.type) || e.method != ElementMethod::Default ||
        e.offset != offset || !IsFloatType(layout[i].type) || layout[i].offset != offset)
      return false;
    if (i == 0 &&
        (e.usage != ElementUsage::Position || e.usageIndex != 0 || e.type != ElementType::F32x3))
      return false;
    offset += ElementTypeSize(e.type);
  }
  return n > 0;
}

}  // namespace

LyrResult TessellatedSize(PatchMesh* self, PatchMeshInternal& in, float level, bool adaptive,
                          uint32_t* triangles, uint32_t* vertices) {
  const PatchInfo& info = in.Info();
  if (info.type < kPatchRectangle || info.type > kPatchNPatch) return ErrFail;
  float* l = in.EdgeLevels();
  if (level != 0) l[0] = l[1] = l[2] = l[3] = level;
  uint64_t tris = 0, verts = 0;
  PerPatchSize(info, l, &tris, &verts);
  const uint32_t patches = self->GetPatchCount();
  tris *= patches;
  verts *= patches;
  if (!adaptive && info.type == kPatchRectangle) {
    const uint64_t u = Segments(std::max(l[0], l[2])), v = Segments(std::max(l[1], l[3]));
    const Vector<uint32_t>& adjacency = in.Adjacency();
    for (uint32_t p = 0; p < patches; ++p) {
      const uint32_t mask = WeldedEdges(adjacency, patches, p);
      if (!mask) continue;
      verts -= (mask & 1 ? u - 1 : 0) + (mask & 4 ? u - 1 : 0) + (mask & 2 ? v - 1 : 0) +
               (mask & 8 ? v - 1 : 0);
      // Corners: 0 (edges 0, 3), 1 (0, 1), 2 (2, 3), 3 (1, 2).
      for (uint32_t pair : {0x9u, 0x3u, 0xCu, 0x6u}) verts -= (mask & pair) ? 1 : 0;
    }
  }
  if (tris > 0xFFFFFFFFu || verts > 0xFFFFFFFFu) return ErrInvalidCall;
  *triangles = static_cast<uint32_t>(tris);
  *vertices = static_cast<uint32_t>(verts);
  return Ok;
}

LyrResult Tessellate(PatchMesh* self, PatchMeshInternal& in, const Request& request, Mesh* mesh) {
  const PatchInfo info = in.Info();
  MeshInternal* meshInternal = GetMeshInternal(mesh);
  if (!meshInternal) return ErrInvalidCall;
  Ref<VertexBuffer> outVb;
  Ref<IndexBuffer> outIb;
  LyrResult r = mesh->GetVertexBufferRef(outVb.put());
  if (Failed(r)) return r;
  if (Failed(r = mesh->GetIndexBufferRef(outIb.put()))) return r;

  float* l = in.EdgeLevels();
  const float set = request.adaptive ? request.maxLevel : request.level;
  l[0] = l[1] = l[2] = l[3] = set;
  if (in.AttributeTable().empty() && Failed(r = self->BuildAttributeTable())) return r;

  // Layout checks.
  VertexElement decl[kMaxPatchElements + 1];
  self->CopyDeclaration(decl);
  const VertexElement* position = FindElement(decl, ElementUsage::Position, 0);
  if (!position) return ErrInvalidArg;
  DisplacementRecord* displacement = in.Displacement();
  const uint32_t n = CountElements(decl);
  for (uint32_t i = 0; i < n; ++i) {
    const ElementMethod m = decl[i].method;
    if (info.type != kPatchRectangle &&
        (m == ElementMethod::PartialU || m == ElementMethod::PartialV))
      return ErrInvalidArg;
    if (m == ElementMethod::Lookup && !displacement) return ErrInvalidArg;
  }
  if (info.type < kPatchRectangle || info.type > kPatchNPatch) return ErrFail;
  if (info.type == kPatchRectangle && !KnownRectKey(info.basis * 6 + info.degree))
    return ErrInvalidArg;
  if (info.type == kPatchTriangle && info.degree != 1 && info.degree != 2 && info.degree != 3 &&
      info.degree != 5)
    return ErrInvalidArg;

  Job job;
  job.in = &in;
  job.info = info;
  job.patchCount = self->GetPatchCount();
  job.controlPoints = self->ControlPointsPerPatch();
  job.request = &request;
  job.scratch = &in.Scratch();
  Plan& plan = job.plan;
  const VertexElement* layout = in.TessellationLayout();
  BuildPlan(decl, layout, plan);
  BufferInfo ibInfo{}, vbInfo{};
  if (Failed(r = outIb->ReadBufferInfo(&ibInfo))) return r;
  if (Failed(r = outVb->ReadBufferInfo(&vbInfo))) return r;
  job.out.wide = ibInfo.format != kIndexFormat16;
  // Room: what the buffers hold (the attribute array of a Mesh is as long as its index buffer);
  // a uniform tessellation, which leaves the Mesh's counts as they are, also stays within them,
  // while an adaptive one sets them afterwards. A Mesh without room is refused.
  const uint32_t indexBytes = job.out.wide ? 4 : 2;
  job.out.faceRoom = ibInfo.size / (3 * indexBytes);
  job.out.vertexRoom = plan.outStride ? vbInfo.size / plan.outStride : 0;
  if (!request.adaptive) {
    job.out.faceRoom = std::min(job.out.faceRoom, mesh->GetFaceCount());
    job.out.vertexRoom = std::min(job.out.vertexRoom, mesh->GetVertexCount());
  }
  if (!job.out.wide) job.out.vertexRoom = std::min(job.out.vertexRoom, 0x10000u);

  // Working memory, kept between calls. A failed growth drops all of it, so that nothing stays
  // allocated by a call that failed.
  TessScratch& s = *job.scratch;
  job.weld = info.type == kPatchRectangle && !request.adaptive &&
             in.Adjacency().size() >= size_t(job.patchCount) * 4;
  job.kernel = info.type == kPatchNPatch && KernelLayout(decl, layout) && plan.outStride % 4 == 0;
  try {
    auto grow = [](auto& v, size_t size) {
      if (v.size() < size) v.resize(size);
    };
    const uint32_t side = info.type == kPatchRectangle ? info.degree + 1 : 0;
    grow(s.control, size_t(job.controlPoints) * plan.channels);
    grow(s.rows, size_t(side) * plan.channels * 2);
    grow(s.edgeControls, size_t(side) * plan.channels * 4);
    grow(s.weights, size_t(kEdgeSlots) * 2 * 6);
    grow(s.ids, size_t(kEdgeSlots) * kEdgeSlots);
    if (job.weld) grow(s.edges, size_t(job.patchCount) * 4 * kEdgeSlots);
    if (job.kernel) grow(s.points, size_t(kEdgeSlots) * (kEdgeSlots + 1));
    if (displacement) {
      grow(displacement->levels, displacement->maxLevel + 1);
      grow(s.levels, displacement->maxLevel + 1);
    }
    s.table.reserve(in.AttributeTable().size());
  } catch (...) {
    s = TessScratch();
    if (displacement) Vector<LockedRect>().swap(displacement->levels);
    throw;
  }

  // Locks.
  Locks locks;
  void* p = nullptr;
  VertexBuffer* patchVb = nullptr;
  IndexBuffer* patchIb = nullptr;
  if (Failed(r = self->GetVertexBufferRef(&patchVb))) return r;
  Ref<VertexBuffer> vbRef(patchVb);
  if (Failed(r = self->GetIndexBufferRef(&patchIb))) return r;
  Ref<IndexBuffer> ibRef(patchIb);
  if (Failed(r = locks.Lock(patchVb, kLockReadOnly, &p))) return r;
  AttachDeclaration(plan.in, decl);
  AttachStream(plan.in, 0, p, 0);
  if (Failed(r = locks.Lock(patchIb, kLockReadOnly, &p))) return r;
  job.indices = static_cast<const uint16_t*>(p);
  if (Failed(r = locks.Lock(outVb.get(), 0, &p))) return r;
  job.out.vertices = static_cast<uint8_t*>(p);
  AttachDeclaration(plan.out, layout);
  AttachStream(plan.out, 0, p, plan.outStride);
  if (Failed(r = locks.Lock(outIb.get(), 0, &p))) return r;
  job.out.indices = static_cast<uint8_t*>(p);
  if (displacement) {
    locks.texture = displacement->texture.get();
    for (uint32_t level = 0; level <= displacement->maxLevel; ++level) {
      if (Failed(r = locks.texture->ReadLevelDesc(level, &s.levels[level]))) return r;
      if (Failed(r = locks.texture->LockLevel(level, &displacement->levels[level], nullptr,
                                              kLockReadOnly)))
        return r;
      locks.levelsLocked = level + 1;
    }
    plan.displacement = displacement;
    plan.levels = displacement->levels.data();
    plan.descs = s.levels.data();
  }
  uint32_t* ids = nullptr;
  if (Failed(r = self->LockPatchAttributes(kLockReadOnly, &ids))) return r;
  job.attributes = ids;
  uint32_t* faceIds = nullptr;
  if (Failed(r = mesh->LockAttributeIds(0, &faceIds))) return r;
  job.out.attributes = faceIds;
  job.levels = {request.transform, request.maxLevel, request.minLevel, &plan};

  // Every control index must name a control vertex.
  const uint32_t controlVertices = self->GetVertexCount();
  for (size_t i = 0; i < size_t(job.patchCount) * job.controlPoints; ++i)
    if (job.indices[i] >= controlVertices) return ErrInvalidCall;

  Vector<AttributeRange>& table = s.table;  // room reserved above: one entry per table entry
  table.clear();
  for (uint32_t patch = 0; patch < job.patchCount; ++patch) {
    const uint32_t id = job.attributes[patch];
    if (patch == 0 || id != job.attributes[patch - 1]) {
      if (!table.empty()) table.back().faceCount = job.out.faceCount - table.back().firstFace;
      table.push_back({id, job.out.faceCount, 0, 0, 0});
    }
    r = info.type == kPatchRectangle ? RectPatch(job, patch, id) : TriPatch(job, patch, id);
    if (Failed(r)) return r;
    table.back().vertexCount = job.out.vertexCount;
  }
  table.back().faceCount = job.out.faceCount - table.back().firstFace;
  mesh->UnlockAttributeIds();
  if (request.adaptive && Failed(r = meshInternal->Resize(job.out.faceCount, job.out.vertexCount)))
    return r;
  return meshInternal->SetValidAttributeTable(table.data(), uint32_t(table.size()));
}

}  // namespace lyr::tess
