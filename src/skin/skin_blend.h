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

// Bits of the blending routine's last argument. kSkinAllInLeading: no transformed element lies
// past the leading block. kSkinAffineBones: the caller has checked that every bone matrix the
// table names has (0, 0, 0, 1) as its fourth column, so a point with finite coordinates comes out
// with w exactly 1 and the w-divide is skipped; vertices with an infinite or NaN coordinate still
// take the divide, so the results are the bits of the general path.
inline constexpr int kSkinAllInLeading = 1;
inline constexpr int kSkinAffineBones = 2;

// True when the fourth column of every one of the count matrices is exactly (0, 0, 0, 1)
// (either sign of zero).
bool AffineBones(const Matrix* bones, uint32_t count);

// The AVX form (x86-64): the position and the first transformed element share one 256-bit
// register, so one product covers both. It reads the bone matrices from a packed copy made once
// per call: per bone 32 floats, row i of the bone matrix followed by row i of the direction
// matrix, for row 3 the bone's row followed by four -0 (adding -0 changes no value, so the
// direction lanes keep the sums of the other forms). It reads the influences from its own table,
// derived from the update table: spans of consecutive vertices that have the same number of
// influences, and per influence the packed rows' byte offset beside the decoded weight, so that
// no value is decoded and no run end is searched per call. Its results are the bits of the SSE
// form.
#if defined(__x86_64__) && defined(__GNUC__)
#define LYR_HAVE_AVX_SKINNING 1
namespace avx {
struct SkinSpan {
  uint32_t vertexCount;     // at least 1
  uint32_t influenceCount;  // of each vertex of the span
};
struct SkinInfluence {
  uint32_t rowOffset;  // 128 * bone: the packed rows' byte offset (the matrices' is half of it)
  float weight;
};
// Whether the processor and the operating system run the AVX form.
bool SkinningAvailable();
// The sizes of the span table of an update table of vertexCount runs.
void CountSkinSpans(const float* updateTable, uint32_t vertexCount, size_t* spanCount,
                    size_t* influenceCount);
// Writes the span table of an update table; the arrays hold the counts CountSkinSpans gives.
void BuildSkinSpans(const float* updateTable, uint32_t vertexCount, SkinSpan* spans,
                    SkinInfluence* influences);
// Writes the packed rows of bones 0..count-1 (directions null: the bones serve for both).
// packed must be 32-byte aligned and hold 32 * count floats.
void PackSkinMatrices(const Matrix* bones, const Matrix* directions, uint32_t count, float* packed);
// The blend as BlendSkinnedVertices, for at least one transformed element, over the vertices the
// spans count. directions (or the bones when null) are read for the elements after the first;
// packed for the rest.
void BlendSkinnedVertices(const float* packed, const Matrix* directions, const void* src, void* dst,
                          uint32_t stride, const void* const* srcElements, void* const* dstElements,
                          uint32_t elementCount, uint32_t leadingBytes, const SkinSpan* spans,
                          size_t spanCount, const SkinInfluence* influences, int flags);
}  // namespace avx
#endif

// Encodes one influence as a value of the update table. False when the weight cannot be told
// apart from a neighbouring bone's (negative, not below 2, or a bone index past 2^22).
bool EncodeSkinInfluence(uint32_t bone, float weight, float* value);

}  // namespace lyr
