// Plain forms of the skinned-vertex blend and the N-patch evaluation kernel.
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

namespace plain {

void BlendSkinnedVertices(const Matrix* bones, const Matrix* directionBones, const void* src,
                          void* dst, uint32_t vertexCount, uint32_t stride,
                          const void* const* srcElements, void* const* dstElements,
                          uint32_t elementCount, uint32_t leadingBytes, const float* updateTable,
                          int allInLeadingBlock) {
  if (!directionBones) directionBones = bones;
  // A layout has at most 64 elements. Element offsets within a vertex; the kernel walks vertices by
  // index so that every address is derived from the vertex base and never runs ahead of the arrays.
  constexpr uint32_t kMaxElements = 64;
  if (elementCount > kMaxElements) elementCount = kMaxElements;
  size_t srcOffset[kMaxElements], dstOffset[kMaxElements];
  for (uint32_t k = 0; k < elementCount; ++k) {
    srcOffset[k] = static_cast<size_t>(static_cast<const char*>(srcElements[k]) -
                                       static_cast<const char*>(src));
    dstOffset[k] =
        static_cast<size_t>(static_cast<char*>(dstElements[k]) - static_cast<char*>(dst));
  }
  const float* run = updateTable;
  for (uint32_t i = 0; i < vertexCount; ++i) {
    const char* s = static_cast<const char*>(src) + static_cast<size_t>(i) * stride;
    char* d = static_cast<char*>(dst) + static_cast<size_t>(i) * stride;
    Vector3 position;
    std::memcpy(&position, s, sizeof(position));
    Vector3 sums[kMaxElements + 1] = {};  // [0] position, [1 + k] element k
    Vector3 vectors[kMaxElements];
    for (uint32_t k = 0; k < elementCount; ++k)
      std::memcpy(&vectors[k], s + srcOffset[k], sizeof(Vector3));
    for (; *run >= 0.0f; ++run) {
      int b = static_cast<int>(*run) / 2;
      float w = *run - 2.0f * static_cast<float>(b);
      Vector3 t;
      plain::TransformPoint3(&t, &position, &bones[b]);
      sums[0] = {sums[0].x + t.x * w, sums[0].y + t.y * w, sums[0].z + t.z * w};
      for (uint32_t k = 0; k < elementCount; ++k) {
        plain::TransformDirection3(&t, &vectors[k], &directionBones[b]);
        Vector3& acc = sums[1 + k];
        acc = {acc.x + t.x * w, acc.y + t.y * w, acc.z + t.z * w};
      }
    }
    ++run;  // past the -1 that ends this vertex's run
    if (stride > leadingBytes && s != d)
      std::memmove(d + leadingBytes, s + leadingBytes, stride - leadingBytes);
    std::memcpy(d, &sums[0], sizeof(Vector3));
    (void)allInLeadingBlock;  // the copy above never overwrites a blended element
    for (uint32_t k = 0; k < elementCount; ++k)
      std::memcpy(d + dstOffset[k], &sums[1 + k], sizeof(Vector3));
  }
}

void EvaluateNPatchPoints(const Vector3* normals, const float* points, uint32_t pointCount,
                          float* out, const float* v0, const float* v1, const float* v2,
                          uint32_t floatsPerVertex) {
  constexpr float kThird = 0.33333334f;
  Vector3 p0 = {v0[0], v0[1], v0[2]}, p1 = {v1[0], v1[1], v1[2]}, p2 = {v2[0], v2[1], v2[2]};
  Vector3 cp[10];
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
