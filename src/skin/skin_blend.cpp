// Plain and SSE forms of the skinned-vertex blending routine. Both compute every sum in the same
// order (row by row of the matrix, then the w-divide, then the weight), so on processors whose
// scalar arithmetic is single precision they give identical results.
#include "skin/skin_blend.h"

#include <cmath>
#include <cstring>

#if defined(LYR_HAVE_SSE_SKINNING)
#include <xmmintrin.h>
#endif

namespace lyr {

namespace {

inline float LoadFloat(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, sizeof f);
  return f;
}

inline void StoreFloat3(uint8_t* p, float x, float y, float z) {
  const float v[3] = {x, y, z};
  std::memcpy(p, v, sizeof v);
}

// The inverse of EncodeSkinInfluence; value is not negative.
// Returns the byte offset of bone b's matrix (64 * b, from the even part 2 * b of the value).
inline size_t DecodeInfluence(float value, float* weight) {
  const uint32_t twice = static_cast<uint32_t>(static_cast<int32_t>(value)) & ~1u;
  *weight = value - static_cast<float>(twice);
  return size_t(twice) * 32;
}

inline const float* MatrixAt(const Matrix* array, size_t byteOffset) {
  return reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(array) + byteOffset);
}

// Whether a point transform's w stands undivided (within 2^-23 of 1).
inline bool WithinOneUlpOfOne(float w) {
  return std::fabs(w - 1.0f) <= 1.1920929e-7f;
}

// The transformed elements' offsets within a vertex, from their addresses in vertex 0.
struct ElementPlaces {
  uint32_t count;
  size_t src[kMaxSkinnedElements];
  size_t dst[kMaxSkinnedElements];

  ElementPlaces(const void* source, const void* destination, const void* const* srcElements,
                void* const* dstElements, uint32_t elementCount)
      : count(elementCount < kMaxSkinnedElements ? elementCount : kMaxSkinnedElements) {
    for (uint32_t k = 0; k < count; ++k) {
      src[k] = static_cast<size_t>(static_cast<const uint8_t*>(srcElements[k]) -
                                   static_cast<const uint8_t*>(source));
      dst[k] = static_cast<size_t>(static_cast<const uint8_t*>(dstElements[k]) -
                                   static_cast<const uint8_t*>(destination));
    }
  }
};

// Copies the bytes of a vertex that the blend does not produce.
inline void CopyTail(uint8_t* dst, const uint8_t* src, uint32_t leading, uint32_t stride) {
  if (dst != src && stride > leading) std::memmove(dst + leading, src + leading, stride - leading);
}

}  // namespace

bool EncodeSkinInfluence(uint32_t bone, float weight, float* value) {
  // 2*b + w names bone b only while 0 <= w < 2 and 2*b is exact with room for a fraction.
  if (!(weight >= 0.0f) || !(weight < 2.0f) || bone >= (1u << 22)) return false;
  const float base = static_cast<float>(bone * 2);
  // Rounded to single precision here, as it is stored, even where the arithmetic is wider.
  volatile float sum = base + weight;
  float v = sum;
  // A weight just below 2 may round up onto the next bone: keep it on this one.
  if (v >= base + 2.0f) v = std::nextafter(base + 2.0f, 0.0f);
  *value = v;
  return true;
}

