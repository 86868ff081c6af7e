// Plain, SSE and AVX forms of the skinned-vertex blending routine. All compute every sum in the
// same order (row by row of the matrix, then the w-divide, then the weight), so on processors
// whose scalar arithmetic is single precision they give identical results.
#include "skin/skin_blend.h"

#include <cmath>
#include <cstring>

#if defined(LYR_HAVE_AVX_SKINNING)
#include <immintrin.h>
#elif defined(LYR_HAVE_SSE_SKINNING)
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

// False when a coordinate is infinite or NaN: x - x is 0 for every finite x and NaN otherwise.
// Such a point gives w = NaN even through an affine bone, so it takes the divide.
inline bool Finite3(float x, float y, float z) {
  return (x - x) + (y - y) + (z - z) == 0.0f;
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

bool AffineBones(const Matrix* bones, uint32_t count) {
  for (uint32_t b = 0; b < count; ++b) {
    const float(*m)[4] = bones[b].m;
    if (m[0][3] != 0.0f || m[1][3] != 0.0f || m[2][3] != 0.0f || m[3][3] != 1.0f) return false;
  }
  return true;
}

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
                          uint32_t elementCount, uint32_t leading, const float* table, int flags) {
  const Matrix* dirs = directionBones ? directionBones : bones;
  const bool affine = (flags & kSkinAffineBones) != 0;
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
    const bool divide = !affine || !Finite3(x, y, z);
    for (; *run >= 0.0f; ++run) {
      float w;
      const size_t at = DecodeInfluence(*run, &w);
      const float(*m)[4] = reinterpret_cast<const float(*)[4]>(MatrixAt(bones, at));
      float tx = x * m[0][0] + y * m[1][0] + z * m[2][0] + m[3][0];
      float ty = x * m[0][1] + y * m[1][1] + z * m[2][1] + m[3][1];
      float tz = x * m[0][2] + y * m[1][2] + z * m[2][2] + m[3][2];
      const float tw = divide ? x * m[0][3] + y * m[1][3] + z * m[2][3] + m[3][3] : 1.0f;
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
                             uint32_t elementCount, uint32_t leading, const float* run,
                             bool affine) {
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
    const bool divide = !affine || !Finite3(_mm_cvtss_f32(x), _mm_cvtss_f32(y), _mm_cvtss_f32(z));
    for (; *run >= 0.0f; ++run) {
      float weight;
      const size_t at = DecodeInfluence(*run, &weight);
      const __m128 w = _mm_set1_ps(weight);
      const float* m = MatrixAt(bones, at);
      __m128 t = _mm_add_ps(
          _mm_add_ps(_mm_add_ps(_mm_mul_ps(x, _mm_load_ps(m)), _mm_mul_ps(y, _mm_load_ps(m + 4))),
                     _mm_mul_ps(z, _mm_load_ps(m + 8))),
          _mm_load_ps(m + 12));
      if (divide) {
        const float tw = _mm_cvtss_f32(_mm_shuffle_ps(t, t, _MM_SHUFFLE(3, 3, 3, 3)));
        if (tw != 1.0f && !WithinOneUlpOfOne(tw)) t = _mm_mul_ps(t, _mm_set1_ps(1.0f / tw));
      }
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
                                         const float* table, int flags) {
  const ElementPlaces places(source, destination, srcElements, dstElements, elementCount);
  const uint32_t n = places.count;
  const auto kernel = n == 0   ? BlendSse<0>
                      : n == 1 ? BlendSse<1>
                      : n == 3 ? BlendSse<3>
                               : BlendSse<kAnyCount>;
  kernel(bones, directionBones ? directionBones : bones, static_cast<const uint8_t*>(source),
         static_cast<uint8_t*>(destination), vertexCount, stride, places.src, places.dst, n,
         leading, table, (flags & kSkinAffineBones) != 0);
}

}  // namespace sse

#endif  // LYR_HAVE_SSE_SKINNING

#if defined(LYR_HAVE_AVX_SKINNING)

#define LYR_TARGET_AVX __attribute__((target("avx")))
#define LYR_TARGET_AVX_INLINE inline __attribute__((always_inline, target("avx")))

namespace {

// Broadcasts a into the low four lanes and b into the high four.
LYR_TARGET_AVX inline __m256 Pair(float a, float b) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_set1_ps(a)), _mm_set1_ps(b), 1);
}

LYR_TARGET_AVX inline void StoreVector3Avx(uint8_t* p, __m128 v) {
  _mm_storel_pi(reinterpret_cast<__m64*>(p), v);
  _mm_store_ss(reinterpret_cast<float*>(p + 8), _mm_movehl_ps(v, v));
}

