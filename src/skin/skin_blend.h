// The skinned-vertex blending routine behind software skinning, in a plain form and a form for
// processors with the streaming SIMD extensions.
//
// For each of vertexCount vertices (stride bytes apart) the routine reads that vertex's run of
// the update table: values 2*b + w (bone b, weight w) ended by a negative value. The position
// (three floats at offset 0) is blended through bones[b] as a point with the w-divide, every
// transformed element (three floats at sourceElements[k] in vertex 0) through directions[b]
// (bones when null) as a direction; sums are single precision in run order, nothing is
// normalised. Bytes leading..stride-1 are copied from the source vertex, then the sums are
// written. Source and destination may be the same array: every input of a vertex is read before
// any of its bytes is written.
#pragma once

#include <cstdint>

#include "lyr/math.h"
#include "math/fast_table.h"

namespace lyr {

// The largest number of transformed elements a layout can have (64 elements, one the position).
inline constexpr uint32_t kMaxSkinnedElements = 63;

// The plain form is plain::BlendSkinnedVertices (fast-function entry 69, declared with the
// table); the SSE form below needs both matrix arrays 16-byte aligned and is built on x86 only.
// The SSE and SSE2 overlays of the table both install it.
#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#define LYR_HAVE_SSE_SKINNING 1
namespace sse {
void BlendSkinnedVertices(const Matrix* bones, const Matrix* directionBones, const void* src,
                          void* dst, uint32_t vertexCount, uint32_t stride,
                          const void* const* srcElements, void* const* dstElements,
                          uint32_t elementCount, uint32_t leadingBytes, const float* updateTable,
                          int allInLeadingBlock);
}  // namespace sse
#endif

// Encodes one influence as a value of the update table. False when the weight cannot be told
// apart from a neighbouring bone's (negative, not below 2, or a bone index past 2^22).
bool EncodeSkinInfluence(uint32_t bone, float weight, float* value);

}  // namespace lyr