namespace plain {

void BlendSkinnedVertices(const Matrix* bones, const Matrix* directionBones, const void* source,
                          void* destination, uint32_t vertexCount, uint32_t stride,
                          const void* const* srcElements, void* const* dstElements,
                          uint32_t elementCount, uint32_t leading, const float* table,
                          int /*allInLeadingBlock*/) {
  const Matrix* dirs = directionBones ? directionBones : bones;
  const uint8_t* src = static_cast<const uint8_t*>(source);
  uint8_t* dst = static_cast<uint8_t*>(destination);
  const ElementPlaces places(source, destination, srcElements, dstElements, elementCount);
  const size_t* srcOffset = places.src;
  const size_t* dstOffset = places.dst;
  elementCount = places.count;
  float in[kMaxSkinnedElements][3];
  float acc[kMaxSkinnedElements][3];
  const float* run = table;
  for (uint32_t v = 0; v < vertexCount; ++v, src += stride, dst += stride) {
    const float x = LoadFloat(src), y = LoadFloat(src + 4), z = LoadFloat(src + 8);
    for (uint32_t k = 0; k < elementCount; ++k) {
      for (int i = 0; i < 3; ++i) {
        in[k][i] = LoadFloat(src + srcOffset[k] + 4 * i);
        acc[k][i] = 0.0f;
      }
    }
    float px = 0.0f, py = 0.0f, pz = 0.0f;
    for (; *run >= 0.0f; ++run) {
      float w;
      const size_t at = DecodeInfluence(*run, &w);
      const float(*m)[4] = reinterpret_cast<const float(*)[4]>(MatrixAt(bones, at));
      float tx = x * m[0][0] + y * m[1][0] + z * m[2][0] + m[3][0];
      float ty = x * m[0][1] + y * m[1][1] + z * m[2][1] + m[3][1];
      float tz = x * m[0][2] + y * m[1][2] + z * m[2][2] + m[3][2];
      const float tw = x * m[0][3] + y * m[1][3] + z * m[2][3] + m[3][3];
      if (!WithinOneUlpOfOne(tw)) {
        const float r = 1.0f / tw;
        tx *= r;
        ty *= r;
        tz *= r;
      }
      px += tx * w;
      py += ty * w;
      pz += tz * w;
      const float(*d)[4] = reinterpret_cast<const float(*)[4]>(MatrixAt(dirs, at));
      for (uint32_t k = 0; k < elementCount; ++k) {
        for (int c = 0; c < 3; ++c) {
          acc[k][c] += (in[k][0] * d[0][c] + in[k][1] * d[1][c] + in[k][2] * d[2][c]) * w;
        }
      }
    }
    ++run;  // the end of the vertex's run
    CopyTail(dst, src, leading, stride);
    StoreFloat3(dst, px, py, pz);
    for (uint32_t k = 0; k < elementCount; ++k)
      StoreFloat3(dst + dstOffset[k], acc[k][0], acc[k][1], acc[k][2]);
  }
}

}  // namespace plain

#if defined(LYR_HAVE_SSE_SKINNING)

#if defined(__GNUC__)
#define LYR_TARGET_SSE __attribute__((target("sse")))
#else
#define LYR_TARGET_SSE
#endif