// The inputs and sums of one vertex. Register j holds elements 2j - 1 and 2j (register 0: the
// position and element 0); a register without a second element repeats its first in the high
// half (computed, never stored).
constexpr uint32_t kMaxRegs = kMaxSkinnedElements / 2 + 1;
struct AvxVertex {
  __m256 x[kMaxRegs], y[kMaxRegs], z[kMaxRegs], acc[kMaxRegs];
};

LYR_TARGET_AVX_INLINE void LoadInputs(const uint8_t* src, const size_t* srcOffset, uint32_t n,
                                      uint32_t regs, AvxVertex& v) {
  uint32_t j = 0;
  if (n >= 1 && srcOffset[0] >= 4) {
    // (x, y, z, -) and (-, ex, ey, ez) with two loads that stay within the vertex (it holds
    // element 0 past byte 3), then spread lane by lane.
    const __m256 both = _mm256_insertf128_ps(
        _mm256_castps128_ps256(_mm_loadu_ps(reinterpret_cast<const float*>(src))),
        _mm_loadu_ps(reinterpret_cast<const float*>(src + srcOffset[0] - 4)), 1);
    v.x[0] = _mm256_permutevar_ps(both, _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1));
    v.y[0] = _mm256_permutevar_ps(both, _mm256_setr_epi32(1, 1, 1, 1, 2, 2, 2, 2));
    v.z[0] = _mm256_permutevar_ps(both, _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3));
    v.acc[0] = _mm256_setzero_ps();
    j = 1;
  }
  for (; j < regs; ++j) {
    const uint8_t* lo = j == 0 ? src : src + srcOffset[2 * j - 1];
    const uint8_t* hi = 2 * j < n ? src + srcOffset[2 * j] : lo;
    v.x[j] = Pair(LoadFloat(lo), LoadFloat(hi));
    v.y[j] = Pair(LoadFloat(lo + 4), LoadFloat(hi + 4));
    v.z[j] = Pair(LoadFloat(lo + 8), LoadFloat(hi + 8));
    v.acc[j] = _mm256_setzero_ps();
  }
}

// Adds one influence (packed rows at r, directions at d, weight w) to v.acc.
template <bool kDivide>
LYR_TARGET_AVX_INLINE void AddInfluence(const float* r, const float* d, const float* weight,
                                        uint32_t regs, AvxVertex& v) {
  const __m256 w = _mm256_broadcast_ss(weight);
  __m256 t =
      _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(v.x[0], _mm256_load_ps(r)),
                                                _mm256_mul_ps(v.y[0], _mm256_load_ps(r + 8))),
                                  _mm256_mul_ps(v.z[0], _mm256_load_ps(r + 16))),
                    _mm256_load_ps(r + 24));
  if constexpr (kDivide) {
    const __m128 p = _mm256_castps256_ps128(t);
    const float tw = _mm_cvtss_f32(_mm_shuffle_ps(p, p, _MM_SHUFFLE(3, 3, 3, 3)));
    if (tw != 1.0f && !WithinOneUlpOfOne(tw)) {
      // The direction lanes are multiplied by exactly 1.
      t = _mm256_mul_ps(t, _mm256_insertf128_ps(_mm256_set1_ps(1.0f), _mm_set1_ps(1.0f / tw), 0));
    }
  }
  v.acc[0] = _mm256_add_ps(v.acc[0], _mm256_mul_ps(t, w));
  if (regs > 1) {
    const __m256 d0 = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(d));
    const __m256 d1 = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(d + 4));
    const __m256 d2 = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(d + 8));
    for (uint32_t j = 1; j < regs; ++j) {
      const __m256 s =
          _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(v.x[j], d0), _mm256_mul_ps(v.y[j], d1)),
                        _mm256_mul_ps(v.z[j], d2));
      v.acc[j] = _mm256_add_ps(v.acc[j], _mm256_mul_ps(s, w));
    }
  }
}

// Sums count influences (kCount of them when not 0) into v.acc. Without kDivide, w is taken as
// exactly 1; lane 3 of v.acc[0] then still sums w times the weights, so it is NaN exactly when
// some w was NaN, which the caller checks.
template <bool kDivide, uint32_t kCount>
LYR_TARGET_AVX_INLINE void SumInfluences(const uint8_t* rows, const uint8_t* dirs,
                                         const avx::SkinInfluence* in, uint32_t count,
                                         uint32_t regs, AvxVertex& v) {
  const uint32_t k = kCount ? kCount : count;
#pragma GCC unroll 4
  for (uint32_t i = 0; i < k; ++i) {
    const size_t o = in[i].rowOffset;
    AddInfluence<kDivide>(reinterpret_cast<const float*>(rows + o),
                          reinterpret_cast<const float*>(dirs + o / 2), &in[i].weight, regs, v);
  }
}

