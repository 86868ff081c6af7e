// The two heavy kernels that share the fast-function table with the math operations: the
// skinned-vertex blend and the N-patch evaluation. Both are library-internal.
#pragma once

#include <cstdint>

#include "lyr/math.h"

namespace lyr {

// Blends vertexCount vertices of `stride` bytes from src into dst (which may be src).
// updateTable holds one run per vertex of values 2*bone + weight ended by -1. Each vertex gets
// position = sum of weight * TransformPoint3(position, bones[bone]) and, for each of the
// elementCount transformed elements (srcElements[k] / dstElements[k]: the element's address in
// vertex 0, three floats used), sum of weight * TransformDirection3(vector, directionBones[bone])
// (bones when directionBones is null). Bytes leadingBytes..stride-1 are copied from the source
// vertex first; allInLeadingBlock says that no transformed element lies past leadingBytes.
// elementCount is at most 64 (the length limit of a vertex declaration); more are ignored.
void BlendSkinnedVertices(const Matrix* bones, const Matrix* directionBones, const void* src,
                          void* dst, uint32_t vertexCount, uint32_t stride,
                          const void* const* srcElements, void* const* dstElements,
                          uint32_t elementCount, uint32_t leadingBytes, const float* updateTable,
                          int allInLeadingBlock);

// Evaluates the cubic N-patch of one triangle (corner vertices v0, v1, v2 of floatsPerVertex
// floats, position first; normals[0..2] the corner normals, not normalised) at pointCount pairs
// (a, b) of barycentric weights (w2 = a, w0 = b, w1 = 1 - a - b), writing floatsPerVertex floats
// per point to out. Components past the position are interpolated linearly.
void EvaluateNPatchPoints(const Vector3* normals, const float* points, uint32_t pointCount,
                          float* out, const float* v0, const float* v1, const float* v2,
                          uint32_t floatsPerVertex);

// The ten control points of the cubic N-patch of one triangle, in Bernstein order: V0, E01, E02,
// E10, C, E20, V1, E12, E21, V2 (edge points a third along each edge, projected into the corner's
// tangent plane; C = 0.25 * (sum of the edge points) - 0.166666 * (V0 + V1 + V2)). Every form of
// the kernel builds them here, so all forms start from the same bits.
void NPatchControlPoints(const Vector3* normals, const float* v0, const float* v1, const float* v2,
                         Vector3* cp);

// The SSE form of the kernel (x86 only): the same sums in the same order, four points at a time.
// The SSE and SSE2 overlays of the table both install it.
#if defined(__i386__) || defined(__x86_64__)
#define LYR_HAVE_SSE_NPATCH 1
namespace sse {
void EvaluateNPatchPoints(const Vector3* normals, const float* points, uint32_t pointCount,
                          float* out, const float* v0, const float* v1, const float* v2,
                          uint32_t floatsPerVertex);
}  // namespace sse
#endif

// The edge control point B + factor*((A - B) - ((A - B).N)N): a factor-th of the edge from B
// towards A, projected into the plane through B with normal N.
Vector3 EdgeControlPoint(const Vector3& a, const Vector3& b, const Vector3& n, float factor);

}  // namespace lyr