namespace {

LYR_TARGET_SSE inline void StoreVector3(uint8_t* p, __m128 v) {
  _mm_storel_pi(reinterpret_cast<__m64*>(p), v);
  _mm_store_ss(reinterpret_cast<float*>(p + 8), _mm_movehl_ps(v, v));
}

// kFixed elements when kFixed is not kAnyCount, else elementCount of them; the fixed forms let
// the compiler keep the common layouts' sums in registers.
constexpr uint32_t kAnyCount = ~0u;

template <uint32_t kFixed>
LYR_TARGET_SSE void BlendSse(const Matrix* bones, const Matrix* dirs, const uint8_t* src,
                             uint8_t* dst, uint32_t vertexCount, uint32_t stride,
                             const size_t* srcOffset, const size_t* dstOffset,
                             uint32_t elementCount, uint32_t leading, const float* run) {
  const uint32_t n = kFixed == kAnyCount ? elementCount : kFixed;
  __m128 inX[kMaxSkinnedElements], inY[kMaxSkinnedElements], inZ[kMaxSkinnedElements];
  __m128 acc[kMaxSkinnedElements];
  for (uint32_t v = 0; v < vertexCount; ++v, src += stride, dst += stride) {
    const __m128 x = _mm_set1_ps(LoadFloat(src));
    const __m128 y = _mm_set1_ps(LoadFloat(src + 4));
    const __m128 z = _mm_set1_ps(LoadFloat(src + 8));
    for (uint32_t k = 0; k < n; ++k) {
      const uint8_t* e = src + srcOffset[k];
      inX[k] = _mm_set1_ps(LoadFloat(e));
      inY[k] = _mm_set1_ps(LoadFloat(e + 4));
      inZ[k] = _mm_set1_ps(LoadFloat(e + 8));
      acc[k] = _mm_setzero_ps();
    }
    __m128 pos = _mm_setzero_ps();
    for (; *run >= 0.0f; ++run) {
      float weight;
      const size_t at = DecodeInfluence(*run, &weight);
      const __m128 w = _mm_set1_ps(weight);
      const float* m = MatrixAt(bones, at);
      __m128 t = _mm_add_ps(
          _mm_add_ps(_mm_add_ps(_mm_mul_ps(x, _mm_load_ps(m)), _mm_mul_ps(y, _mm_load_ps(m + 4))),
                     _mm_mul_ps(z, _mm_load_ps(m + 8))),
          _mm_load_ps(m + 12));
      const float tw = _mm_cvtss_f32(_mm_shuffle_ps(t, t, _MM_SHUFFLE(3, 3, 3, 3)));
      // Affine bones give exactly 1: one comparison settles the common case.
      if (tw != 1.0f && !WithinOneUlpOfOne(tw)) t = _mm_mul_ps(t, _mm_set1_ps(1.0f / tw));
      pos = _mm_add_ps(pos, _mm_mul_ps(t, w));
      if (n) {
        const float* d = MatrixAt(dirs, at);
        const __m128 r0 = _mm_load_ps(d), r1 = _mm_load_ps(d + 4), r2 = _mm_load_ps(d + 8);
        for (uint32_t k = 0; k < n; ++k) {
          const __m128 s = _mm_add_ps(_mm_add_ps(_mm_mul_ps(inX[k], r0), _mm_mul_ps(inY[k], r1)),
                                      _mm_mul_ps(inZ[k], r2));
          acc[k] = _mm_add_ps(acc[k], _mm_mul_ps(s, w));
        }
      }
    }
    ++run;
    CopyTail(dst, src, leading, stride);
    StoreVector3(dst, pos);
    for (uint32_t k = 0; k < n; ++k) StoreVector3(dst + dstOffset[k], acc[k]);
  }
}

}  // namespace

namespace sse {

LYR_TARGET_SSE void BlendSkinnedVertices(const Matrix* bones, const Matrix* directionBones,
                                         const void* source, void* destination,
                                         uint32_t vertexCount, uint32_t stride,
                                         const void* const* srcElements, void* const* dstElements,
                                         uint32_t elementCount, uint32_t leading,
                                         const float* table, int /*allInLeadingBlock*/) {
  const uint8_t* src = static_cast<const uint8_t*>(source);
  uint8_t* dst = static_cast<uint8_t*>(destination);
  const ElementPlaces places(source, destination, srcElements, dstElements, elementCount);
  const size_t* srcOffset = places.src;
  const size_t* dstOffset = places.dst;
  const Matrix* dirs = directionBones ? directionBones : bones;
  switch (places.count) {
    case 0:
      BlendSse<0>(bones, dirs, src, dst, vertexCount, stride, srcOffset, dstOffset, 0, leading,
                  table);
      break;
    case 1:
      BlendSse<1>(bones, dirs, src, dst, vertexCount, stride, srcOffset, dstOffset, 1, leading,
                  table);
      break;
    case 3:
      BlendSse<3>(bones, dirs, src, dst, vertexCount, stride, srcOffset, dstOffset, 3, leading,
                  table);
      break;
    default:
      BlendSse<kAnyCount>(bones, dirs, src, dst, vertexCount, stride, srcOffset, dstOffset,
                          places.count, leading, table);
      break;
  }
}

}  // namespace sse

#endif  // LYR_HAVE_SSE_SKINNING

}  // namespace lyr