// What stays the same over the spans of one call.
struct AvxCall {
  const uint8_t* rows;
  const uint8_t* dirs;
  uint32_t stride, elementCount, leading;
  const size_t* srcOffset;
  const size_t* dstOffset;
};

// One span of vertices with `count` influences each (kCount when not 0) and kFixed transformed
// elements (any number for kAnyCount). kWide: one element, at byte 12, and the sums stored as two
// overlapping blocks (see BlendSkinnedVertices). Returns the first influence past the span. The
// call's values are held in locals: stores through the vertex pointers could alias the AvxCall, and
// would otherwise make the compiler read it again for every vertex.
template <uint32_t kFixed, uint32_t kCount, bool kAffine, bool kWide>
LYR_TARGET_AVX const avx::SkinInfluence* BlendSpan(const AvxCall& c, const uint8_t* src,
                                                   uint8_t* dst, uint32_t vertices, uint32_t count,
                                                   const avx::SkinInfluence* in) {
  const uint32_t n = kFixed == kAnyCount ? c.elementCount : kFixed;
  const uint32_t regs = n / 2 + 1;
  const uint32_t k = kCount ? kCount : count;
  const uint8_t* const rows = c.rows;
  const uint8_t* const dirs = c.dirs;
  const uint32_t stride = c.stride, leading = c.leading;
  const bool copyTail = stride > leading && src != dst;
  size_t srcOffset[kMaxSkinnedElements], dstOffset[kMaxSkinnedElements];
  for (uint32_t e = 0; e < n; ++e) srcOffset[e] = c.srcOffset[e], dstOffset[e] = c.dstOffset[e];
  AvxVertex v;
  for (uint32_t i = 0; i < vertices; ++i, src += stride, dst += stride, in += k) {
    if constexpr (kWide) {
      const size_t twelve = 12;
      LoadInputs(src, &twelve, 1, 1, v);
    } else {
      LoadInputs(src, srcOffset, n, regs, v);
    }
    if constexpr (!kAffine) {
      SumInfluences<true, kCount>(rows, dirs, in, k, regs, v);
    } else {
      SumInfluences<false, kCount>(rows, dirs, in, k, regs, v);
      const __m128 p = _mm256_castps256_ps128(v.acc[0]);
      if (_mm_movemask_ps(_mm_cmpunord_ps(p, p)) & 8) [[unlikely]] {
        // A coordinate was infinite or NaN: the sums again, with the divide.
        for (uint32_t j = 0; j < regs; ++j) v.acc[j] = _mm256_setzero_ps();
        SumInfluences<true, 0>(rows, dirs, in, k, regs, v);
      }
    }
    if constexpr (kWide) {
      _mm_storeu_ps(reinterpret_cast<float*>(dst), _mm256_castps256_ps128(v.acc[0]));
      _mm_storeu_ps(reinterpret_cast<float*>(dst + 12), _mm256_extractf128_ps(v.acc[0], 1));
      if (copyTail) std::memcpy(dst + leading, src + leading, stride - leading);
      continue;
    }
    if (copyTail) std::memmove(dst + leading, src + leading, stride - leading);
    StoreVector3Avx(dst, _mm256_castps256_ps128(v.acc[0]));
    for (uint32_t e = 0; e < n; ++e) {
      const __m256 a = v.acc[(e + 1) / 2];
      StoreVector3Avx(dst + dstOffset[e],
                      e % 2 == 0 ? _mm256_extractf128_ps(a, 1) : _mm256_castps256_ps128(a));
    }
  }
  return in;
}

using SpanKernel = const avx::SkinInfluence* (*)(const AvxCall&, const uint8_t*, uint8_t*, uint32_t,
                                                 uint32_t, const avx::SkinInfluence*);

// Kernels by affine bones and influence count: straight-line sums for the usual short runs, a
// loop past them.
constexpr uint32_t kUnrolledCounts = 4;
template <uint32_t kFixed, bool kWide>
constexpr SpanKernel kSpanKernels[2][kUnrolledCounts + 1] = {
    {BlendSpan<kFixed, 0, false, kWide>, BlendSpan<kFixed, 1, false, kWide>,
     BlendSpan<kFixed, 2, false, kWide>, BlendSpan<kFixed, 3, false, kWide>,
     BlendSpan<kFixed, 4, false, kWide>},
    {BlendSpan<kFixed, 0, true, kWide>, BlendSpan<kFixed, 1, true, kWide>,
     BlendSpan<kFixed, 2, true, kWide>, BlendSpan<kFixed, 3, true, kWide>,
     BlendSpan<kFixed, 4, true, kWide>}};

}  // namespace

