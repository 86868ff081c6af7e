// The N-patch control points and the plain form of the evaluation kernel (its SSE form is in
// npatch_sse.cpp; the skinned-vertex blend lives with the skinning code, src/skin/skin_blend.cpp).
#include <cstring>

#include "math/fast_table.h"
#include "math/math_util.h"

namespace lyr {

Vector3 EdgeControlPoint(const Vector3& a, const Vector3& b, const Vector3& n, float factor) {
  Vector3 e = {a.x - b.x, a.y - b.y, a.z - b.z};
  float d = e.x * n.x + e.y * n.y + e.z * n.z;
  return {b.x + factor * (e.x - d * n.x), b.y + factor * (e.y - d * n.y),
          b.z + factor * (e.z - d * n.z)};
}

void NPatchControlPoints(const Vector3* normals, const float* v0, const float* v1, const float* v2,
                         Vector3* cp) {
  constexpr float kThird = 0.33333334f;
  const Vector3 p0 = {v0[0], v0[1], v0[2]}, p1 = {v1[0], v1[1], v1[2]}, p2 = {v2[0], v2[1], v2[2]};
  cp[0] = p0;
  cp[1] = EdgeControlPoint(p1, p0, normals[0], kThird);
  cp[2] = EdgeControlPoint(p2, p0, normals[0], kThird);
  cp[3] = EdgeControlPoint(p0, p1, normals[1], kThird);
  cp[5] = EdgeControlPoint(p0, p2, normals[2], kThird);
  cp[6] = p1;
  cp[7] = EdgeControlPoint(p2, p1, normals[1], kThird);
  cp[8] = EdgeControlPoint(p1, p2, normals[2], kThird);
  cp[9] = p2;
  const int edges[6] = {1, 2, 3, 5, 7, 8};
  Vector3 e = {0, 0, 0};
  for (int i : edges) e = {e.x + cp[i].x, e.y + cp[i].y, e.z + cp[i].z};
  constexpr float kSixth = 0.166666f;
  cp[4] = {0.25f * e.x - kSixth * (p0.x + p1.x + p2.x), 0.25f * e.y - kSixth * (p0.y + p1.y + p2.y),
           0.25f * e.z - kSixth * (p0.z + p1.z + p2.z)};
}

namespace plain {

void EvaluateNPatchPoints(const Vector3* normals, const float* points, uint32_t pointCount,
                          float* out, const float* v0, const float* v1, const float* v2,
                          uint32_t floatsPerVertex) {
  Vector3 cp[10];
  NPatchControlPoints(normals, v0, v1, v2, cp);
  constexpr uint32_t kLocal = 64;
  float local[kLocal];
  for (uint32_t i = 0; i < pointCount; ++i) {
    float w2 = points[2 * i], w0 = points[2 * i + 1], w1 = 1.0f - w2 - w0;
    const float weight[10] = {
        w0 * w0 * w0,     3 * w0 * w0 * w1, 3 * w0 * w0 * w2, 3 * w0 * w1 * w1, 6 * w2 * w0 * w1,
        3 * w2 * w2 * w0, w1 * w1 * w1,     3 * w2 * w1 * w1, 3 * w2 * w2 * w1, w2 * w2 * w2};
    float* o = out + static_cast<size_t>(i) * floatsPerVertex;
    float pos[3] = {0, 0, 0};
    for (int c = 0; c < 10; ++c) {
      pos[0] += weight[c] * cp[c].x;
      pos[1] += weight[c] * cp[c].y;
      pos[2] += weight[c] * cp[c].z;
    }
    // Assembled locally so that out may overlap nothing it still needs and is written once.
    for (uint32_t base = 0; base < floatsPerVertex; base += kLocal) {
      uint32_t end = floatsPerVertex - base < kLocal ? floatsPerVertex : base + kLocal;
      for (uint32_t k = base; k < end; ++k)
        local[k - base] = k < 3 ? pos[k] : w2 * v2[k] + w0 * v0[k] + w1 * v1[k];
      std::memcpy(o + base, local, sizeof(float) * (end - base));
    }
  }
}

}  // namespace plain
}  // namespace lyr