namespace avx {

bool SkinningAvailable() {
  // The check covers the operating system's saving of the wide registers, not only the
  // instructions.
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
  }();
  return available;
}

void PackSkinMatrices(const Matrix* bones, const Matrix* directions, uint32_t count,
                      float* packed) {
  const Matrix* dirs = directions ? directions : bones;
  for (uint32_t b = 0; b < count; ++b, packed += 32) {
    std::memcpy(packed, bones[b].m[0], 16);
    std::memcpy(packed + 4, dirs[b].m[0], 16);
    std::memcpy(packed + 8, bones[b].m[1], 16);
    std::memcpy(packed + 12, dirs[b].m[1], 16);
    std::memcpy(packed + 16, bones[b].m[2], 16);
    std::memcpy(packed + 20, dirs[b].m[2], 16);
    std::memcpy(packed + 24, bones[b].m[3], 16);
    for (int i = 28; i < 32; ++i) packed[i] = -0.0f;
  }
}

void CountSkinSpans(const float* table, uint32_t vertexCount, size_t* spanCount,
                    size_t* influenceCount) {
  size_t spans = 0, influences = 0;
  uint32_t previous = 0;
  for (uint32_t v = 0; v < vertexCount; ++v) {
    uint32_t length = 0;
    while (table[length] >= 0.0f) ++length;
    if (v == 0 || length != previous) ++spans;
    previous = length;
    influences += length;
    table += length + 1;
  }
  *spanCount = spans;
  *influenceCount = influences;
}

void BuildSkinSpans(const float* table, uint32_t vertexCount, SkinSpan* spans,
                    SkinInfluence* influences) {
  SkinSpan* span = spans - 1;
  for (uint32_t v = 0; v < vertexCount; ++v) {
    uint32_t length = 0;
    for (; table[length] >= 0.0f; ++length) {
      float weight;
      const size_t at = DecodeInfluence(table[length], &weight);
      *influences++ = SkinInfluence{static_cast<uint32_t>(at * 2), weight};
    }
    if (v == 0 || length != span->influenceCount) *++span = SkinSpan{0, length};
    ++span->vertexCount;
    table += length + 1;
  }
}

LYR_TARGET_AVX void BlendSkinnedVertices(const float* packed, const Matrix* directions,
                                         const void* source, void* destination, uint32_t stride,
                                         const void* const* srcElements, void* const* dstElements,
                                         uint32_t elementCount, uint32_t leading,
                                         const SkinSpan* spans, size_t spanCount,
                                         const SkinInfluence* influences, int flags) {
  const ElementPlaces places(source, destination, srcElements, dstElements, elementCount);
  const uint32_t n = places.count;
  const uint8_t* src = static_cast<const uint8_t*>(source);
  uint8_t* dst = static_cast<uint8_t*>(destination);
  size_t vertexCount = 0;
  for (size_t s = 0; s < spanCount; ++s) vertexCount += spans[s].vertexCount;
  const size_t bytes = vertexCount * stride;
  const uintptr_t from = reinterpret_cast<uintptr_t>(src), to = reinterpret_cast<uintptr_t>(dst);
  const bool apart = from + bytes <= to || to + bytes <= from;
  const AvxCall call{reinterpret_cast<const uint8_t*>(packed),
                     reinterpret_cast<const uint8_t*>(directions),
                     stride,
                     n,
                     leading,
                     places.src,
                     places.dst};
  // The sums of the position and element 0 may be stored as two overlapping 16-byte blocks when
  // they lie side by side and the arrays apart: the four bytes past element 0 are rewritten
  // afterwards by the tail copy or the next vertex. The last vertex stores exactly its bytes.
  const bool wide = n == 1 && places.src[0] == 12 && places.dst[0] == 12 && leading == 24 && apart;
  const int affine = (flags & kSkinAffineBones) ? 1 : 0;
  const SpanKernel* exact =
      (n == 1 ? kSpanKernels<1, false> : kSpanKernels<kAnyCount, false>)[affine];
  const SpanKernel* kernels = wide ? kSpanKernels<1, true>[affine] : exact;
  for (size_t s = 0; s < spanCount; ++s) {
    uint32_t vertices = spans[s].vertexCount;
    const uint32_t count = spans[s].influenceCount;
    const uint32_t form = count <= kUnrolledCounts ? count : 0;
    const bool last = s + 1 == spanCount && wide;
    if (last) --vertices;
    influences = kernels[form](call, src, dst, vertices, count, influences);
    src += size_t(vertices) * stride;
    dst += size_t(vertices) * stride;
    if (last) influences = exact[form](call, src, dst, 1, count, influences);
  }
}

}  // namespace avx

#endif  // LYR_HAVE_AVX_SKINNING

}  // namespace lyr
